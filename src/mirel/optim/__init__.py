"""Optimizers over ``mirel.Parameters``: each step is one fused native pass per parameter.

The learning rate is a number or a plain callable ``lr(step) -> float``, called
with the number of steps taken before this one (0 first)::

    opt = mirel.optim.AdamW(params, lr=mirel.optim.cosine_schedule(1e-3, total_steps=1000, warmup_steps=50))
"""
from __future__ import annotations

import math
from typing import Any, Callable, Mapping, Union

import numpy as np

import mirel_core
from mirel.tensor import Tensor
from mirel.parameters import _native
from mirel.parameters import Parameters, _f32

LearningRate = Union[float, Callable[[int], float]]

__all__ = ["Optimizer", "SGD", "Adam", "AdamW", "clip_grad_norm", "cosine_schedule", "LearningRate"]


class Optimizer:
    """What SGD and AdamW share: the parameters, the learning rate, the step count and per-parameter state
    (float32 NumPy arrays, so the optimizer pickles and checkpoints as it is)."""

    _state_names: tuple[str, ...] = ()

    def __init__(self, params: Parameters, lr: LearningRate) -> None:
        if not isinstance(params, Parameters):
            raise TypeError(f"optimizers take a mirel.Parameters, not {type(params).__name__}")
        if not callable(lr) and not (isinstance(lr, (int, float)) and lr >= 0):
            raise ValueError(f"lr must be a number >= 0 or a callable, not {lr!r}")
        self.params = params
        self.lr = lr
        self.steps = 0
        self.state: dict[str, dict[str, np.ndarray]] = {}

    def current_lr(self) -> float:
        """The learning rate the next step uses."""
        return float(self.lr(self.steps)) if callable(self.lr) else float(self.lr)

    def _buffers(self, name: str) -> dict[str, np.ndarray]:
        shape = self.params[name].shape
        return self.state.setdefault(name, {k: np.zeros(shape, np.float32) for k in self._state_names})

    def step(self, grads: Mapping[str, Any] | None = None) -> None:
        """Updates every parameter that received a gradient on this thread's current leaves; or, given grads
        (name to a float32 array or tensor of the parameter's shape, e.g. gradients summed over data-parallel
        workers), with those."""
        lr = self.current_lr()
        if grads is None:
            grads = self.params.grads()
        else:
            grads = {name: g if isinstance(g, mirel_core.Tensor) else Tensor(_f32(g)) for name, g in grads.items()}
        for name, grad in grads.items():
            if grad is not None:
                self.params._replace(name, self._update(name, grad, lr))
        self.steps += 1

    def zero_grad(self) -> None:
        """Drops this thread's gradients of the parameters (Parameters.zero_grad): the next step uses only
        what backward() passes after this call. Steps replace the masters, so a loop that calls step() after
        each backward() does not need it."""
        self.params.zero_grad()

    def _update(self, name: str, grad: Any, lr: float) -> Any:
        raise NotImplementedError

    def state_dict(self) -> dict[str, Any]:
        """Hyperparameters, step count and state buffers (copies)."""
        return {"steps": self.steps, "hyper": self._hyper(),
                "state": {n: {k: v.copy() for k, v in s.items()} for n, s in self.state.items()}}

    def load_state_dict(self, state: Mapping[str, Any]) -> None:
        """Restores what state_dict() gave; buffers are checked against the parameters' shapes first."""
        staged: dict[str, dict[str, np.ndarray]] = {}
        for name, bufs in state["state"].items():
            if name not in self.params:
                raise KeyError(f"load_state_dict(): state for unknown parameter {name!r}")
            staged[name] = {}
            for k, v in bufs.items():
                arr = _f32(v)
                if list(arr.shape) != self.params[name].shape:
                    raise ValueError(f"load_state_dict(): {name}.{k} has shape {list(arr.shape)}, "
                                     f"the parameter {self.params[name].shape}")
                staged[name][k] = arr.copy()
        self.state = staged
        self.steps = int(state["steps"])
        for k, v in state.get("hyper", {}).items():
            setattr(self, k, v)

    def _hyper(self) -> dict[str, Any]:
        return {}


