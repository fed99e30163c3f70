from typing import Literal, SupportsIndex

import numpy.typing as npt

from mirel_core import Tensor

_Reduction = Literal["mean", "sum", "none"]

def relu(py_tensor: Tensor) -> Tensor:
    """Elementwise max(x, 0) (mirel_core.nn.functional.relu)."""
def softmax(x: Tensor, axis: SupportsIndex = -1) -> Tensor:
    """Stable softmax along the axis."""
def log_softmax(x: Tensor, axis: SupportsIndex = -1) -> Tensor:
    """Stable log-softmax along the axis."""
def cross_entropy(logits: Tensor, labels: npt.ArrayLike, reduction: _Reduction = "mean") -> Tensor:
    """Fused, stable cross-entropy of logits [N, C] against N class indices."""
def mse_loss(input: Tensor, target: Tensor, reduction: _Reduction = "mean") -> Tensor:
    """Mean, sum or elementwise squared difference."""
def linear(x: Tensor, weight: Tensor, bias: Tensor | None = None) -> Tensor:
    """x @ weight.T + bias, weight [out_features, in_features]."""
def binary_cross_entropy_with_logits(
    input: Tensor,
    target: Tensor | npt.ArrayLike,
    weight: Tensor | npt.ArrayLike | None = None,
    reduction: _Reduction = "mean",
    pos_weight: Tensor | npt.ArrayLike | None = None,
) -> Tensor:
    """Stable binary cross-entropy from logits, with PyTorch's weight and pos_weight."""

__all__ = ["relu", "softmax", "log_softmax", "cross_entropy", "mse_loss", "linear",
           "binary_cross_entropy_with_logits"]
