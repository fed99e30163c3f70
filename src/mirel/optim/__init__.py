"""Optimizers over ``mirel.Parameters``: each step is one fused native pass per parameter.

The learning rate is a number or a plain callable ``lr(step) -> float``, called
with the number of steps taken before this one (0 first)::

    opt = mirel.optim.AdamW(params, lr=mirel.optim.cosine_schedule(1e-3, total_steps=1000, warmup_steps=50))
"""
from __future__ import annotations

import math
import numbers
from typing import Any, Callable, Mapping, Sequence, Union

import numpy as np

import mirel_core
from mirel.tensor import Tensor
from mirel.parameters import _native
from mirel.parameters import Parameters, _f32

LearningRate = Union[float, Callable[[int], float]]
_Params = Union[Parameters, Sequence[Mapping[str, Any]]]  # a holder, or parameter groups

__all__ = ["Optimizer", "SGD", "Adam", "AdamW", "clip_grad_norm", "cosine_schedule", "LearningRate"]

# Step counts go to the native passes as numbers; a count beyond int64 is no count a run reaches.
_MAX_STEPS = 2**63 - 1


def _real(owner: str, key: str, value: object) -> float:
    """value as a float when it is a real number (not a bool, not NaN); TypeError or ValueError naming it."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{owner}: {key} must be a number, not {type(value).__name__} ({value!r})")
    number = float(value)
    if math.isnan(number):
        raise ValueError(f"{owner}: {key} must be a number, not NaN")
    return number


class Optimizer:
    """What SGD and AdamW share: the parameters, the learning rate, the step count and per-parameter state
    (float32 NumPy arrays, so the optimizer pickles and checkpoints as it is).

    A subclass declares its hyperparameters once, in ``_check_hyper``: the constructor and
    ``load_state_dict`` (and so ``mirel.load_checkpoint``) both go through it, so a state can never hold a
    value the constructor would refuse."""

    _state_names: tuple[str, ...] = ()

    # Note [parameter groups]
    # As in PyTorch, params may be a list of groups, {"params": a holder, and
    # any hyperparameter or "lr" of the group's own}; the others come from the
    # constructor's arguments. self.params joins the groups' holders (their
    # weights must be disjoint), so gradients, state and checkpoints stay keyed
    # by weight name; each name's group gives the hyperparameters of its
    # update. A group's "lr" may be changed between steps, as PyTorch's
    # schedulers do.

    def __init__(self, params: _Params, lr: LearningRate) -> None:
        _check_lr(lr)
        if isinstance(params, Parameters):
            groups: list[dict[str, Any]] = [{"params": params}]
        elif isinstance(params, Sequence) and params and all(isinstance(g, Mapping) for g in params):
            groups = [dict(g) for g in params]
            for g in groups:
                if not isinstance(g.get("params"), Parameters):
                    raise TypeError("each parameter group needs \"params\": a mirel.Parameters (e.g. "
                                    "model.parameters().subset(names))")
                if "lr" in g:
                    _check_lr(g["lr"])
        else:
            raise TypeError(f"optimizers take a mirel.Parameters or a non-empty list of parameter groups, "
                            f"not {type(params).__name__}")
        self.params = groups[0]["params"] if len(groups) == 1 else Parameters._joined(
            [(g["params"], None) for g in groups])
        self.param_groups = groups
        self.lr = lr
        self.steps = 0
        self.state: dict[str, dict[str, np.ndarray]] = {}
        self._group_hyper: list[dict[str, Any]] = [{} for _ in groups]

    # Hyperparameters: one set of rules for the constructor and for loading.
    @classmethod
    def _check_hyper(cls, hyper: Mapping[str, Any]) -> dict[str, Any]:
        """The hyperparameters checked and normalised (every key of ``_hyper()``); ValueError or TypeError."""
        if hyper:
            raise TypeError(f"{cls.__name__} has hyperparameters {sorted(hyper)} but no _check_hyper to check them")
        return {}

    @classmethod
    def _buffer_names(cls, hyper: Mapping[str, Any]) -> tuple[str, ...]:
        """The state buffers each parameter has under these (checked) hyperparameters."""
        return cls._state_names

    def _set_hyper(self, hyper: Mapping[str, Any]) -> None:
        """The constructor's (or a loaded state's) hyperparameters; each group's own override them."""
        by_group = []
        for group in self.param_groups:
            own = {k: v for k, v in group.items() if k not in ("params", "lr")}
            unknown = sorted(set(own) - set(hyper))
            if unknown:
                raise ValueError(f"{type(self).__name__}: a parameter group sets {unknown}, which are not among its "
                                 f"hyperparameters {sorted(hyper)}")
            by_group.append(self._check_hyper({**hyper, **own}))
        for key, value in hyper.items():
            setattr(self, key, value)
        self._group_hyper = by_group

    def _group_hyper_for(self, name: str, hyper: Mapping[str, Any]) -> dict[str, Any]:
        """The hyperparameters weight `name` would update with, its group's own over `hyper`."""
        for group in self.param_groups:
            if name in group["params"]:
                return self._check_hyper({**hyper, **{k: v for k, v in group.items() if k not in ("params", "lr")}})
        return dict(hyper)

    def _lr_of(self, group: Mapping[str, Any]) -> float:
        lr = group.get("lr", self.lr)
        return float(lr(self.steps)) if callable(lr) else float(lr)

    def _hyper(self) -> dict[str, Any]:
        return {}

    def __repr__(self) -> str:
        """As PyTorch prints an optimizer: its hyperparameters, one a line."""
        hyper = {"lr": self.lr, **self._hyper()}
        lines = "".join(f"    {k}: {v}\n" for k, v in sorted(hyper.items()))
        return f"{type(self).__name__} (\n{lines}    parameters: {len(self.params)}, steps taken: {self.steps}\n)"

    def current_lr(self) -> float:
        """The learning rate the next step uses."""
        return float(self.lr(self.steps)) if callable(self.lr) else float(self.lr)

    def _buffers(self, name: str, hyper: Mapping[str, Any]) -> dict[str, np.ndarray]:
        state = self.state.get(name)
        if state is None:  # made once, at the weight's first step
            shape = self.params[name].shape
            state = self.state[name] = {k: np.zeros(shape, np.float32) for k in self._buffer_names(hyper)}
        return state

    def step(self, grads: Mapping[str, Any] | None = None) -> None:
        """Updates every parameter that received a gradient on this thread's current leaves; or, given grads
        (name to a float32 array or tensor of the parameter's shape, e.g. gradients summed over data-parallel
        workers), with those. Every gradient is checked (a known name, the parameter's shape, convertible to
        float32) before any weight or state changes."""
        checked = self.params.grads() if grads is None else self._checked_grads(grads)
        slots = self.params._slots()  # the weights, looked up once a step (a layer's walks its tree)
        for group, hyper in zip(self.param_groups, self._group_hyper):
            lr = self._lr_of(group)
            for name in group["params"]:
                grad = checked.get(name)
                if grad is not None:
                    slot = slots[name]
                    slot.replace(self._update(name, slot.master, grad, lr, hyper))
        self.steps += 1

    def zero_grad(self) -> None:
        """Drops this thread's gradients of the parameters (Parameters.zero_grad): the next step uses only
        what backward() passes after this call. Steps replace the masters, so a loop that calls step() after
        each backward() does not need it."""
        self.params.zero_grad()

    def _checked_grads(self, grads: Mapping[str, Any]) -> dict[str, Tensor | None]:
        """Each gradient as a row-major float32 Tensor of its parameter's shape, all checked before any is used."""
        if not isinstance(grads, Mapping):
            raise TypeError(f"step(): grads must be a mapping of parameter names to gradients, "
                            f"not {type(grads).__name__}")
        out: dict[str, Tensor | None] = {}
        for name, g in grads.items():
            if name not in self.params:
                raise KeyError(f"step(): gradient for unknown parameter {name!r}")
            if g is None:
                out[name] = None
                continue
            if isinstance(g, mirel_core.Tensor):
                if g.dtype == "bool":
                    raise TypeError(f"step(): the gradient of {name!r} is a Bool tensor")
                if g.dtype != "f32" or g.strides != _row_major_strides(g.shape):
                    g = Tensor(_f32(g.to_numpy()))
            else:
                try:
                    array = np.asarray(g)
                    if array.dtype.kind not in "biuf":
                        raise TypeError(f"dtype {array.dtype}")
                    g = Tensor(_f32(array))
                except (TypeError, ValueError) as e:
                    raise TypeError(f"step(): the gradient of {name!r} is not convertible to a float32 array "
                                    f"({type(g).__name__}: {e})") from None
            if g.shape != self.params[name].shape:
                raise ValueError(f"step(): the gradient of {name!r} has shape {g.shape}, "
                                 f"the parameter {self.params[name].shape}")
            out[name] = g
        return out

    def _update(self, name: str, w: Tensor, grad: Any, lr: float, hyper: Mapping[str, Any]) -> Any:
        """The new master of weight `name` from its current one, w."""
        raise NotImplementedError

    # State.
    def state_dict(self) -> dict[str, Any]:
        """Hyperparameters, step count and state buffers (copies)."""
        return {"steps": self.steps, "hyper": self._hyper(),
                "state": {n: {k: v.copy() for k, v in s.items()} for n, s in self.state.items()}}

    def load_state_dict(self, state: Mapping[str, Any]) -> None:
        """Restores what state_dict() gave. Everything is checked first, with the constructor's own rules, and
        nothing changes on an error: "steps" an int >= 0; "hyper" (optional) only this optimizer's
        hyperparameters, the ones missing keeping their values; "state" the full set of buffers for each
        parameter named, at its shape."""
        self._apply(self._checked_state(state))

    def _checked_state(self, state: Mapping[str, Any]) -> tuple[int, dict[str, Any], dict[str, dict[str, np.ndarray]]]:
        """(steps, hyperparameters, buffers) from a state, every part checked; nothing of self changes."""
        what = f"{type(self).__name__}.load_state_dict()"
        if not isinstance(state, Mapping):
            raise TypeError(f"{what}: the state must be a mapping, not {type(state).__name__}")
        unknown = sorted(map(repr, set(state) - {"steps", "hyper", "state"}))
        if unknown:
            raise ValueError(f"{what}: unknown entries {', '.join(unknown)} (expected 'steps', 'hyper', 'state')")
        for key in ("steps", "state"):
            if key not in state:
                raise ValueError(f"{what}: the state has no {key!r}")
        steps = state["steps"]
        if isinstance(steps, bool) or not isinstance(steps, numbers.Integral) or not 0 <= int(steps) <= _MAX_STEPS:
            raise ValueError(f"{what}: 'steps' must be an int from 0 to 2**63 - 1, not {steps!r}")
        given = state.get("hyper", {})
        if not isinstance(given, Mapping):
            raise TypeError(f"{what}: 'hyper' must be a mapping, not {type(given).__name__}")
        current = self._hyper()
        unknown = sorted(map(repr, set(given) - set(current)))
        if unknown:
            raise ValueError(f"{what}: unknown hyperparameters {', '.join(unknown)} "
                             f"({type(self).__name__} has {', '.join(map(repr, current))})")
        hyper = self._check_hyper({**current, **given})
        buffers = state["state"]
        if not isinstance(buffers, Mapping):
            raise TypeError(f"{what}: 'state' must be a mapping of parameter names to buffers, "
                            f"not {type(buffers).__name__}")
        staged: dict[str, dict[str, np.ndarray]] = {}
        for name, bufs in buffers.items():
            if name not in self.params:
                raise KeyError(f"{what}: state for unknown parameter {name!r}")
            if not isinstance(bufs, Mapping):
                raise TypeError(f"{what}: the state of {name!r} must be a mapping of buffer names to arrays, "
                                f"not {type(bufs).__name__}")
            expected = set(self._buffer_names(self._group_hyper_for(name, hyper)))
            if set(bufs) != expected:
                raise ValueError(f"{what}: the state of {name!r} has buffers {sorted(map(str, bufs))}; "
                                 f"{type(self).__name__} with these hyperparameters needs {sorted(expected)}")
            staged[name] = {}
            for k, v in bufs.items():
                if isinstance(v, mirel_core.Tensor):
                    v = v.to_numpy()
                try:
                    arr = np.asarray(v)
                    if arr.dtype.kind not in "iuf":
                        raise TypeError(f"dtype {arr.dtype}")
                    arr = np.array(arr, dtype=np.float32, order="C")  # a copy of its own
                except (TypeError, ValueError) as e:
                    raise TypeError(f"{what}: {name}.{k} is not convertible to a float32 array "
                                    f"({type(v).__name__}: {e})") from None
                if list(arr.shape) != self.params[name].shape:
                    raise ValueError(f"{what}: {name}.{k} has shape {list(arr.shape)}, "
                                     f"the parameter {self.params[name].shape}")
                staged[name][k] = arr
        self._check_buffers(staged)
        return int(steps), hyper, staged

    def _check_buffers(self, staged: Mapping[str, Mapping[str, np.ndarray]]) -> None:
        """Refuses buffer values this optimizer could never have written."""

    def _apply(self, checked: tuple[int, dict[str, Any], dict[str, dict[str, np.ndarray]]]) -> None:
        steps, hyper, staged = checked
        self._set_hyper(hyper)
        self.state = staged
        self.steps = steps


