# Type stubs for the mirel package: its functions on mirel_core's Tensor and
# its subclass mirel.Tensor; a function's result is of its operands' class.
from collections.abc import Callable, Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, TypeVar

import numpy as np
import numpy.typing as npt

import mirel_core
from mirel.tensor import Size as Size, Tensor as Tensor, tensor as tensor
from mirel import nn as nn
from mirel import optim as optim
from mirel.checkpoint import load_checkpoint as load_checkpoint, load_file as load_file
from mirel.checkpoint import load_metadata as load_metadata, save_checkpoint as save_checkpoint
from mirel.checkpoint import save_file as save_file
from mirel.parameters import Parameters as Parameters
from mirel import random as random
from mirel.random import manual_seed as manual_seed
from mirel.triangular import tril as tril, triu as triu

__version__: str

_Axis: TypeAlias = SupportsIndex | Sequence[SupportsIndex] | None
_Shape: TypeAlias = SupportsIndex | Sequence[SupportsIndex]
_Number: TypeAlias = SupportsFloat | SupportsIndex
_F = TypeVar("_F", bound=Callable[..., Any])
_T = TypeVar("_T", bound=mirel_core.Tensor)
_DTypeLike: TypeAlias = str | type | np.dtype[Any]

class PanicException(BaseException):
    """Raised when the library detects a bug in itself; derives from BaseException."""

class no_grad:
    """Context manager and decorator inside which nothing is recorded on this thread."""
    def __init__(self) -> None: ...
    def __enter__(self) -> None: ...
    def __exit__(self, *exc: object) -> None: ...
    def __call__(self, fn: _F) -> _F: ...

def sum(x: _T, axis: _Axis = None, keepdims: bool = False) -> _T:
    """Sum over the axes in a fixed pairwise order; halves summed in float32 and rounded once."""
def mean(x: _T, axis: _Axis = None, keepdims: bool = False) -> _T:
    """Mean over the axes; NaN over no elements."""
def max(x: _T, axis: _Axis = None, keepdims: bool = False) -> _T:
    """Maximum over the axes; NaN propagates."""
def min(x: _T, axis: _Axis = None, keepdims: bool = False) -> _T:
    """Minimum over the axes; NaN propagates."""
def argmax(x: _T, axis: _Axis = None, keepdims: bool = False) -> Any:
    """Index of the first maximum, as a NumPy int64 array (a NumPy integer for a full reduction)."""
def sum_to(x: _T, shape: _Shape) -> _T:
    """x summed over the axes that broadcasting `shape` to x's shape stretches."""
def broadcast_to(x: _T, shape: _Shape) -> _T:
    """A copy of x at a shape it broadcasts to."""
def exp(x: _T, /) -> _T:
    """Elementwise e**x."""
def log(x: _T, /) -> _T:
    """Elementwise natural logarithm."""
def tanh(x: _T, /) -> _T:
    """Elementwise hyperbolic tangent."""
def sigmoid(x: _T, /) -> _T:
    """Elementwise 1 / (1 + exp(-x))."""
def sqrt(x: _T, /) -> _T:
    """Elementwise square root."""
def abs(x: _T, /) -> _T:
    """Elementwise absolute value."""
def negative(x: _T, /) -> _T:
    """Elementwise -x."""
def square(x: _T, /) -> _T:
    """Elementwise x * x."""
def power(x: _T, exponent: _Number) -> _T:
    """Elementwise x ** exponent for a number exponent."""
def maximum(a: _T | _Number, b: _T | _Number) -> _T:
    """Elementwise maximum with broadcasting; NaN propagates."""
def minimum(a: _T | _Number, b: _T | _Number) -> _T:
    """Elementwise minimum with broadcasting; NaN propagates."""
def where(condition: mirel_core.Tensor, a: _T | _Number, b: _T | _Number) -> _T:
    """a where the Bool condition holds, b elsewhere."""
def reshape(x: _T, shape: _Shape) -> _T:
    """x at a new shape (one -1 inferred), any layout."""
def transpose(x: _T, axes: Sequence[SupportsIndex] | None = None) -> _T:
    """x with its axes permuted (reversed when None)."""
def permute(x: _T, dims: Sequence[SupportsIndex]) -> _T:
    """x with its axes reordered as dims."""
def concatenate(tensors: Sequence[_T], axis: SupportsIndex = 0) -> _T:
    """Tensors joined along an existing axis."""
def stack(tensors: Sequence[_T], axis: SupportsIndex = 0) -> _T:
    """Tensors joined along a new axis."""
def take(x: _T, indices: npt.ArrayLike, axis: SupportsIndex | None = None) -> _T:
    """The entries along axis that the integer indices name."""
def detach(x: _T, /) -> _T:
    """An untracked tensor over x's storage, without a copy."""
def from_dlpack(x: Any, /) -> Tensor:
    """A new tensor holding a copy of what a DLPack producer exports."""
def is_grad_enabled() -> bool:
    """Whether this thread records operations."""
def set_grad_enabled(mode: bool | np.bool_, /) -> bool:
    """Turns recording on this thread on or off; returns the previous setting."""

def astype(x: _T, dtype: _DTypeLike) -> _T:
    """The values in another element type, rounded once; the gradient comes back in x's type."""

def config() -> dict[str, Any]:
    """The instruction set of each kernel family, the bf16 unit, what is refused and why."""

def set_num_threads(n: SupportsIndex, /) -> None:
    """Sets the threads operations use (1 to 1024); results do not depend on it."""
def get_num_threads() -> int:
    """The threads operations use: set_num_threads's value, else MIREL_NUM_THREADS, else the CPUs this process may use."""

__all__ = [
    "Tensor", "Size", "tensor", "astype", "PanicException", "no_grad", "nn", "optim", "Parameters",
    "save_file", "load_file", "load_metadata", "save_checkpoint", "load_checkpoint",
    "sum", "mean", "max", "min", "argmax", "sum_to", "broadcast_to",
    "exp", "log", "tanh", "sigmoid", "sqrt", "abs", "negative", "square",
    "power", "maximum", "minimum", "where",
    "reshape", "transpose", "permute", "concatenate", "stack", "take", "tril", "triu", "random", "manual_seed",
    "detach", "from_dlpack", "is_grad_enabled", "set_grad_enabled",
    "config", "set_num_threads", "get_num_threads",
]
