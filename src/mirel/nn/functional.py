"""Functions of neural networks: activations and losses, recorded on the tape."""
from __future__ import annotations

from typing import Any

import numpy as np

import mirel
import mirel_core
from mirel.tensor import Tensor
from mirel_core import nn as _core_nn
from mirel._native import cross_entropy, linear, log_softmax, mse_loss, softmax

relu = _core_nn.functional.relu

__all__ = ["relu", "softmax", "log_softmax", "cross_entropy", "mse_loss", "linear",
           "binary_cross_entropy_with_logits"]


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
