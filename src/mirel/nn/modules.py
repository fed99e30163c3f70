"""Layers for users who think in modules, over ``mirel.Parameters`` weights shared by every view of the tree."""
from __future__ import annotations

import math
from typing import Any, Iterator, TypeAlias, Union

import numpy as np
from numpy.typing import ArrayLike

import mirel
import mirel_core
from mirel.tensor import Tensor
from mirel.nn import functional as F
from mirel.parameters import Parameters, _f32, _Slot
from mirel.random import Generator

__all__ = ["Module", "Parameter", "Linear", "Embedding", "Sequential", "ReLU", "Tanh", "Sigmoid", "Identity",
           "Flatten"]

# What layers draw their initial weights from (_rng).
_Seed: TypeAlias = Union[int, np.random.Generator, Generator, None]

# Bumped by every change of any layer's weights or children, so that a layer's cached
# name -> weight map is rebuilt only after one (Note [one weight, many views]).
_structure = [0]


class Parameter:
    """A weight declared by assignment, as in PyTorch: ``self.scale = mirel.nn.Parameter(np.ones(3))`` in a
    layer's ``__init__`` does what ``add_parameter("scale", np.ones(3))`` does. It is a declaration, not a
    tensor: the layer keeps a float32 master of ``data``, and ``self.scale`` then reads this step's leaf.
    ``requires_grad=False`` declares a frozen weight."""

    __slots__ = ("data", "requires_grad")

    def __init__(self, data: ArrayLike | Tensor, requires_grad: bool = True) -> None:
        self.data = _f32(data)
        self.requires_grad = bool(requires_grad)

    def __repr__(self) -> str:
        return f"Parameter(shape={list(self.data.shape)}, requires_grad={self.requires_grad})"


