from collections.abc import Sequence
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

from mirel.tensor import Tensor

_Size = int | Sequence[int]

class Generator:
    """A Philox4x32-10 stream: the seed is the key, the offset the next unread block of four 32-bit words."""
    def __init__(self, seed: int = 0) -> None: ...
    def manual_seed(self, seed: int) -> Generator:
        """Restart at offset 0 under a new seed; returns the generator."""
    def initial_seed(self) -> int: ...
    @property
    def seed(self) -> int: ...
    @property
    def offset(self) -> int:
        """Philox blocks read so far."""
    def get_state(self) -> tuple[int, int]:
        """(seed, offset)."""
    def set_state(self, state: tuple[int, int]) -> None: ...
    def __getstate__(self) -> tuple[int, int]: ...
    def __setstate__(self, state: tuple[int, int]) -> None: ...
    def uniform(self, size: _Size, low: float = 0.0, high: float = 1.0, dtype: Any = "f32",
                requires_grad: bool = False) -> Tensor:
        """Uniform on [low, high) in f32, rounded once to dtype."""
    def normal(self, size: _Size, mean: float = 0.0, std: float = 1.0, dtype: Any = "f32",
               requires_grad: bool = False) -> Tensor:
        """Normal(mean, std**2) by Box-Muller in binary64, the same bits on every machine."""
    def bernoulli(self, p: float | Tensor, size: _Size | None = None, dtype: Any = None) -> Tensor:
        """1.0 with probability p, else 0.0; a tensor p gives each element its own probability."""
    def randint(self, low: int, high: int | None = None, size: _Size = ()) -> npt.NDArray[np.int64]:
        """Integers in [low, high) as a NumPy int64 array."""
    def permutation(self, n: SupportsIndex) -> npt.NDArray[np.int64]:
        """0 .. n-1 in a random order."""

def default_generator() -> Generator:
    """The process-wide generator used when none is given."""
def manual_seed(seed: int) -> Generator:
    """Reset the default generator to seed at offset 0."""
def uniform(size: _Size, low: float = 0.0, high: float = 1.0, dtype: Any = "f32",
            generator: Generator | None = None) -> Tensor: ...
def normal(size: _Size, mean: float = 0.0, std: float = 1.0, dtype: Any = "f32",
           generator: Generator | None = None) -> Tensor: ...
def bernoulli(p: float | Tensor, size: _Size | None = None, dtype: Any = None,
              generator: Generator | None = None) -> Tensor: ...
def randint(low: int, high: int | None = None, size: _Size = (),
            generator: Generator | None = None) -> npt.NDArray[np.int64]: ...
def permutation(n: SupportsIndex, generator: Generator | None = None) -> npt.NDArray[np.int64]: ...

__all__ = ["Generator", "default_generator", "manual_seed", "uniform", "normal", "randint", "bernoulli",
           "permutation"]
