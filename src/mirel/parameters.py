"""Named float32 master weights, handed to each step as fresh leaves."""
from __future__ import annotations

import importlib
import threading
from typing import Any, Iterable, Iterator, Mapping

import numpy as np
from numpy.typing import ArrayLike

import mirel_core
from mirel.tensor import Tensor

_native: Any = importlib.import_module("mirel._native")  # the private functions have no stubs

_COMPUTE_DTYPES = ("f32", "f16", "bf16")


def _f32(value: Any) -> np.ndarray:
    """value (an array-like or a Tensor) as a row-major float32 array of its own rank, 0-d included
    (np.ascontiguousarray would make a 0-d value 1-d)."""
    data = value.to_numpy() if isinstance(value, mirel_core.Tensor) else value
    return np.asarray(data, dtype=np.float32, order="C")


class _Slot:
    """One weight: its float32 master, whether it trains, the element type of its leaves, and each thread's
    leaf of the current step. Every holder and layer that sees the weight shares this one object."""

    __slots__ = ("master", "requires_grad", "dtype", "_gen", "_local")

    def __init__(self, value: ArrayLike | Tensor, dtype: str = "f32", requires_grad: bool = True) -> None:
        self.master = Tensor(_f32(value))
        self.requires_grad = requires_grad
        self.dtype = dtype
        self._gen = 0  # bumped whenever the master is replaced: leaves of older masters are stale
        self._local = threading.local()

    def replace(self, master: Tensor) -> None:
        self.master = master
        self._gen += 1

    def _key(self) -> tuple[int, int, str, bool]:
        return (_native._tape_epoch(), self._gen, self.dtype, self.requires_grad)

    # This thread's entry: (key, leaf or None, gradient scale). A leaf of None is a step whose gradients
    # were cleared by zero_grad(): current, with no gradient until the next leaf is handed out.
    def _entry(self) -> tuple[tuple[int, int, str, bool], Tensor | None, float] | None:
        entry = self._local.__dict__.get("entry")
        return entry if entry is not None and entry[0] == self._key() else None

    def leaf(self) -> Tensor:
        entry = self._entry()
        if entry is not None and entry[1] is not None:
            return entry[1]
        if self.requires_grad:
            leaf = _native._leaf(self.master, self.dtype)
        else:  # frozen: an untracked tensor, the master itself in f32
            leaf = self.master if self.dtype == "f32" else _native.detach(_native._leaf(self.master, self.dtype))
        self._local.entry = (self._key(), leaf, 1.0)
        return leaf

    def grad(self, entry: tuple[Any, Tensor | None, float]) -> Tensor | None:
        """The gradient of a current entry's leaf at the master's shape in f32; None when none arrived."""
        _, leaf, scale = entry
        if leaf is None or not self.requires_grad:
            return None
        g = _native._grad(leaf, self.master.shape)
        return g if g is None or scale == 1.0 else g * scale

    def scale_grad(self, factor: float) -> None:
        entry = self._entry()
        if entry is not None:
            self._local.entry = (entry[0], entry[1], entry[2] * factor)

    def zero_grad(self) -> None:
        """Gradients of earlier backward passes on this thread are not used: a leaf that has one is dropped
        (the next forward gets a fresh leaf); a leaf handed out but not yet reached by backward() is kept, so
        that forward, zero_grad(), backward() works as in PyTorch."""
        entry = self._entry()
        if entry is None or entry[1] is None or mirel_core.Tensor.grad(entry[1]) is not None:
            self._local.entry = (self._key(), None, 1.0)

    def __getstate__(self) -> dict[str, Any]:
        return {"master": self.master, "requires_grad": self.requires_grad, "dtype": self.dtype}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__(state["master"], state["dtype"], state["requires_grad"])  # type: ignore[misc]