class Module:
    """Base class: declare weights with ``add_parameter`` (or by assigning a ``Parameter``) and sub-layers as
    attributes. ``parameters()`` is a holder of every weight in this layer's tree under dotted names relative
    to it ("0.weight", "encoder.bias", ...: the names PyTorch gives the same tree); each layer's holder sees the
    same masters as its parents'. ``param(name)`` (or the attribute itself) is this step's leaf of one of this
    layer's weights.
    """

    _slots: dict[str, _Slot]
    _children: dict[str, Module]
    training: bool

    def __init__(self) -> None:
        object.__setattr__(self, "_slots", {})
        object.__setattr__(self, "_children", {})
        object.__setattr__(self, "training", True)

    def _ready(self, name: str) -> None:
        if "_slots" not in self.__dict__:
            raise AttributeError(f"cannot assign {name!r} before Module.__init__(): call super().__init__() first")

    def __setattr__(self, name: str, value: Any) -> None:
        if isinstance(value, Parameter):  # replaces whatever the attribute held, as in PyTorch
            self._ready(name)
            _check_weight_name(name)
            self.__dict__.pop(name, None)
            self._children.pop(name, None)
            self._declare(name, value)
            return
        if isinstance(value, mirel_core.Tensor) and value.requires_grad:
            raise TypeError(f"{type(self).__name__}.{name}: a tracked Tensor as a layer attribute would be one step's "
                            f"leaf, stale after the next Tensor.clear_graph(); declare a weight with "
                            f"self.{name} = mirel.nn.Parameter(array) or self.add_parameter({name!r}, array)")
        if isinstance(value, Module):
            self._ready(name)
            if any(m is self for m in value.modules()):
                raise ValueError(f"{type(self).__name__}.{name}: a layer cannot contain itself")
        slots, children = self.__dict__.get("_slots", {}), self.__dict__.get("_children", {})
        if name in slots:
            if value is not None:
                raise TypeError(f"{type(self).__name__}.{name} is a weight: assign a mirel.nn.Parameter, None "
                                f"(to remove it) or load new values with load_state_dict")
            del slots[name]
        children.pop(name, None)
        if isinstance(value, Module):
            children[name] = value
        _structure[0] += 1
        object.__setattr__(self, name, value)

    def __getattr__(self, name: str) -> Any:
        # Only reached when ordinary lookup fails: a declared weight reads as this step's leaf.
        slots = self.__dict__.get("_slots")
        if slots is not None and name in slots:
            return slots[name].leaf()
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def __delattr__(self, name: str) -> None:
        if name in self._slots:
            del self._slots[name]
            _structure[0] += 1
            return
        if self._children.pop(name, None) is not None:
            _structure[0] += 1
        object.__delattr__(self, name)

    def __getstate__(self) -> dict[str, Any]:
        return {k: v for k, v in self.__dict__.items() if k != "_named_cache"}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)

    def add_parameter(self, name: str, value: ArrayLike | Tensor | Parameter) -> None:
        """Declares a weight of this layer with its initial value (kept as a float32 master); a Parameter
        brings its requires_grad. Declaring a name again replaces the weight."""
        self._ready(name)
        _check_weight_name(name)
        if name not in self._slots and name in self.__dict__:
            raise KeyError(f"{type(self).__name__} already has an attribute {name!r}")
        self._declare(name, value if isinstance(value, Parameter) else Parameter(value))

    def _declare(self, name: str, declared: Parameter) -> None:
        self._slots[name] = _Slot(declared.data, "f32", declared.requires_grad)
        _structure[0] += 1

    # The tree.
    def named_children(self) -> Iterator[tuple[str, Module]]:
        """(name, layer) for each direct sub-layer, in the order they were assigned."""
        return iter(list(self._children.items()))

    def children(self) -> Iterator[Module]:
        return (m for _, m in self.named_children())

    def named_modules(self, memo: set[int] | None = None, prefix: str = "",
                      remove_duplicate: bool = True) -> Iterator[tuple[str, Module]]:
        """(dotted name, layer) for this layer ("") and every one below it ("0", "0.1", ...); a layer reached
        twice is yielded once unless remove_duplicate is False."""
        if memo is None:
            memo = set()
        if remove_duplicate:
            if id(self) in memo:
                return
            memo.add(id(self))
        yield prefix, self
        for name, child in self._children.items():
            yield from child.named_modules(memo, f"{prefix}.{name}" if prefix else name, remove_duplicate)

    def modules(self) -> Iterator[Module]:
        return (m for _, m in self.named_modules())

    def _named_slots(self) -> dict[str, _Slot]:
        """Every weight of the tree by its name relative to this layer, each once (a tied weight under its first
        name), own weights first; cached until any layer changes."""
        cached = self.__dict__.get("_named_cache")
        if cached is None or cached[0] != _structure[0]:
            named: dict[str, _Slot] = {}
            seen: set[int] = set()
            for prefix, module in self.named_modules():
                for name, slot in module._slots.items():
                    if id(slot) not in seen:
                        seen.add(id(slot))
                        named[f"{prefix}.{name}" if prefix else name] = slot
            cached = (_structure[0], named)
            object.__setattr__(self, "_named_cache", cached)
        return cached[1]

    # Weights.
    def parameters(self) -> Parameters:
        """A holder of every weight in this layer's tree, named relative to it; it shares the masters with the
        holders of every other layer of the tree (Note [one weight, many views]), so an optimizer built on it
        updates exactly these weights, and the whole model sees the update."""
        return Parameters._of(self)

    def named_parameters(self) -> Iterator[tuple[str, Tensor]]:
        """(dotted name, float32 master) for every weight of the tree, frozen ones included."""
        return iter(self.parameters().items())

    def param(self, name: str) -> Tensor:
        """This step's leaf of one of this layer's weights."""
        return self._slots[name].leaf()

    def state_dict(self) -> dict[str, np.ndarray]:
        """The weights of this layer's tree by dotted name relative to it, as float32 arrays."""
        return self.parameters().state_dict()

    def load_state_dict(self, state: Any, strict: bool = True) -> None:
        """Replaces the weights of this layer's tree (all checked first: on an error nothing changes)."""
        self.parameters().load_state_dict(state, strict)

    def requires_grad_(self, requires_grad: bool = True) -> Module:
        """Trains (True) or freezes (False) every weight of this layer's tree; returns self."""
        self.parameters().requires_grad_(requires_grad)
        return self

    def zero_grad(self) -> None:
        """Drops this thread's gradients of the tree's weights (Parameters.zero_grad)."""
        self.parameters().zero_grad()

    def train(self, mode: bool = True) -> Module:
        """Sets the training flag of this layer and every one below it; returns self."""
        for module in self.modules():
            object.__setattr__(module, "training", bool(mode))
        return self

    def eval(self) -> Module:
        """train(False)."""
        return self.train(False)

    def to(self, dtype: str) -> Module:
        """Computes in dtype ("f32", "f16" or "bf16") from now on; the masters stay float32."""
        self.parameters().dtype = dtype
        return self

    def forward(self, *args: Any, **kwargs: Any) -> Any:
        raise NotImplementedError(f"{type(self).__name__} defines no forward()")

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self.forward(*args, **kwargs)

    def extra_repr(self) -> str:
        return ""

    def __repr__(self) -> str:
        lines = [f"  ({name}): " + repr(child).replace("\n", "\n  ") for name, child in self._children.items()]
        head = f"{type(self).__name__}({self.extra_repr()}"
        return head + ("\n" + "\n".join(lines) + "\n)" if lines else ")")


def _check_weight_name(name: object) -> None:
    if not isinstance(name, str) or not name or "." in name:
        raise KeyError(f"weight names are non-empty str without '.', not {name!r}")


