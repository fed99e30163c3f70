"""Named float32 master weights, handed to each step as fresh leaves."""
from __future__ import annotations

import importlib
import threading
from typing import Any, Iterator, Mapping

import numpy as np
from numpy.typing import ArrayLike

from mirel_core import Tensor

_native: Any = importlib.import_module("mirel._native")  # the private functions have no stubs

_COMPUTE_DTYPES = ("f32", "f16", "bf16")


class _Step(threading.local):
    """What one thread was handed: its leaves, for one tape epoch and one version of the masters."""

    def __init__(self) -> None:
        self.key: tuple[int, int, str] | None = None
        self.leaves: dict[str, Tensor] = {}
        self.grad_scale = 1.0


class Parameters:
    """Named float32 master weights.

    Each step asks for leaves (``leaves()`` or ``leaf(name)``): tracked tensors
    on the calling thread's tape. In f32 a leaf shares the master's storage, no
    copy is made; with ``dtype="f16"`` or ``"bf16"`` it is a copy rounded once,
    while the masters stay in f32. The same leaves are handed out until the
    thread's tape is cleared (``Tensor.clear_graph()``) or an optimizer
    replaces a master; then fresh ones are made, so a leaf of an earlier step
    is never taken for a current one.

    After ``backward()``, ``grads()`` gives each parameter's gradient summed
    to the parameter's own shape, in float32::

        params = mirel.Parameters({"w": np.zeros((3, 2)), "b": np.zeros(2)})
        p = params.leaves()
        loss = mirel.sum(x @ p["w"] + p["b"])
        loss.backward()
        params.grads()["b"]          # shape [2], not the broadcast [n, 2]
    """

    def __init__(self, named: Mapping[str, ArrayLike | Tensor] | None = None, *, dtype: str = "f32") -> None:
        self._masters: dict[str, Tensor] = {}
        self._version = 0
        self._step = _Step()
        self.dtype = dtype
        for name, value in (named or {}).items():
            self[name] = value

    @property
    def dtype(self) -> str:
        """The element type of the leaves: "f32" (shared with the masters), "f16" or "bf16" (rounded copies)."""
        return self._dtype

    @dtype.setter
    def dtype(self, value: str) -> None:
        if value not in _COMPUTE_DTYPES:
            raise ValueError(f"compute dtype must be 'f32', 'f16' or 'bf16', not {value!r}")
        self._dtype = value

    # The masters, as a mapping.
    def __getitem__(self, name: str) -> Tensor:
        """The f32 master weight (untracked; never changed in place: an update replaces it)."""
        return self._masters[name]

    def __setitem__(self, name: str, value: ArrayLike | Tensor) -> None:
        """Sets a master weight from an array or tensor, copied as float32."""
        if not isinstance(name, str):
            raise TypeError(f"parameter names are str, not {type(name).__name__}")
        data = value.to_numpy() if isinstance(value, Tensor) else value
        self._masters[name] = Tensor(np.ascontiguousarray(data, dtype=np.float32))
        self._version += 1

    def __contains__(self, name: object) -> bool:
        return name in self._masters

    def __iter__(self) -> Iterator[str]:
        return iter(self._masters)

    def __len__(self) -> int:
        return len(self._masters)

    def keys(self) -> list[str]:
        """The names, in insertion order."""
        return list(self._masters)

    def items(self) -> list[tuple[str, Tensor]]:
        """(name, master) pairs, in insertion order."""
        return list(self._masters.items())

    def numel(self) -> int:
        """The number of weights over all parameters."""
        return sum(int(np.prod(t.shape)) for t in self._masters.values())

    # Leaves and gradients of the current step.
    def _current(self) -> dict[str, Tensor]:
        key = (_native._tape_epoch(), self._version, self._dtype)
        step = self._step
        if step.key != key:
            step.leaves = {name: _native._leaf(m, self._dtype) for name, m in self._masters.items()}
            step.key = key
            step.grad_scale = 1.0
        return step.leaves

    def leaves(self) -> dict[str, Tensor]:
        """This step's leaves, by name, on the calling thread's tape."""
        return dict(self._current())

    def leaf(self, name: str) -> Tensor:
        """This step's leaf of one parameter."""
        return self._current()[name]

    def grads(self) -> dict[str, Tensor | None]:
        """Each parameter's gradient at its own shape in float32 (None where no gradient reached it).

        Raises RuntimeError when this thread's leaves are not current: the tape
        was cleared or the masters were replaced since they were handed out.
        """
        step = self._step
        if step.key is None or step.key[:2] != (_native._tape_epoch(), self._version):
            raise RuntimeError("Parameters.grads(): no current leaves on this thread: the tape was cleared or the "
                               "weights were updated since leaves() handed them out; run a step first")
        out: dict[str, Tensor | None] = {}
        for name, leaf in step.leaves.items():
            g = _native._grad(leaf, self._masters[name].shape)
            out[name] = g if g is None or step.grad_scale == 1.0 else g * step.grad_scale
        return out

    def _scale_grads(self, factor: float) -> None:
        self._step.grad_scale *= factor

    def _replace(self, name: str, master: Tensor) -> None:
        """Puts an optimizer's new master in place; the leaves handed out so far become stale."""
        self._masters[name] = master
        self._version += 1

    # State, pickling and checkpoints.
    def state_dict(self) -> dict[str, np.ndarray]:
        """Copies of the masters as float32 NumPy arrays, by name."""
        return {name: m.to_numpy() for name, m in self._masters.items()}

    def load_state_dict(self, state: Mapping[str, Any], strict: bool = True) -> None:
        """Replaces masters from arrays or tensors of the same shapes. Every entry is checked before any is
        taken, so on an error nothing changes. With strict, the names must match exactly."""
        if strict and set(state) != set(self._masters):
            missing, extra = sorted(set(self._masters) - set(state)), sorted(set(state) - set(self._masters))
            raise KeyError(f"load_state_dict(): missing {missing}, unexpected {extra}")
        staged: dict[str, Tensor] = {}
        for name, value in state.items():
            if name not in self._masters:
                continue
            data = value.to_numpy() if isinstance(value, Tensor) else np.asarray(value)
            if list(data.shape) != self._masters[name].shape:
                raise ValueError(f"load_state_dict(): {name!r} has shape {list(data.shape)}, "
                                 f"the parameter {self._masters[name].shape}")
            staged[name] = Tensor(np.ascontiguousarray(data, dtype=np.float32))
        self._masters.update(staged)
        self._version += 1

    def __getstate__(self) -> dict[str, Any]:
        return {"masters": self.state_dict(), "dtype": self._dtype}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__(state["masters"], dtype=state["dtype"])  # type: ignore[misc]

    def __repr__(self) -> str:
        shapes = ", ".join(f"{n}: {m.shape}" for n, m in self._masters.items())
        return f"Parameters({{{shapes}}}, dtype={self._dtype!r})"
