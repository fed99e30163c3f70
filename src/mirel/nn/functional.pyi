from typing import Literal, SupportsIndex, TypeVar

import numpy.typing as npt

from mirel_core import Tensor

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

__all__ = ["relu", "softmax", "log_softmax", "cross_entropy", "mse_loss", "linear",
           "binary_cross_entropy_with_logits"]
