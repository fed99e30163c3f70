"""Functions of neural networks: activations and losses, recorded on the tape."""
from __future__ import annotations

from typing import Any

import numpy as np

import mirel
import mirel_core
from mirel.tensor import Tensor
from mirel_core import nn as _core_nn
from mirel._native import cross_entropy, layer_norm, linear, log_softmax, mse_loss, rms_norm, softmax
from mirel import _native, random as _random

relu = _core_nn.functional.relu

__all__ = ["relu", "softmax", "log_softmax", "cross_entropy", "mse_loss", "linear",
           "binary_cross_entropy_with_logits", "layer_norm", "rms_norm", "dropout", "scaled_dot_product_attention",
           "embedding", "gelu", "silu"]


def _log1p(u: Tensor) -> Tensor:
    """log(1 + u) for u >= 0, accurate where 1 + u rounds to 1 or near it: log(w) * u / (w - 1) with w = 1 + u
    (w - 1 is exact, and the quotient corrects the rounding of w), and u itself where w == 1. The divisor is
    kept at least 2**-24 so that the branch where() drops stays finite in the backward pass too."""
    w = u + 1.0
    d = w - 1.0
    return mirel.where(d == 0.0, u, mirel.log(w) * (u / mirel.maximum(d, 2.0**-24)))


def _operand(name: str, value: Any, like: Tensor) -> Tensor:
    """value as a tensor of like's element type that broadcasts to like's shape (tensors are taken as they are)."""
    t = value if isinstance(value, mirel_core.Tensor) else Tensor(np.asarray(value, dtype=np.float32), dtype=like.dtype)
    try:
        fits = list(np.broadcast_shapes(tuple(t.shape), tuple(like.shape))) == like.shape
    except ValueError:
        fits = False
    if not fits:
        raise ValueError(f"binary_cross_entropy_with_logits(): {name} of shape {t.shape} does not broadcast to "
                         f"the input's shape {like.shape}")
    return t


def binary_cross_entropy_with_logits(input: Tensor, target: Any, weight: Any = None, reduction: str = "mean",
                                     pos_weight: Any = None) -> Tensor:
    """Binary cross-entropy of sigmoid(input) against target (probabilities in [0, 1], same shape), from the
    logits: PyTorch's (1 - y)·x + (1 + (pos_weight - 1)·y)·softplus(-x), times weight, then reduced ("mean",
    "sum" or "none"), computed as max(x, 0) - x·y + log1p(exp(-|x|)) (plus (pos_weight - 1)·y·softplus(-x)),
    which never overflows and keeps tiny losses accurate; the gradient is weight·((1 + (p - 1)·y)·(sigmoid(x) - 1) + 1 - y), which is
    sigmoid(x) - y without pos_weight. target, weight and pos_weight are Tensors or arrays; weight and
    pos_weight broadcast (pos_weight along the last axis: one per class)."""
    if not isinstance(input, mirel_core.Tensor):
        raise TypeError(f"binary_cross_entropy_with_logits(): input must be a Tensor, not {type(input).__name__}")
    if reduction not in ("mean", "sum", "none"):
        raise ValueError(f"binary_cross_entropy_with_logits(): reduction must be 'mean', 'sum' or 'none', "
                         f"not {reduction!r}")
    y = _operand("target", target, input)
    if y.shape != input.shape:
        raise ValueError(f"binary_cross_entropy_with_logits(): target of shape {y.shape} for an input of shape "
                         f"{input.shape}; they must be the same")
    # max(x, 0) - x·y is PyTorch's (1 - y)·x + max(-x, 0) without its cancellation, so that a tiny loss
    # (a confident, right logit) keeps its relative accuracy; pos_weight adds (p - 1)·y·softplus(-x).
    tail = _log1p(mirel.exp(mirel.negative(mirel.abs(input))))
    loss = mirel.maximum(input, 0.0) - input * y + tail
    if pos_weight is not None:
        extra = (_operand("pos_weight", pos_weight, input) - 1.0) * y
        loss = loss + extra * (mirel.maximum(mirel.negative(input), 0.0) + tail)
    if weight is not None:
        loss = loss * _operand("weight", weight, input)
    if reduction == "none":
        return loss
    return mirel.mean(loss) if reduction == "mean" else mirel.sum(loss)