class Parameters:
    """Named float32 master weights.

    Each step asks for leaves (``leaves()`` or ``leaf(name)``): tracked tensors
    on the calling thread's tape. In f32 a leaf shares the master's storage, no
    copy is made; with ``dtype="f16"`` or ``"bf16"`` it is a copy rounded once,
    while the masters stay in f32. The same leaves are handed out until the
    thread's tape is cleared (``Tensor.clear_graph()``), an optimizer replaces
    the master or ``zero_grad()`` drops them; then fresh ones are made, so a
    leaf of an earlier step is never taken for a current one.

    After ``backward()``, ``grads()`` gives each parameter's gradient summed
    to the parameter's own shape, in float32::

        params = mirel.Parameters({"w": np.zeros((3, 2)), "b": np.zeros(2)})
        p = params.leaves()
        loss = mirel.sum(x @ p["w"] + p["b"])
        loss.backward()
        params.grads()["b"]          # shape [2], not the broadcast [n, 2]

    A layer's ``parameters()`` is a holder of the same kind that looks through
    to the layer's weights and its children's (Note [one weight, many views]).
    """

    # Note [one weight, many views]
    # A weight is one _Slot, owned by the layer that declared it (or by a
    # stand-alone holder). A layer's parameters() is a view: it walks the
    # layer's tree when asked and names the slots relative to the layer, so
    # model.parameters(), model[2].parameters() and model[2].state_dict() all
    # read and replace the same masters, in whatever order they are called,
    # and a layer put under a parent later keeps what it learnt. Leaves and
    # gradients are per slot and per thread, so an optimizer over one layer
    # replacing its masters leaves the rest of the model's step untouched.

    def __init__(self, named: Mapping[str, ArrayLike | Tensor] | None = None, *, dtype: str = "f32") -> None:
        self._own: dict[str, _Slot] = {}
        self._module: Any = None  # the layer this holder looks through to, if any
        self._parts: list[tuple[Parameters, frozenset[str] | None]] | None = None  # or the holders, if any
        self.dtype = dtype
        for name, value in (named or {}).items():
            self[name] = value

    @classmethod
    def _of(cls, module: Any) -> Parameters:
        """The view of a layer's weights (mirel.nn.Module.parameters())."""
        view = cls.__new__(cls)
        view._own, view._module, view._parts, view._dtype = {}, module, None, "f32"
        return view

    @classmethod
    def _joined(cls, parts: list[tuple[Parameters, frozenset[str] | None]]) -> Parameters:
        """A view of other holders' weights (each restricted to some names, or whole); names must not repeat."""
        view = cls.__new__(cls)
        view._own, view._module, view._parts, view._dtype = {}, None, parts, "f32"
        view._slots()  # a repeated name fails here, not at the first step
        return view

    def subset(self, names: Iterable[str]) -> Parameters:
        """A view of the named weights only, e.g. one parameter group: the weights that decay."""
        chosen = frozenset(names)
        missing = sorted(chosen - set(self._slots()))
        if missing:
            raise KeyError(f"subset(): no weights named {missing}")
        return Parameters._joined([(self, chosen)])

    def _slots(self) -> dict[str, _Slot]:
        if self._parts is not None:
            out: dict[str, _Slot] = {}
            for holder, names in self._parts:
                for name, slot in holder._slots().items():
                    if names is not None and name not in names:
                        continue
                    if name in out:
                        raise ValueError(f"a weight named {name!r} is in more than one parameter group: give the "
                                         f"groups disjoint weights under distinct names")
                    out[name] = slot
            return out
        return self._own if self._module is None else self._module._named_slots()

    @property
    def dtype(self) -> str:
        """The element type of the leaves: "f32" (shared with the masters), "f16" or "bf16" (rounded copies).
        Setting it sets every weight's."""
        kinds = {slot.dtype for slot in self._slots().values()}
        if len(kinds) > 1:
            raise ValueError(f"these weights compute in several element types: {sorted(kinds)}")
        return kinds.pop() if kinds else self._dtype

    @dtype.setter
    def dtype(self, value: str) -> None:
        if value not in _COMPUTE_DTYPES:
            raise ValueError(f"compute dtype must be 'f32', 'f16' or 'bf16', not {value!r}")
        self._dtype = value
        for slot in self._slots().values():
            slot.dtype = value

    # The masters, as a mapping.
    def __getitem__(self, name: str) -> Tensor:
        """The f32 master weight (untracked; never changed in place: an update replaces it)."""
        return self._slots()[name].master

    def __setitem__(self, name: str, value: ArrayLike | Tensor) -> None:
        """Sets a master weight from an array or tensor, copied as float32."""
        if not isinstance(name, str):
            raise TypeError(f"parameter names are str, not {type(name).__name__}")
        slots = self._slots()
        if name in slots:
            slots[name].replace(Tensor(_f32(value)))
        elif self._module is not None or self._parts is not None:
            raise KeyError(f"{name!r} is not a weight of this layer: declare weights on the layer "
                           "(add_parameter or a mirel.nn.Parameter attribute)")
        else:
            self._own[name] = _Slot(value, self._dtype)

    def __contains__(self, name: object) -> bool:
        return name in self._slots()

    def __iter__(self) -> Iterator[str]:
        return iter(list(self._slots()))

    def __len__(self) -> int:
        return len(self._slots())

    def keys(self) -> list[str]:
        """The names, in insertion order (a layer's own weights first, then its children's, as PyTorch orders them)."""
        return list(self._slots())

    def items(self) -> list[tuple[str, Tensor]]:
        """(name, master) pairs, in the order of keys()."""
        return [(name, slot.master) for name, slot in self._slots().items()]

    def numel(self) -> int:
        """The number of weights over all parameters."""
        return sum(int(np.prod(t.shape)) for _, t in self.items())

    # Freezing.
    def requires_grad_(self, requires_grad: bool = True, names: Iterable[str] | None = None) -> Parameters:
        """Marks every weight (or the named ones) as trained or frozen and returns self. A frozen weight's leaf
        is an untracked tensor: no gradient reaches it and optimizers leave it as it is."""
        slots = self._slots()
        chosen = [slots[name] for name in (slots if names is None else names)]  # KeyError before any change
        for slot in chosen:
            slot.requires_grad = bool(requires_grad)
        return self

    def requires_grad(self, name: str) -> bool:
        """Whether the weight is trained (False when frozen)."""
        return self._slots()[name].requires_grad

    # Leaves and gradients of the current step.
    def leaves(self) -> dict[str, Tensor]:
        """This step's leaves, by name, on the calling thread's tape (untracked tensors for frozen weights)."""
        return {name: slot.leaf() for name, slot in self._slots().items()}

    def leaf(self, name: str) -> Tensor:
        """This step's leaf of one parameter."""
        return self._slots()[name].leaf()

    def grads(self) -> dict[str, Tensor | None]:
        """Each parameter's gradient at its own shape in float32 (None where no gradient reached it, and for
        frozen weights).

        Raises RuntimeError when none of this thread's leaves is current: the tape
        was cleared or the weights were updated since leaves() handed them out.
        """
        slots = self._slots()
        entries = {name: slot._entry() for name, slot in slots.items()}
        trained = [name for name, slot in slots.items() if slot.requires_grad]
        if trained and all(entries[name] is None for name in trained):
            raise RuntimeError("Parameters.grads(): no current leaves on this thread: the tape was cleared or the "
                               "weights were updated since leaves() handed them out; run a step first")
        return {name: None if entry is None else slots[name].grad(entry) for name, entry in entries.items()}

    def zero_grad(self) -> None:
        """Drops this thread's gradients: the next backward() starts from none. Leaves that already hold a
        gradient are replaced by fresh ones at their next use; a step() before any backward() changes nothing."""
        for slot in self._slots().values():
            slot.zero_grad()

    def _scale_grads(self, factor: float) -> None:
        for slot in self._slots().values():
            slot.scale_grad(factor)

    # State, pickling and checkpoints.
    def state_dict(self) -> dict[str, np.ndarray]:
        """Copies of the masters as float32 NumPy arrays, by name."""
        return {name: m.to_numpy() for name, m in self.items()}

    def load_state_dict(self, state: Mapping[str, Any], strict: bool = True) -> None:
        """Replaces masters from arrays or tensors of the same shapes. Every entry is checked before any is
        taken, so on an error nothing changes. With strict, the names must match exactly."""
        slots = self._slots()
        if strict and set(state) != set(slots):
            missing, extra = sorted(set(slots) - set(state)), sorted(set(state) - set(slots))
            raise KeyError(f"load_state_dict(): missing {missing}, unexpected {extra}")
        staged: dict[str, Tensor] = {}
        for name, value in state.items():
            if name not in slots:
                continue
            data = _f32(value)
            if list(data.shape) != slots[name].master.shape:
                raise ValueError(f"load_state_dict(): {name!r} has shape {list(data.shape)}, "
                                 f"the parameter {slots[name].master.shape}")
            staged[name] = Tensor(data)
        for name, master in staged.items():
            slots[name].replace(master)

    def __getstate__(self) -> dict[str, Any]:
        if self._module is not None:
            return {"module": self._module}
        if self._parts is not None:
            return {"parts": self._parts}
        return {"slots": self._own, "dtype": self._dtype}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self._parts = state.get("parts")
        if "module" in state or "parts" in state:
            self._own, self._module, self._dtype = {}, state.get("module"), "f32"
            return
        if "masters" in state:  # pickles of older versions: the masters by value
            self.__init__(state["masters"], dtype=state["dtype"])  # type: ignore[misc]
            return
        self._own, self._module, self._dtype = state["slots"], None, state["dtype"]

    def __repr__(self) -> str:
        shapes = ", ".join(f"{n}: {list(m.shape)}" for n, m in self.items())
        kinds = sorted({slot.dtype for slot in self._slots().values()} or {self._dtype})
        return f"Parameters({{{shapes}}}, dtype={kinds[0] if len(kinds) == 1 else kinds!r})"
