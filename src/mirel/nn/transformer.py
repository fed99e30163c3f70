"""The layers of a transformer, named and laid out as PyTorch's: norms, dropout, GELU and attention."""
from __future__ import annotations

import importlib
import math
from typing import Any, Sequence

import numpy as np

import mirel
from mirel import random as _random
from mirel.nn import functional as F
from mirel.nn.modules import Module, _rng, _Seed
from mirel.tensor import Tensor

_native: Any = importlib.import_module("mirel._native")  # the private functions have no stubs

__all__ = ["LayerNorm", "RMSNorm", "Dropout", "GELU", "SiLU", "MultiheadAttention"]


def _shape(normalized_shape: int | Sequence[int]) -> tuple[int, ...]:
    return (normalized_shape,) if isinstance(normalized_shape, int) else tuple(normalized_shape)


class LayerNorm(Module):
    """(x - mean) / sqrt(var + eps) over the last axes, times weight (ones) plus bias (zeros)."""

    def __init__(self, normalized_shape: int | Sequence[int], eps: float = 1e-5, elementwise_affine: bool = True,
                 bias: bool = True) -> None:
        super().__init__()
        self.normalized_shape, self.eps = _shape(normalized_shape), eps
        if elementwise_affine:
            self.add_parameter("weight", np.ones(self.normalized_shape))
            if bias:
                self.add_parameter("bias", np.zeros(self.normalized_shape))

    def extra_repr(self) -> str:
        return f"{self.normalized_shape}, eps={self.eps}, elementwise_affine={'weight' in self._slots}"

    def forward(self, x: Tensor) -> Tensor:
        weight = self.param("weight") if "weight" in self._slots else None
        bias = self.param("bias") if "bias" in self._slots else None
        return F.layer_norm(x, self.normalized_shape, weight, bias, self.eps)


class RMSNorm(Module):
    """x / sqrt(mean(x²) + eps) over the last axes, times weight (ones); eps None: float32's machine epsilon."""

    def __init__(self, normalized_shape: int | Sequence[int], eps: float | None = None,
                 elementwise_affine: bool = True) -> None:
        super().__init__()
        self.normalized_shape, self.eps = _shape(normalized_shape), eps
        if elementwise_affine:
            self.add_parameter("weight", np.ones(self.normalized_shape))

    def extra_repr(self) -> str:
        return f"{self.normalized_shape}, eps={self.eps}, elementwise_affine={'weight' in self._slots}"

    def forward(self, x: Tensor) -> Tensor:
        weight = self.param("weight") if "weight" in self._slots else None
        return F.rms_norm(x, self.normalized_shape, weight, self.eps)


class Dropout(Module):
    """Zeroes each element with probability p while training (the rest scaled by 1 / (1 - p)); the identity in
    eval(). The mask comes from `generator` (mirel.random's default when None)."""

    def __init__(self, p: float = 0.5, generator: Any = None) -> None:
        super().__init__()
        if not 0.0 <= p <= 1.0:
            raise ValueError(f"dropout probability has to be between 0 and 1, but got {p}")
        self.p, self.generator = p, generator

    def extra_repr(self) -> str:
        return f"p={self.p}"

    def forward(self, x: Tensor) -> Tensor:
        return F.dropout(x, self.p, self.training, self.generator)


class GELU(Module):
    """x · Φ(x), exactly ("none") or with PyTorch's tanh approximation ("tanh")."""

    def __init__(self, approximate: str = "none") -> None:
        super().__init__()
        self.approximate = approximate

    def extra_repr(self) -> str:
        return f"approximate={self.approximate!r}"

    def forward(self, x: Tensor) -> Tensor:
        return F.gelu(x, approximate=self.approximate)


class SiLU(Module):
    """x · sigmoid(x)."""

    def forward(self, x: Tensor) -> Tensor:
        return F.silu(x)


