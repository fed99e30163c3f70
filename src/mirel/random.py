"""Random numbers that are the same on every machine: counter-based Philox4x32-10.

A ``Generator`` is a seed and an offset. Element i of a draw is a pure
function of (seed, offset at the draw, i), computed with integer arithmetic
and binary64 operations in a fixed order, so its bits do not depend on the
CPU, its instruction set, the thread count or how a tensor is split; each
draw moves the offset past the Philox blocks it read. ``docs/mirel.md``
("Random numbers") gives the algorithm and its test vectors::

    g = mirel.random.Generator(42)
    w = g.normal((256, 128), std=0.02)           # a mirel.Tensor, f32
    mask = g.bernoulli(0.9, (256,), dtype="bf16")
    order = g.permutation(1000)                   # a NumPy int64 array
    g.get_state()                                 # (42, 8288): seed, offset

The module functions draw from a process-wide default generator, which
``mirel.manual_seed(seed)`` resets.
"""
from __future__ import annotations

import threading
from typing import Any, Callable, Sequence, SupportsIndex, TypeVar

import numpy as np
import numpy.typing as npt

import mirel_core
from mirel import _native

_R = TypeVar("_R")
_SEED_LIMIT = 1 << 64

__all__ = ["Generator", "default_generator", "manual_seed", "uniform", "normal", "randint", "bernoulli",
           "permutation"]


def _check_seed(seed: object, what: str) -> int:
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"{what} must be an int, not {type(seed).__name__}")
    value = int(seed)
    if not 0 <= value < _SEED_LIMIT:
        raise ValueError(f"{what} must lie in [0, 2**64), not {value}")
    return value


class Generator:
    """A Philox4x32-10 stream: ``seed`` is the key, ``offset`` the next unread block. Pickles and copies by
    its state; safe to share between threads (each draw reads its own blocks)."""

    def __init__(self, seed: int = 0) -> None:
        self._seed = _check_seed(seed, "Generator(): seed")
        self._offset = 0
        self._lock = threading.Lock()

    # -- state -------------------------------------------------------------------------------------------
    def manual_seed(self, seed: int) -> Generator:
        """Restart at offset 0 under a new seed; returns the generator, as PyTorch's does."""
        seed = _check_seed(seed, "manual_seed(): seed")
        with self._lock:
            self._seed, self._offset = seed, 0
        return self

    def initial_seed(self) -> int:
        return self._seed

    @property
    def seed(self) -> int:
        return self._seed

    @property
    def offset(self) -> int:
        """Philox blocks (of four 32-bit words) read so far."""
        return self._offset

    def get_state(self) -> tuple[int, int]:
        with self._lock:
            return self._seed, self._offset

    def set_state(self, state: tuple[int, int]) -> None:
        seed, offset = state
        seed = _check_seed(seed, "set_state(): seed")
        offset = _check_seed(offset, "set_state(): offset")
        with self._lock:
            self._seed, self._offset = seed, offset

    def __getstate__(self) -> tuple[int, int]:
        return self.get_state()

    def __setstate__(self, state: tuple[int, int]) -> None:
        self._lock = threading.Lock()
        self._seed, self._offset = state

    def __repr__(self) -> str:
        return f"mirel.random.Generator(seed={self._seed}, offset={self._offset})"

    def _draw(self, fn: Callable[..., tuple[_R, int]], *args: Any) -> _R:
        """fn(seed, offset, *args) -> (result, blocks read); the offset moves past those blocks."""
        with self._lock:
            result, used = fn(self._seed, self._offset, *args)
            if self._offset + used >= _SEED_LIMIT:
                raise OverflowError("Generator: the stream's 2**64 blocks are used up; choose another seed")
            self._offset += used
        return result

    # -- draws -------------------------------------------------------------------------------------------
    def uniform(self, size: int | Sequence[int], low: float = 0.0, high: float = 1.0, dtype: Any = "f32",
                requires_grad: bool = False) -> mirel_core.Tensor:
        """Uniform on [low, high): low + (high - low) * u in f32 with u on the grid of 2**-24 in [0, 1), rounded
        once to dtype (so a half type can round up to high)."""
        return _leaf(self._draw(_native._random, "uniform", size, float(low), float(high), dtype), requires_grad)

    def normal(self, size: int | Sequence[int], mean: float = 0.0, std: float = 1.0, dtype: Any = "f32",
               requires_grad: bool = False) -> mirel_core.Tensor:
        """Normal(mean, std**2) by Box-Muller in binary64: z rounded to f32, then z * std + mean in f32, rounded
        once to dtype."""
        return _leaf(self._draw(_native._random, "normal", size, float(mean), float(std), dtype), requires_grad)

    def bernoulli(self, p: float | mirel_core.Tensor, size: int | Sequence[int] | None = None,
                  dtype: Any = None) -> mirel_core.Tensor:
        """1.0 with probability p, else 0.0: a number p with a size (dtype f32 by default), or a tensor of
        probabilities (the result has its shape and element type)."""
        if isinstance(p, mirel_core.Tensor):
            if size is not None or dtype is not None:
                raise ValueError("bernoulli(): a tensor p gives the size and dtype; pass neither")
            return self._draw(_native._bernoulli_of, p)
        if size is None:
            raise ValueError("bernoulli(): a number p needs a size")
        q = float(p)
        if not 0.0 <= q <= 1.0:
            raise ValueError(f"bernoulli(): p must lie in [0, 1], not {p}")
        return self._draw(_native._random, "bernoulli", size, q, 0.0, "f32" if dtype is None else dtype)

    def randint(self, low: int, high: int | None = None, size: int | Sequence[int] = ()) -> npt.NDArray[np.int64]:
        """Integers in [low, high) (or [0, low) without high) as a NumPy int64 array, from 64 random bits each."""
        if high is None:
            low, high = 0, low
        return self._draw(_native._randint, size, _integer(low, "low"), _integer(high, "high"))

    def permutation(self, n: SupportsIndex) -> npt.NDArray[np.int64]:
        """0 .. n-1 in a random order (a NumPy int64 array): sorted by 64 random bits each."""
        return self._draw(_native._permutation, n)


