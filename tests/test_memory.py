"""Reference and buffer leaks: resident memory stays flat over many calls, on success and error paths."""
import os

import numpy as np
import pytest

from mirel_core import Tensor

PAGE = os.sysconf("SC_PAGE_SIZE")
CALLS = 100_000
SLACK = 4 << 20  # a leak of even 64 bytes per call would show as 6 MB


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def growth(step, calls=CALLS):
    for _ in range(calls // 10):  # warm up allocator pools and caches
        step()
    before = rss()
    for _ in range(calls):
        step()
    return rss() - before


def swallow(fn, *errors):
    def step():
        try:
            fn()
        except errors:
            pass

    return step


@pytest.fixture(autouse=True)
def clean_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


SRC = np.arange(16, dtype=np.float32).reshape(4, 4)
T = Tensor(SRC)

STEPS = {
    "construct-list": lambda: Tensor([1.0, 2.0, 3.0]),
    "construct-array-bf16": lambda: Tensor(SRC, dtype="bf16"),
    "construct-fortran": lambda: Tensor(SRC.T, dtype="f16"),
    "to_numpy": lambda: T.to_numpy(),
    "to_numpy-fortran": lambda: T.transpose(0, 1).to_numpy(),
    "properties": lambda: (T.shape, T.strides, T.dtype, T.device, T.ndim, T.requires_grad),
    "operators": lambda: ((T + 1.0) * T, 2.0 / T, T == T, T != 3.0),
    "reshape": lambda: T.reshape((2, 8)),
    "not-implemented": swallow(lambda: T + "a", TypeError),
    "bad-device": swallow(lambda: Tensor([1.0], device="gpu"), ValueError),
    "bad-dtype": swallow(lambda: Tensor([1.0], dtype=np.float64), ValueError),
    "binding": swallow(lambda: Tensor([1.0], foo=1), TypeError),
    "noted-conversion": swallow(lambda: T.reshape([1, -1]), OverflowError),
    "numpy-error": swallow(lambda: Tensor([[1.0], [1.0, 2.0]]), ValueError),
    "operation-error": swallow(lambda: T + Tensor([1.0, 2.0]), RuntimeError, ValueError),
}


@pytest.mark.parametrize("name", list(STEPS))
def test_memory_stays_flat(name):
    assert growth(STEPS[name]) < SLACK


def test_memory_stays_flat_reading_gradients():
    x = Tensor([1.0, 2.0, 3.0], requires_grad=True)
    (x * 2.0).backward()
    assert x.grad() is not None
    assert growth(x.grad) < SLACK