class SGD(Optimizer):
    """Stochastic gradient descent with momentum, dampening, Nesterov momentum and L2 weight decay."""

    momentum: float
    dampening: float
    weight_decay: float
    nesterov: bool

    def __init__(self, params: _Params, lr: LearningRate, momentum: float = 0.0, dampening: float = 0.0,
                 weight_decay: float = 0.0, nesterov: bool = False) -> None:
        super().__init__(params, lr)
        self._set_hyper(self._check_hyper({"momentum": momentum, "dampening": dampening,
                                           "weight_decay": weight_decay, "nesterov": nesterov}))

    @classmethod
    def _check_hyper(cls, hyper: Mapping[str, Any]) -> dict[str, Any]:
        momentum = _real("SGD", "momentum", hyper["momentum"])
        dampening = _real("SGD", "dampening", hyper["dampening"])
        weight_decay = _real("SGD", "weight_decay", hyper["weight_decay"])
        nesterov = hyper["nesterov"]
        if not isinstance(nesterov, (bool, np.bool_)):
            raise TypeError(f"SGD: nesterov must be a bool, not {type(nesterov).__name__} ({nesterov!r})")
        if momentum < 0 or weight_decay < 0:
            raise ValueError("momentum and weight_decay must be >= 0")
        if nesterov and (momentum <= 0 or dampening != 0):
            raise ValueError("Nesterov momentum requires a momentum and zero dampening")
        return {"momentum": momentum, "dampening": dampening, "weight_decay": weight_decay,
                "nesterov": bool(nesterov)}

    @classmethod
    def _buffer_names(cls, hyper: Mapping[str, Any]) -> tuple[str, ...]:
        return ("momentum_buffer",) if hyper["momentum"] else ()

    def _update(self, name: str, w: Tensor, grad: Any, lr: float, hyper: Mapping[str, Any]) -> Any:
        first = name not in self.state
        buf = self._buffers(name, hyper).get("momentum_buffer")
        return _native._sgd(w, grad, buf, lr, hyper["momentum"], hyper["dampening"],
                            hyper["weight_decay"], hyper["nesterov"], first)

    def _hyper(self) -> dict[str, Any]:
        return {"momentum": self.momentum, "dampening": self.dampening, "weight_decay": self.weight_decay,
                "nesterov": self.nesterov}