def _integer(x: object, what: str) -> int:
    if isinstance(x, bool) or not isinstance(x, (int, np.integer)):
        raise TypeError(f"randint(): {what} must be an int, not {type(x).__name__}")
    return int(x)


def _leaf(t: mirel_core.Tensor, requires_grad: bool) -> mirel_core.Tensor:
    if not requires_grad:
        return t
    return type(t)(t, requires_grad=True)


_default = Generator(0)


def default_generator() -> Generator:
    """The process-wide generator that functions without a ``generator`` draw from."""
    return _default


def manual_seed(seed: int) -> Generator:
    """Reset the default generator to seed at offset 0; returns it."""
    return _default.manual_seed(seed)


def uniform(size: int | Sequence[int], low: float = 0.0, high: float = 1.0, dtype: Any = "f32",
            generator: Generator | None = None) -> mirel_core.Tensor:
    return (generator or _default).uniform(size, low, high, dtype)


def normal(size: int | Sequence[int], mean: float = 0.0, std: float = 1.0, dtype: Any = "f32",
           generator: Generator | None = None) -> mirel_core.Tensor:
    return (generator or _default).normal(size, mean, std, dtype)


def bernoulli(p: float | mirel_core.Tensor, size: int | Sequence[int] | None = None, dtype: Any = None,
              generator: Generator | None = None) -> mirel_core.Tensor:
    return (generator or _default).bernoulli(p, size, dtype)


def randint(low: int, high: int | None = None, size: int | Sequence[int] = (),
            generator: Generator | None = None) -> npt.NDArray[np.int64]:
    return (generator or _default).randint(low, high, size)


def permutation(n: SupportsIndex, generator: Generator | None = None) -> npt.NDArray[np.int64]:
    return (generator or _default).permutation(n)