class SGD(Optimizer):
    """Stochastic gradient descent with momentum, dampening, Nesterov momentum and L2 weight decay."""

    def __init__(self, params: Parameters, lr: LearningRate, momentum: float = 0.0, dampening: float = 0.0,
                 weight_decay: float = 0.0, nesterov: bool = False) -> None:
        super().__init__(params, lr)
        if momentum < 0 or weight_decay < 0:
            raise ValueError("momentum and weight_decay must be >= 0")
        if nesterov and (momentum <= 0 or dampening != 0):
            raise ValueError("Nesterov momentum requires a momentum and zero dampening")
        self.momentum, self.dampening, self.weight_decay, self.nesterov = momentum, dampening, weight_decay, nesterov
        self._state_names = ("momentum_buffer",) if momentum else ()

    def _update(self, name: str, grad: Any, lr: float) -> Any:
        first = name not in self.state
        buf = self._buffers(name).get("momentum_buffer")
        return _native._sgd(self.params[name], grad, buf, lr, self.momentum, self.dampening, self.weight_decay,
                            self.nesterov, first)

    def _hyper(self) -> dict[str, Any]:
        return {"momentum": self.momentum, "dampening": self.dampening, "weight_decay": self.weight_decay,
                "nesterov": self.nesterov}


class Adam(Optimizer):
    """Adam with bias correction; weight_decay is L2 regularisation added to the gradient, as in PyTorch's Adam."""

    _state_names = ("exp_avg", "exp_avg_sq")
    _decoupled = False  # AdamW decays the weight itself instead

    def __init__(self, params: Parameters, lr: LearningRate = 1e-3, betas: tuple[float, float] = (0.9, 0.999),
                 eps: float = 1e-8, weight_decay: float = 0.0) -> None:
        super().__init__(params, lr)
        if not (0 <= betas[0] < 1 and 0 <= betas[1] < 1) or eps < 0 or weight_decay < 0:
            raise ValueError(f"{type(self).__name__} needs 0 <= betas < 1, eps >= 0 and weight_decay >= 0, "
                             f"not betas={betas}, eps={eps}, weight_decay={weight_decay}")
        self.betas, self.eps, self.weight_decay = (float(betas[0]), float(betas[1])), eps, weight_decay

    def _update(self, name: str, grad: Any, lr: float) -> Any:
        bufs, w, decay = self._buffers(name), self.params[name], float(self.weight_decay)
        if not self._decoupled and decay:
            grad, decay = grad + w * decay, 0.0  # g + wd·w in f32; the step itself is AdamW's without decay
        return _native._adamw(w, grad, bufs["exp_avg"], bufs["exp_avg_sq"], lr, self.betas[0], self.betas[1],
                              self.eps, decay, self.steps + 1)

    def _hyper(self) -> dict[str, Any]:
        return {"betas": self.betas, "eps": self.eps, "weight_decay": self.weight_decay}


class AdamW(Adam):
    """Adam with bias correction and decoupled weight decay."""

    _decoupled = True

    def __init__(self, params: Parameters, lr: LearningRate = 1e-3, betas: tuple[float, float] = (0.9, 0.999),
                 eps: float = 1e-8, weight_decay: float = 1e-2) -> None:
        super().__init__(params, lr, betas, eps, weight_decay)


def clip_grad_norm(params: Parameters, max_norm: float) -> float:
    """Scales this step's gradients so that their global L2 norm is at most max_norm; returns the norm
    before clipping. The next optimizer step sees the scaled gradients."""
    import mirel

    total = 0.0
    for g in params.grads().values():
        if g is not None:
            total += float(mirel.sum(mirel.square(g)).to_numpy())
    norm = math.sqrt(total)
    coef = max_norm / (norm + 1e-6)
    if coef < 1.0:
        params._scale_grads(coef)
    return norm


class cosine_schedule:
    """A learning-rate callable: linear warm-up to lr over warmup_steps, then a cosine decay to final_lr at
    total_steps (held there after). A class, so that an optimizer holding one still pickles."""

    def __init__(self, lr: float, total_steps: int, warmup_steps: int = 0, final_lr: float = 0.0) -> None:
        self.lr, self.total_steps, self.warmup_steps, self.final_lr = lr, total_steps, warmup_steps, final_lr

    def __call__(self, step: int) -> float:
        if step < self.warmup_steps:
            return self.lr * (step + 1) / self.warmup_steps
        t = min(1.0, (step - self.warmup_steps) / max(1, self.total_steps - self.warmup_steps))
        return self.final_lr + (self.lr - self.final_lr) * 0.5 * (1.0 + math.cos(math.pi * t))
