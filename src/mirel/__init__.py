"""mirel: what a training loop needs around mirel_core's Tensor.

Reductions, elementwise math, shape functions, losses, a no-grad mode and
interchange, recording on the same per-thread tape as mirel_core's operators,
so they mix freely. ``mirel.Tensor`` is mirel_core's Tensor with PyTorch's
methods (indexing, ``-x``, ``x ** 2``, ``x.sum()``, ``x.item()``, ...); results
take the class of their tensor operands::

    import numpy as np, mirel
    x = mirel.tensor(np.ones((2, 3)), requires_grad=True)
    loss = (x.exp() * 2.0).sum()
    loss.backward()
    x.grad                      # a mirel.Tensor of x's shape

Half-precision (f16, bf16) results are computed in float32 and rounded once.
In graphs of ``mirel.Tensor``s every operand gets its gradient at its own
shape, as in PyTorch; ``mirel_core.Tensor`` graphs keep the broadcast shapes
of mirel_core's operators, and ``sum_to`` brings one back.
"""
from __future__ import annotations

import threading as _threading
from typing import Any, Callable, Generator, TypeVar

from mirel._native import (
    PanicException,
    abs,
    argmax,
    astype,
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
    set_num_threads,
    get_num_threads,
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
from mirel.tensor import Size, Tensor, tensor
from mirel.checkpoint import load_checkpoint, load_file, load_metadata, save_checkpoint, save_file
from mirel.parameters import Parameters
from mirel.triangular import tril, triu
from mirel import nn, optim, random
from mirel.random import manual_seed

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
        """fn with recording off while its body runs. The body of a generator function, async function or
        async generator runs on each resumption with recording off, and the caller's setting is back in
        force whenever it is suspended (at a ``yield`` or an ``await``), as with PyTorch's ``no_grad``."""
        import functools
        import inspect

        wrapper: Callable[..., Any]
        if inspect.isasyncgenfunction(fn):
            wrapper = _async_generator_wrapper(self, fn)
        elif inspect.iscoroutinefunction(fn):

            async def wrapper(*args: Any, **kwargs: Any) -> Any:
                return await _Resumed(self, fn(*args, **kwargs))

        elif inspect.isgeneratorfunction(fn):

            def wrapper(*args: Any, **kwargs: Any) -> Any:
                return (yield from _resumed_in(self, fn(*args, **kwargs)))

        else:

            def wrapper(*args: Any, **kwargs: Any) -> Any:
                with self:
                    return fn(*args, **kwargs)

        return functools.wraps(fn)(wrapper)  # type: ignore[return-value]


def _resumed_in(mode: no_grad, inner: Any) -> Generator[Any, Any, Any]:
    """Drives a generator or a coroutine (anything with send, throw and close) step by step, each step
    inside mode, passing what it yields out and what is sent or thrown in on to it; returns its result.
    PyTorch's generator wrapper, for coroutines too."""
    try:
        with mode:
            response = inner.send(None)
        while True:
            try:
                request = yield response
            except GeneratorExit:
                with mode:
                    inner.close()
                raise
            except BaseException as e:
                with mode:
                    response = inner.throw(e)
            else:
                with mode:
                    response = inner.send(request)
    except StopIteration as e:
        return e.value


class _Resumed:
    """An awaitable over an awaitable's steps, each resumed inside a mode (see _resumed_in)."""

    def __init__(self, mode: no_grad, inner: Any) -> None:
        self._steps = _resumed_in(mode, inner)

    def __await__(self) -> Generator[Any, Any, Any]:
        return self._steps


def _async_generator_wrapper(mode: no_grad, fn: Callable[..., Any]) -> Callable[..., Any]:
    """An async generator function running fn's async generator with each resumption inside mode."""

    async def wrapper(*args: Any, **kwargs: Any) -> Any:
        inner = fn(*args, **kwargs)
        try:
            response = await _Resumed(mode, inner.asend(None))
            while True:
                try:
                    request = yield response
                except GeneratorExit:
                    await _Resumed(mode, inner.aclose())
                    raise
                except BaseException as e:
                    response = await _Resumed(mode, inner.athrow(e))
                else:
                    response = await _Resumed(mode, inner.asend(request))
        except StopAsyncIteration:
            return

    return wrapper


def config() -> dict[str, Any]:
    """What this process computes with: the instruction set each kernel family
    chose (``chosen``), the unit bf16 products use, what is refused and why
    (``refused``), and the ``MIREL_ISA`` cap in force (docs/mirel.md).
    """
    from mirel._native import _config

    return _config()


__all__ = [
    "Tensor", "Size", "tensor", "astype", "PanicException", "no_grad", "nn", "optim", "Parameters",
    "save_file", "load_file", "load_metadata", "save_checkpoint", "load_checkpoint",
    "sum", "mean", "max", "min", "argmax", "sum_to", "broadcast_to",
    "exp", "log", "tanh", "sigmoid", "sqrt", "abs", "negative", "square",
    "power", "maximum", "minimum", "where",
    "reshape", "transpose", "permute", "concatenate", "stack", "take", "tril", "triu", "random", "manual_seed",
    "detach", "from_dlpack", "is_grad_enabled", "set_grad_enabled",
    "config", "set_num_threads", "get_num_threads",
]
