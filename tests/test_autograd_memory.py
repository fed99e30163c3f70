"""The tape gives back what it holds: clear_graph() and thread exit release nodes and gradients."""
import gc
import os
import threading

import numpy as np
import pytest

from mirel_core import Tensor
from mirel_core import nn

relu = nn.functional.relu  # the submodules are attributes, not importable packages

PAGE = os.sysconf("SC_PAGE_SIZE")
SLACK = 1 << 20  # one leaked 100-byte node per step would add ~1 MiB


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def train_step(x, w1, b1, target, dtype):
    w = Tensor(w1, dtype=dtype, requires_grad=True)
    b = Tensor(b1, dtype=dtype, requires_grad=True)
    h = relu(Tensor(x, dtype=dtype) * w + b)
    err = (h * 0.5 - Tensor(target, dtype=dtype)) / 2.0
    (err * err).backward()
    grads = w.grad(), b.grad(), h.grad()
    Tensor.clear_graph()
    return grads


@pytest.mark.parametrize("dtype", ["f32", "bf16"])
def test_rss_stays_flat_over_many_passes(dtype):
    rng = np.random.default_rng(0)
    x, target = rng.standard_normal((2, 16, 32), dtype=np.float32)
    w1, b1 = rng.standard_normal((2, 32), dtype=np.float32)
    for _ in range(1000):
        train_step(x, w1, b1, target, dtype)
    gc.collect()
    before = rss()
    for _ in range(10_000):
        train_step(x, w1, b1, target, dtype)
    gc.collect()
    assert rss() - before < SLACK


def test_thread_exit_releases_its_tape():
    big = np.ones(1 << 16, np.float32)  # 256 KiB

    def body():
        t = Tensor(big, requires_grad=True)
        (t * 2.0 + t).backward()  # left on the tape: no clear_graph()

    def run(n):
        for _ in range(n):
            th = threading.Thread(target=body)
            th.start()
            th.join()

    run(20)
    gc.collect()
    before = rss()
    run(200)
    gc.collect()
    assert rss() - before < 8 * SLACK  # a kept tape would hold ~1.5 MiB per thread


GROWING_LOOP = """
import warnings, numpy as np
from mirel_core import Tensor
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    for step in range(3):
        x = Tensor(np.ones(2, np.float32), requires_grad=True)
        for _ in range(8000):
            x = x * 1.0
        if CLEAR:
            Tensor.clear_graph()
print(sum(issubclass(w.category, ResourceWarning) and "Tensor.clear_graph()" in str(w.message) for w in caught))
"""


@pytest.mark.parametrize("clear,warnings", [(False, 1), (True, 0)])
def test_a_tape_that_is_never_cleared_warns_once(clear, warnings):
    import subprocess
    import sys
    code = f"CLEAR = {clear}\n" + GROWING_LOOP
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == str(warnings)
