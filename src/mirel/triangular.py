"""Triangular parts of matrices (PyTorch's tril and triu), for attention masks and the like."""
from __future__ import annotations

from typing import TypeVar

import numpy as np

import mirel_core
from mirel._native import where

_T = TypeVar("_T", bound=mirel_core.Tensor)

__all__ = ["tril", "triu"]


def _keep(input: mirel_core.Tensor, diagonal: int, lower: bool, fn: str) -> mirel_core.Tensor:
    if not isinstance(input, mirel_core.Tensor):
        raise TypeError(f"{fn}(): input must be a Tensor, not {type(input).__name__}")
    if isinstance(diagonal, bool) or not isinstance(diagonal, (int, np.integer)):
        raise TypeError(f"{fn}(): diagonal must be an int, not {type(diagonal).__name__}")
    if input.ndim < 2:
        raise ValueError(f"{fn}(): input must have at least 2 axes, not shape {input.shape}")
    rows, cols = input.shape[-2], input.shape[-1]
    below = np.tri(rows, cols, k=int(diagonal) if lower else int(diagonal) - 1, dtype=bool)
    return mirel_core.Tensor(below if lower else ~below, dtype="bool")


def _masked(input: _T, keep: mirel_core.Tensor) -> _T:
    if input.dtype == "bool":
        return input & keep  # type: ignore[return-value]
    return where(keep, input, 0.0)


def tril(input: _T, diagonal: int = 0) -> _T:
    """The lower triangle of the last two axes: element (i, j) where j - i <= diagonal, else 0 (False for bool).
    The gradient passes where the element was kept."""
    return _masked(input, _keep(input, diagonal, True, "tril"))


def triu(input: _T, diagonal: int = 0) -> _T:
    """The upper triangle of the last two axes: element (i, j) where j - i >= diagonal, else 0 (False for bool)."""
    return _masked(input, _keep(input, diagonal, False, "triu"))