class Adam(Optimizer):
    """Adam with bias correction; weight_decay is L2 regularisation added to the gradient, as in PyTorch's Adam."""

    betas: tuple[float, float]
    eps: float
    weight_decay: float

    _state_names = ("exp_avg", "exp_avg_sq")
    _decoupled = False  # AdamW decays the weight itself instead

    def __init__(self, params: _Params, lr: LearningRate = 1e-3, betas: tuple[float, float] = (0.9, 0.999),
                 eps: float = 1e-8, weight_decay: float = 0.0) -> None:
        super().__init__(params, lr)
        self._set_hyper(self._check_hyper({"betas": betas, "eps": eps, "weight_decay": weight_decay}))

    @classmethod
    def _check_hyper(cls, hyper: Mapping[str, Any]) -> dict[str, Any]:
        betas = hyper["betas"]
        if isinstance(betas, (str, bytes)) or not hasattr(betas, "__len__") or len(betas) != 2:
            raise TypeError(f"{cls.__name__}: betas must be a pair of numbers, not {betas!r}")
        name = cls.__name__
        b1, b2 = _real(name, "betas[0]", betas[0]), _real(name, "betas[1]", betas[1])
        eps, weight_decay = _real(name, "eps", hyper["eps"]), _real(name, "weight_decay", hyper["weight_decay"])
        if not (0 <= b1 < 1 and 0 <= b2 < 1) or eps < 0 or weight_decay < 0:
            raise ValueError(f"{name} needs 0 <= betas < 1, eps >= 0 and weight_decay >= 0, "
                             f"not betas={tuple(betas)}, eps={hyper['eps']}, weight_decay={hyper['weight_decay']}")
        return {"betas": (b1, b2), "eps": eps, "weight_decay": weight_decay}

    def _check_buffers(self, staged: Mapping[str, Mapping[str, np.ndarray]]) -> None:
        for name, bufs in staged.items():
            if (bufs["exp_avg_sq"] < 0).any():
                raise ValueError(f"{type(self).__name__}.load_state_dict(): {name}.exp_avg_sq holds a negative value "
                                 f"(a mean of squares is never negative)")

    def _update(self, name: str, w: Tensor, grad: Any, lr: float, hyper: Mapping[str, Any]) -> Any:
        bufs, decay = self._buffers(name, hyper), float(hyper["weight_decay"])
        if not self._decoupled and decay:
            grad, decay = grad + w * decay, 0.0  # g + wd·w in f32; the step itself is AdamW's without decay
        betas = hyper["betas"]
        return _native._adamw(w, grad, bufs["exp_avg"], bufs["exp_avg_sq"], lr, betas[0], betas[1], hyper["eps"],
                              decay, self.steps + 1)

    def _hyper(self) -> dict[str, Any]:
        return {"betas": self.betas, "eps": self.eps, "weight_decay": self.weight_decay}