class MultiheadAttention(Module):
    """PyTorch's multi-head attention, batch first by default: in_proj_weight [3E, E] and in_proj_bias [3E]
    project query, key and value; out_proj maps the heads' joined outputs back to E. The attention itself is
    the fused scaled_dot_product_attention; `need_weights=True` also returns the attention weights, averaged
    over heads, computed apart (the fused kernel never stores them)."""

    def __init__(self, embed_dim: int, num_heads: int, dropout: float = 0.0, bias: bool = True,
                 batch_first: bool = True, rng: _Seed = None) -> None:
        super().__init__()
        if embed_dim % num_heads:
            raise ValueError(f"embed_dim ({embed_dim}) must be divisible by num_heads ({num_heads})")
        if not batch_first:
            raise ValueError("MultiheadAttention: only batch_first=True is offered ([batch, seq, embed])")
        self.embed_dim, self.num_heads, self.dropout, self.batch_first = embed_dim, num_heads, dropout, batch_first
        g = _rng(rng)
        bound = math.sqrt(6.0 / (embed_dim + 3 * embed_dim))  # PyTorch's xavier_uniform_ over [3E, E]
        self.add_parameter("in_proj_weight", g.uniform(-bound, bound, (3 * embed_dim, embed_dim)))
        if bias:
            self.add_parameter("in_proj_bias", np.zeros(3 * embed_dim))
        self.out_proj = mirel.nn.Linear(embed_dim, embed_dim, bias=bias, rng=g)
        if bias:
            self.out_proj.bias = mirel.nn.Parameter(np.zeros(embed_dim))

    def extra_repr(self) -> str:
        return f"embed_dim={self.embed_dim}, num_heads={self.num_heads}, dropout={self.dropout}"

    def forward(self, query: Tensor, key: Tensor, value: Tensor, key_padding_mask: Any = None,
                need_weights: bool = True, attn_mask: Any = None, average_attn_weights: bool = True,
                is_causal: bool = False) -> tuple[Tensor, Tensor | None]:
        if key_padding_mask is not None:
            raise ValueError("MultiheadAttention: key_padding_mask is not offered; fold it into attn_mask")
        b, t, e = query.shape
        s = key.shape[1]
        h, d = self.num_heads, e // self.num_heads
        w = self.param("in_proj_weight")
        bias = self.param("in_proj_bias") if "in_proj_bias" in self._slots else None
        p = self.dropout if self.training else 0.0
        if query is key and key is value:
            # Self-attention: one product for the three projections, whose heads the fused kernel reads in
            # place, writing its result with the heads joined, as out_proj takes it. The numbers, dropout's
            # included, are those of scaled_dot_product_attention over the split heads.
            qkv = F.linear(query, w, bias)
            args = (qkv, h, attn_mask, p, bool(is_causal), None)
            if p == 0.0:
                out = _native._attention_packed(0, 0, *args)[0]
            else:
                generator: Any = _random.default_generator()  # _draw is the generators' private door
                out = generator._draw(_native._attention_packed, *args)
            out = self.out_proj(out)
            if not need_weights:
                return out, None
            with mirel.no_grad():
                heads = qkv.reshape(b, t, 3, h, d).permute(2, 0, 3, 1, 4)
                q, k = heads[0], heads[1]
        else:
            parts = []
            for i, x in enumerate((query, key, value)):
                wi = w[i * e:(i + 1) * e]
                bi = bias[i * e:(i + 1) * e] if bias is not None else None
                parts.append(F.linear(x, wi, bi).reshape(b, x.shape[1], h, d).transpose(1, 2))
            q, k, v = parts
            out = F.scaled_dot_product_attention(q, k, v, attn_mask=attn_mask, dropout_p=p, is_causal=is_causal)
            out = self.out_proj(out.transpose(1, 2).reshape(b, t, e))
            if not need_weights:
                return out, None
        with mirel.no_grad():
            scores = (q @ k.transpose(-2, -1)) * (1.0 / math.sqrt(d))
            if is_causal:
                scores = mirel.where(Tensor(np.tril(np.ones((t, s), bool)), dtype="bool"), scores, -math.inf)
            elif attn_mask is not None:
                scores = scores + attn_mask if attn_mask.dtype != "bool" else mirel.where(attn_mask, scores,
                                                                                           -math.inf)
            weights = F.softmax(scores, axis=-1)
            weights = weights.mean(dim=1) if average_attn_weights else weights
        return out, weights
