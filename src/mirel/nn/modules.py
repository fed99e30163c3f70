"""Layers for users who think in modules, on one ``mirel.Parameters`` holder per model."""
from __future__ import annotations

import math
from typing import Any, Iterator

import numpy as np
from numpy.typing import ArrayLike

import mirel
from mirel_core import Tensor
from mirel.nn import functional as F
from mirel.parameters import Parameters

__all__ = ["Module", "Linear", "Embedding", "Sequential", "ReLU"]


class Module:
    """Base class: declare weights with ``add_parameter`` and sub-layers as attributes; ``parameters()``
    gathers every weight of the tree into one holder under dotted names ("0.weight", "encoder.bias", ...),
    the names PyTorch gives the same tree. ``param(name)`` is this step's leaf of one of this layer's weights.
    """

    _children: dict[str, Module]
    _initial: dict[str, np.ndarray]
    _holder: Parameters | None
    _prefix: str

    def __init__(self) -> None:
        object.__setattr__(self, "_children", {})
        object.__setattr__(self, "_initial", {})
        object.__setattr__(self, "_holder", None)
        object.__setattr__(self, "_prefix", "")

    def __setattr__(self, name: str, value: Any) -> None:
        if isinstance(value, Module):
            self._children[name] = value
        object.__setattr__(self, name, value)

    def add_parameter(self, name: str, value: ArrayLike) -> None:
        """Declares a weight of this layer with its initial value (kept as float32)."""
        if self._holder is not None:
            raise RuntimeError("add_parameter(): the layer's parameters were already gathered")
        self._initial[name] = np.ascontiguousarray(value, dtype=np.float32)

    def named_modules(self, prefix: str = "") -> Iterator[tuple[str, Module]]:
        """(dotted prefix, layer) for this layer and every one below it."""
        yield prefix, self
        for name, child in self._children.items():
            yield from child.named_modules(f"{prefix}{name}.")

    def parameters(self) -> Parameters:
        """The holder of every weight in the tree, made on the first call and shared by all its layers."""
        if self._holder is None:
            holder = Parameters()
            for prefix, module in self.named_modules():
                for name, value in module._initial.items():
                    holder[prefix + name] = value
                object.__setattr__(module, "_holder", holder)
                object.__setattr__(module, "_prefix", prefix)
        assert self._holder is not None
        return self._holder

    def param(self, name: str) -> Tensor:
        """This step's leaf of one of this layer's weights."""
        return self.parameters().leaf(self._prefix + name)

    def state_dict(self) -> dict[str, np.ndarray]:
        """The weights by dotted name, as float32 arrays."""
        return self.parameters().state_dict()

    def load_state_dict(self, state: Any, strict: bool = True) -> None:
        """Replaces the weights (all checked first: on an error nothing changes)."""
        self.parameters().load_state_dict(state, strict)

    def to(self, dtype: str) -> Module:
        """Computes in dtype ("f32", "f16" or "bf16") from now on; the masters stay float32."""
        self.parameters().dtype = dtype
        return self

    def forward(self, *args: Any) -> Any:
        raise NotImplementedError

    def __call__(self, *args: Any) -> Any:
        return self.forward(*args)


def _rng(seed: int | np.random.Generator | None) -> np.random.Generator:
    return seed if isinstance(seed, np.random.Generator) else np.random.default_rng(seed)


class Linear(Module):
    """y = x @ weightᵀ + bias, weight [out_features, in_features], both drawn from U(-k, k), k = 1/√in_features."""

    def __init__(self, in_features: int, out_features: int, bias: bool = True,
                 rng: int | np.random.Generator | None = None) -> None:
        super().__init__()
        g, k = _rng(rng), 1.0 / math.sqrt(in_features) if in_features else 0.0
        self.in_features, self.out_features, self.has_bias = in_features, out_features, bias
        self.add_parameter("weight", g.uniform(-k, k, (out_features, in_features)))
        if bias:
            self.add_parameter("bias", g.uniform(-k, k, (out_features,)))

    def forward(self, x: Tensor) -> Tensor:
        return F.linear(x, self.param("weight"), self.param("bias") if self.has_bias else None)


class Embedding(Module):
    """Rows of weight [num_embeddings, embedding_dim] (drawn from N(0, 1)) looked up by integer indices."""

    def __init__(self, num_embeddings: int, embedding_dim: int, rng: int | np.random.Generator | None = None) -> None:
        super().__init__()
        self.add_parameter("weight", _rng(rng).standard_normal((num_embeddings, embedding_dim)))

    def forward(self, indices: ArrayLike) -> Tensor:
        return mirel.take(self.param("weight"), np.asarray(indices), axis=0)


class ReLU(Module):
    """max(x, 0), elementwise."""

    def forward(self, x: Tensor) -> Tensor:
        return F.relu(x)


class Sequential(Module):
    """Layers applied in order, named "0", "1", ..."""

    def __init__(self, *layers: Module) -> None:
        super().__init__()
        for i, layer in enumerate(layers):
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