def dropout(input: Tensor, p: float = 0.5, training: bool = True,
            generator: _random.Generator | None = None) -> Tensor:
    """Zeroes each element with probability p and scales the others by 1 / (1 - p) (in f32, rounded once);
    the identity (input itself) when not training or p == 0. The mask comes from the generator (the default
    one without it), element i from the i-th word of its stream, so it is the same on every machine and the
    gradient draws it again instead of storing it."""
    if not isinstance(input, mirel_core.Tensor):
        raise TypeError(f"dropout(): input must be a Tensor, not {type(input).__name__}")
    if isinstance(p, bool) or not isinstance(p, (int, float, np.floating, np.integer)):
        raise TypeError(f"dropout(): p must be a number, not {type(p).__name__}")
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"dropout(): p must lie in [0, 1], not {p}")
    if not isinstance(training, (bool, np.bool_)):
        raise TypeError(f"dropout(): training must be a bool, not {type(training).__name__}")
    if not training or p == 0.0:
        return input
    return (generator or _random.default_generator())._draw(_native._dropout, input, float(p))


def scaled_dot_product_attention(query: Tensor, key: Tensor, value: Tensor, attn_mask: Tensor | None = None,
                                 dropout_p: float = 0.0, is_causal: bool = False,
                                 scale: float | None = None) -> Tensor:
    """softmax(query @ key^T * scale + mask) @ value over the last two axes, fused: blocks of rows and keys with
    an online softmax (the L x S scores are never stored), the backward pass recomputing them from each row's
    log-sum-exp. query [..., L, E], key [..., S, E], value [..., S, Ev] with the same leading axes; attn_mask
    (Bool: True takes part; or a float mask added to the scores) broadcasts to [..., L, S]; is_causal hides
    key j from query i when j > i (with a mask too, both apply); scale defaults to 1 / sqrt(E). A row with
    every key hidden gives 0. dropout_p drops probabilities from the default generator's stream."""
    if not isinstance(is_causal, (bool, np.bool_)):
        raise TypeError(f"scaled_dot_product_attention(): is_causal must be a bool, not {type(is_causal).__name__}")
    if dropout_p == 0.0:
        return _native._attention(0, 0, query, key, value, attn_mask, 0.0, bool(is_causal), scale)[0]
    return _random.default_generator()._draw(_native._attention, query, key, value, attn_mask, dropout_p,
                                             bool(is_causal), scale)


def embedding(input: Any, weight: Tensor) -> Tensor:
    """Rows of weight [num_embeddings, dim] named by the integer indices input (a NumPy array, list or int,
    each in [0, num_embeddings)), at input's shape + [dim]; the gradient adds back into the rows taken."""
    if not isinstance(weight, mirel_core.Tensor):
        raise TypeError(f"embedding(): weight must be a Tensor, not {type(weight).__name__}")
    if weight.ndim != 2:
        raise ValueError(f"embedding(): weight must have shape [num_embeddings, embedding_dim], not {weight.shape}")
    indices = np.asarray(input)
    if indices.dtype.kind not in "iu":
        raise TypeError(f"embedding(): input must hold integers, not {indices.dtype}")
    if indices.size and (indices.min() < 0 or indices.max() >= weight.shape[0]):
        bad = indices[(indices < 0) | (indices >= weight.shape[0])].flat[0]
        raise IndexError(f"embedding(): index {bad} is out of range for {weight.shape[0]} embeddings")
    return mirel.take(weight, indices, axis=0)


def silu(input: Tensor) -> Tensor:
    """x · sigmoid(x) (composed: its gradient is the composition's)."""
    return input * mirel.sigmoid(input)


_GELU_C = 0.7978845608028654  # √(2/π)


def gelu(input: Tensor, approximate: str = "none") -> Tensor:
    """x · Φ(x), Φ the standard normal distribution function. approximate="none" (the default) is exact: one
    engine kernel (f32 within 1 ulp, f16 and bf16 correctly rounded) whose gradient is Φ(x) + x·φ(x), φ the
    normal density. approximate="tanh" is PyTorch's approximation, 0.5·x·(1 + tanh(√(2/π)·(x + 0.044715·x³)))
    (composed: its gradient is the composition's)."""
    if approximate == "none":
        return _native.gelu(input)
    if approximate != "tanh":
        raise ValueError(f"gelu(): approximate argument must be either none or tanh, not {approximate!r}")
    inner = (input + input * input * input * 0.044715) * _GELU_C
    return input * (mirel.tanh(inner) + 1.0) * 0.5
