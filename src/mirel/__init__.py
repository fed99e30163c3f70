"""mirel: what a training loop needs around mirel_core's Tensor.

Reductions, elementwise math, shape functions, losses, a no-grad mode and
interchange, all taking and returning ``mirel_core.Tensor`` and recording on
the same per-thread tape as its operators, so they mix freely::

    import numpy as np, mirel
    x = mirel.Tensor(np.ones((2, 3)), requires_grad=True)
    loss = mirel.sum(mirel.exp(x) * 2.0)
    loss.backward()

Half-precision (f16, bf16) results are computed in float32 and rounded once.
Gradients of broadcasting operations stay at the broadcast shape, as in
mirel_core; ``sum_to`` brings one back to an operand's shape.
"""
from __future__ import annotations

import threading as _threading
from typing import Any, Callable, TypeVar

from mirel_core import Tensor
from mirel._native import (
    PanicException,
    abs,
    argmax,
    broadcast_to,
    concatenate,
    detach,
    exp,
    from_dlpack,
    is_grad_enabled,
    log,
    max,
    maximum,
    mean,
    min,
    minimum,
    negative,
    permute,
    power,
    reshape,
    set_grad_enabled,
    sigmoid,
    sqrt,
    square,
    stack,
    sum,
    sum_to,
    take,
    tanh,
    transpose,
    where,
)
from mirel.checkpoint import load_checkpoint, load_file, load_metadata, save_checkpoint, save_file
from mirel.parameters import Parameters
from mirel import nn, optim

__version__ = "0.1.0"

_F = TypeVar("_F", bound=Callable[..., Any])


class no_grad:
    """Context manager (and decorator) inside which nothing is recorded.

    Operations of ``mirel`` and of ``mirel_core`` alike give untracked results
    on the calling thread while it is active; other threads are unaffected.
    Nesting is allowed; leaving restores the setting found on entry.
    """

    def __init__(self) -> None:
        self._saved = _threading.local()

    def __enter__(self) -> None:
        stack = self._saved.__dict__.setdefault("stack", [])
        stack.append(set_grad_enabled(False))

    def __exit__(self, *exc: object) -> None:
        set_grad_enabled(self._saved.stack.pop())

    def __call__(self, fn: _F) -> _F:
        import functools

        @functools.wraps(fn)
        def wrapper(*args: Any, **kwargs: Any) -> Any:
            with self:
                return fn(*args, **kwargs)

        return wrapper  # type: ignore[return-value]


def config() -> dict[str, Any]:
    """What this process computes with: the instruction set each kernel family
    chose (``chosen``), the unit bf16 products use, what is refused and why
    (``refused``), and the ``MIREL_ISA`` cap in force (docs/mirel.md).
    """
    from mirel._native import _config

    return _config()


__all__ = [
    "Tensor", "PanicException", "no_grad", "nn", "optim", "Parameters",
    "save_file", "load_file", "load_metadata", "save_checkpoint", "load_checkpoint",
    "sum", "mean", "max", "min", "argmax", "sum_to", "broadcast_to",
    "exp", "log", "tanh", "sigmoid", "sqrt", "abs", "negative", "square",
    "power", "maximum", "minimum", "where",
    "reshape", "transpose", "permute", "concatenate", "stack", "take",
    "detach", "from_dlpack", "is_grad_enabled", "set_grad_enabled",
    "config",
]