class _Draws:
    """A mirel.random.Generator as the two draws layers initialise with: the same bits on every machine."""

    def __init__(self, generator: Any) -> None:
        self.generator = generator

    def uniform(self, low: float, high: float, size: Any) -> np.ndarray:
        return np.asarray(self.generator.uniform(size, low, high).numpy())

    def standard_normal(self, size: Any) -> np.ndarray:
        return np.asarray(self.generator.normal(size).numpy())


def _rng(seed: Any) -> Any:
    """What layers draw their initial weights from: an int seed or None (NumPy's generator), a NumPy
    Generator, or a mirel.random.Generator."""
    if isinstance(seed, Generator):
        return _Draws(seed)
    return seed if isinstance(seed, np.random.Generator) else np.random.default_rng(seed)


class Linear(Module):
    """y = x @ weightᵀ + bias, weight [out_features, in_features], both drawn from U(-k, k), k = 1/√in_features."""

    def __init__(self, in_features: int, out_features: int, bias: bool = True,
                 rng: _Seed = None) -> None:
        super().__init__()
        g, k = _rng(rng), 1.0 / math.sqrt(in_features) if in_features else 0.0
        self.in_features, self.out_features = in_features, out_features
        self.add_parameter("weight", g.uniform(-k, k, (out_features, in_features)))
        if bias:
            self.add_parameter("bias", g.uniform(-k, k, (out_features,)))

    def extra_repr(self) -> str:
        return f"in_features={self.in_features}, out_features={self.out_features}, bias={'bias' in self._slots}"

    def forward(self, x: Tensor) -> Tensor:
        return F.linear(x, self.param("weight"), self.param("bias") if "bias" in self._slots else None)


class Embedding(Module):
    """Rows of weight [num_embeddings, embedding_dim] (drawn from N(0, 1)) looked up by integer indices."""

    def __init__(self, num_embeddings: int, embedding_dim: int, rng: _Seed = None) -> None:
        super().__init__()
        self.num_embeddings, self.embedding_dim = num_embeddings, embedding_dim
        self.add_parameter("weight", _rng(rng).standard_normal((num_embeddings, embedding_dim)))

    def extra_repr(self) -> str:
        return f"{self.num_embeddings}, {self.embedding_dim}"

    def forward(self, indices: ArrayLike) -> Tensor:
        return mirel.take(self.param("weight"), np.asarray(indices), axis=0)


class ReLU(Module):
    """max(x, 0), elementwise."""

    def forward(self, x: Tensor) -> Tensor:
        return F.relu(x)


class Tanh(Module):
    """tanh(x), elementwise."""

    def forward(self, x: Tensor) -> Tensor:
        return mirel.tanh(x)


class Sigmoid(Module):
    """1 / (1 + exp(-x)), elementwise."""

    def forward(self, x: Tensor) -> Tensor:
        return mirel.sigmoid(x)


class Identity(Module):
    """Returns its input; takes (and ignores) any arguments, as PyTorch's does."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__()

    def forward(self, x: Any) -> Any:
        return x


class Flatten(Module):
    """Joins the axes start_dim..end_dim (negative counts from the end) into one: [N, C, H, W] -> [N, C*H*W]."""

    def __init__(self, start_dim: int = 1, end_dim: int = -1) -> None:
        super().__init__()
        self.start_dim, self.end_dim = start_dim, end_dim

    def forward(self, x: Tensor) -> Tensor:
        shape, rank = x.shape, max(len(x.shape), 1)
        start, end = (d + rank if d < 0 else d for d in (self.start_dim, self.end_dim))
        if not (0 <= start < rank and 0 <= end < rank):
            raise IndexError(f"Flatten: dimensions {self.start_dim}..{self.end_dim} are out of range for a tensor "
                             f"of rank {len(shape)}")
        if start > end:
            raise ValueError(f"Flatten: start_dim {self.start_dim} comes after end_dim {self.end_dim}")
        if not shape:
            return mirel.reshape(x, [1])
        return mirel.reshape(x, [*shape[:start], math.prod(shape[start:end + 1]), *shape[end + 1:]])

    def extra_repr(self) -> str:
        return f"start_dim={self.start_dim}, end_dim={self.end_dim}"


class Sequential(Module):
    """Layers applied in order, named "0", "1", ..."""

    def __init__(self, *layers: Module) -> None:
        super().__init__()
        for i, layer in enumerate(layers):
            if not isinstance(layer, Module):
                raise TypeError(f"Sequential: layer {i} is a {type(layer).__name__}, not a mirel.nn.Module")
            setattr(self, str(i), layer)
        self.layers = list(layers)

    def forward(self, x: Any) -> Any:
        for layer in self.layers:
            x = layer(x)
        return x

    def __getitem__(self, i: int) -> Module:
        return self.layers[i]

    def __len__(self) -> int:
        return len(self.layers)
