# Type stubs for the mirel package: its functions on mirel_core's Tensor.
from collections.abc import Callable, Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, TypeVar

import numpy as np
import numpy.typing as npt

from mirel_core import Tensor as Tensor
from mirel import nn as nn
from mirel import optim as optim
from mirel.checkpoint import load_checkpoint as load_checkpoint, load_file as load_file
from mirel.checkpoint import load_metadata as load_metadata, save_checkpoint as save_checkpoint
from mirel.checkpoint import save_file as save_file
from mirel.parameters import Parameters as Parameters

__version__: str

_Axis: TypeAlias = SupportsIndex | Sequence[SupportsIndex] | None
_Shape: TypeAlias = SupportsIndex | Sequence[SupportsIndex]
_Number: TypeAlias = SupportsFloat | SupportsIndex
_F = TypeVar("_F", bound=Callable[..., Any])

class PanicException(BaseException):
    """Raised when the library detects a bug in itself; derives from BaseException."""

class no_grad:
    """Context manager and decorator inside which nothing is recorded on this thread."""
    def __init__(self) -> None: ...
    def __enter__(self) -> None: ...
    def __exit__(self, *exc: object) -> None: ...
    def __call__(self, fn: _F) -> _F: ...

def sum(x: Tensor, axis: _Axis = None, keepdims: bool = False) -> Tensor:
    """Sum over the axes in a fixed pairwise order; halves summed in float32 and rounded once."""
def mean(x: Tensor, axis: _Axis = None, keepdims: bool = False) -> Tensor:
    """Mean over the axes; NaN over no elements."""
def max(x: Tensor, axis: _Axis = None, keepdims: bool = False) -> Tensor:
    """Maximum over the axes; NaN propagates."""
def min(x: Tensor, axis: _Axis = None, keepdims: bool = False) -> Tensor:
    """Minimum over the axes; NaN propagates."""
def argmax(x: Tensor, axis: _Axis = None, keepdims: bool = False) -> Any:
    """Index of the first maximum, as a NumPy int64 array (a NumPy integer for a full reduction)."""
def sum_to(x: Tensor, shape: _Shape) -> Tensor:
    """x summed over the axes that broadcasting `shape` to x's shape stretches."""
def broadcast_to(x: Tensor, shape: _Shape) -> Tensor:
    """A copy of x at a shape it broadcasts to."""
def exp(x: Tensor, /) -> Tensor:
    """Elementwise e**x."""
def log(x: Tensor, /) -> Tensor:
    """Elementwise natural logarithm."""
def tanh(x: Tensor, /) -> Tensor:
    """Elementwise hyperbolic tangent."""
def sigmoid(x: Tensor, /) -> Tensor:
    """Elementwise 1 / (1 + exp(-x))."""
def sqrt(x: Tensor, /) -> Tensor:
    """Elementwise square root."""
def abs(x: Tensor, /) -> Tensor:
    """Elementwise absolute value."""
def negative(x: Tensor, /) -> Tensor:
    """Elementwise -x."""
def square(x: Tensor, /) -> Tensor:
    """Elementwise x * x."""
def power(x: Tensor, exponent: _Number) -> Tensor:
    """Elementwise x ** exponent for a number exponent."""
def maximum(a: Tensor | _Number, b: Tensor | _Number) -> Tensor:
    """Elementwise maximum with broadcasting; NaN propagates."""
def minimum(a: Tensor | _Number, b: Tensor | _Number) -> Tensor:
    """Elementwise minimum with broadcasting; NaN propagates."""
def where(condition: Tensor, a: Tensor | _Number, b: Tensor | _Number) -> Tensor:
    """a where the Bool condition holds, b elsewhere."""
def reshape(x: Tensor, shape: _Shape) -> Tensor:
    """x at a new shape (one -1 inferred), any layout."""
def transpose(x: Tensor, axes: Sequence[SupportsIndex] | None = None) -> Tensor:
    """x with its axes permuted (reversed when None)."""
def permute(x: Tensor, dims: Sequence[SupportsIndex]) -> Tensor:
    """x with its axes reordered as dims."""
def concatenate(tensors: Sequence[Tensor], axis: SupportsIndex = 0) -> Tensor:
    """Tensors joined along an existing axis."""
def stack(tensors: Sequence[Tensor], axis: SupportsIndex = 0) -> Tensor:
    """Tensors joined along a new axis."""
def take(x: Tensor, indices: npt.ArrayLike, axis: SupportsIndex | None = None) -> Tensor:
    """The entries along axis that the integer indices name."""
def detach(x: Tensor, /) -> Tensor:
    """An untracked tensor over x's storage, without a copy."""
def from_dlpack(x: Any, /) -> Tensor:
    """A new tensor holding a copy of what a DLPack producer exports."""
def is_grad_enabled() -> bool:
    """Whether this thread records operations."""
def set_grad_enabled(mode: bool | np.bool_, /) -> bool:
    """Turns recording on this thread on or off; returns the previous setting."""

def config() -> dict[str, Any]:
    """The instruction set of each kernel family, the bf16 unit, what is refused and why."""

__all__ = [
    "Tensor", "PanicException", "no_grad", "nn", "optim", "Parameters",
    "save_file", "load_file", "load_metadata", "save_checkpoint", "load_checkpoint",
    "sum", "mean", "max", "min", "argmax", "sum_to", "broadcast_to",
    "exp", "log", "tanh", "sigmoid", "sqrt", "abs", "negative", "square",
    "power", "maximum", "minimum", "where",
    "reshape", "transpose", "permute", "concatenate", "stack", "take",
    "detach", "from_dlpack", "is_grad_enabled", "set_grad_enabled",
    "config",
]
