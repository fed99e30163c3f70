import os
from collections.abc import Mapping
from typing import Any, TypeAlias

import numpy.typing as npt

import mirel_core

_Path: TypeAlias = str | os.PathLike[str]
_Entry: TypeAlias = mirel_core.Tensor | npt.NDArray[Any]

MAX_ENTRIES: int
"""load_file refuses a file whose header lists more entries than this (ValueError)."""
MAX_AXES: int
"""load_file refuses an entry of more axes than this (ValueError): NumPy's limit."""

def save_file(tensors: Mapping[str, _Entry], path: _Path, metadata: Mapping[str, str] | None = None) -> None:
    """Writes mirel Tensors or NumPy arrays, each in its own element type, to a safetensors file, atomically."""
def load_file(path: _Path) -> dict[str, _Entry]:
    """Every entry of a safetensors file in file order: float and bool ones as Tensors, the others as NumPy arrays."""
def load_metadata(path: _Path) -> dict[str, str]:
    """The text metadata of a safetensors file ({} when it has none)."""

def save_checkpoint(path: _Path, params: Any, optimizer: Any = None, metadata: Mapping[str, str] | None = None) -> None:
    """Saves a model's weights (a mirel.Parameters or a mirel.nn.Module) and, optionally, an optimizer's state."""
def load_checkpoint(path: _Path, params: Any, optimizer: Any = None) -> dict[str, str]:
    """Loads what save_checkpoint wrote into a model and, optionally, an optimizer; all or nothing."""

__all__ = ["save_file", "load_file", "load_metadata", "save_checkpoint", "load_checkpoint"]
