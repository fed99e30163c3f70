from collections.abc import Sequence
from typing import Literal, SupportsIndex, TypeVar

import numpy.typing as npt

from mirel_core import Tensor
from mirel.random import Generator

_T = TypeVar("_T", bound=Tensor)

_Reduction = Literal["mean", "sum", "none"]

def relu(py_tensor: _T) -> _T:
    """Elementwise max(x, 0) (mirel_core.nn.functional.relu)."""
def softmax(x: _T, axis: SupportsIndex = -1) -> _T:
    """Stable softmax along the axis."""
def log_softmax(x: _T, axis: SupportsIndex = -1) -> _T:
    """Stable log-softmax along the axis."""
def cross_entropy(logits: _T, labels: npt.ArrayLike, reduction: _Reduction = "mean") -> _T:
    """Fused, stable cross-entropy of logits [N, C] against N class indices."""
def mse_loss(input: _T, target: Tensor | npt.ArrayLike, reduction: _Reduction = "mean") -> _T:
    """Mean, sum or elementwise squared difference."""
def linear(x: _T, weight: Tensor, bias: Tensor | None = None) -> _T:
    """x @ weight.T + bias, weight [out_features, in_features]."""
def binary_cross_entropy_with_logits(
    input: _T,
    target: Tensor | npt.ArrayLike,
    weight: Tensor | npt.ArrayLike | None = None,
    reduction: _Reduction = "mean",
    pos_weight: Tensor | npt.ArrayLike | None = None,
) -> _T:
    """Stable binary cross-entropy from logits, with PyTorch's weight and pos_weight."""

def layer_norm(input: _T, normalized_shape: int | Sequence[int], weight: Tensor | None = None,
               bias: Tensor | None = None, eps: float = 1e-05) -> _T:
    """Normalises the trailing axes to mean 0 and variance 1, then weight and bias; f32 per row, rounded once."""
def rms_norm(input: _T, normalized_shape: int | Sequence[int], weight: Tensor | None = None,
             eps: float | None = None) -> _T:
    """input / sqrt(mean(input**2) + eps) over the trailing axes, times weight; eps defaults to 2**-23."""
def dropout(input: _T, p: float = 0.5, training: bool = True, generator: Generator | None = None) -> _T:
    """Zeroes elements with probability p from the generator's stream, scaling the rest by 1 / (1 - p)."""
def scaled_dot_product_attention(query: _T, key: Tensor, value: Tensor, attn_mask: Tensor | None = None,
                                 dropout_p: float = 0.0, is_causal: bool = False, scale: float | None = None) -> _T:
    """Fused softmax(query @ key^T * scale + mask) @ value, forward and backward, never storing the scores."""
def embedding(input: npt.ArrayLike, weight: _T) -> _T:
    """Rows of weight [num_embeddings, dim] named by integer indices."""
def gelu(input: _T, approximate: str = "none") -> _T:
    """x · Φ(x): exact by default (f32 within 1 ulp, halves correctly rounded), or PyTorch's tanh approximation
    (approximate="tanh"); any other value is a ValueError."""
def silu(input: _T) -> _T:
    """x · sigmoid(x)."""

__all__ = ["relu", "softmax", "log_softmax", "cross_entropy", "mse_loss", "linear",
           "binary_cross_entropy_with_logits", "layer_norm", "rms_norm", "dropout", "scaled_dot_product_attention",
           "embedding", "gelu", "silu"]
