from typing import TypeVar

import mirel_core

_T = TypeVar("_T", bound=mirel_core.Tensor)

def tril(input: _T, diagonal: int = 0) -> _T:
    """The lower triangle of the last two axes (j - i <= diagonal), zeros elsewhere."""
def triu(input: _T, diagonal: int = 0) -> _T:
    """The upper triangle of the last two axes (j - i >= diagonal), zeros elsewhere."""

__all__ = ["tril", "triu"]