class AdamW(Adam):
    """Adam with bias correction and decoupled weight decay."""

    _decoupled = True

    def __init__(self, params: _Params, lr: LearningRate = 1e-3, betas: tuple[float, float] = (0.9, 0.999),
                 eps: float = 1e-8, weight_decay: float = 1e-2) -> None:
        super().__init__(params, lr, betas, eps, weight_decay)


def _check_lr(lr: Any) -> None:
    if not callable(lr) and not (isinstance(lr, (int, float)) and not isinstance(lr, bool) and lr >= 0):
        raise ValueError(f"lr must be a number >= 0 or a callable, not {lr!r}")


def _row_major_strides(shape: list[int]) -> list[int]:
    strides, step = [], 1
    for n in reversed(shape):
        strides.append(step)
        step *= max(n, 1)
    return strides[::-1]


def clip_grad_norm(params: Parameters, max_norm: float, *, error_if_nonfinite: bool = False) -> float:
    """Scales this step's gradients by max_norm / (norm + 1e-6) when their global L2 norm is over max_norm;
    returns the norm before clipping. The next optimizer step sees the scaled gradients.

    As PyTorch's clip_grad_norm_: a NaN or infinite norm propagates (the gradients are scaled by NaN, or by 0,
    which leaves NaN where they were infinite), unless error_if_nonfinite, which raises RuntimeError instead
    and leaves the gradients as they were."""
    import mirel

    total = 0.0
    for g in params.grads().values():
        if g is not None:
            total += float(mirel.sum(mirel.square(g)).to_numpy())
    norm = math.sqrt(total)
    if error_if_nonfinite and not math.isfinite(norm):
        raise RuntimeError("The total norm of order 2.0 for gradients from `parameters` is non-finite, so it cannot "
                           "be clipped. To disable this error and scale the gradients by the non-finite norm "
                           "anyway, set `error_if_nonfinite=False`")
    coef = max_norm / (norm + 1e-6)  # 0 for an infinite norm, NaN for a NaN one
    if not coef >= 1.0:  # NaN too: PyTorch clamps the coefficient to at most 1, and NaN stays NaN
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
