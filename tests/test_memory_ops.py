"""Results own their memory, and repeated operations leave nothing behind."""

import gc
import os
import sys

import numpy as np

from mirel_core import Tensor
from mirel_core import nn

relu = nn.functional.relu  # the submodules are attributes, not importable packages


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def operands():
    a = Tensor(np.linspace(-1, 1, 256, dtype=np.float32))
    b = Tensor(np.linspace(2, 3, 256, dtype=np.float32))
    flags = Tensor(np.arange(256) % 3 == 0, dtype="bool")
    return a, b, flags


def sixteen_calls(a, b, flags, text):
    """Sixteen calls: operators (two failing), a tracked product, its backward pass and a tape clear."""
    a + b, a * b, a < b, a + 1.0, 2.0 / a, a != 0.5, a.reshape([16, 16]).transpose(0, 1), relu(a), flags & ~flags
    try:
        a + flags
    except ValueError:
        pass
    try:
        a + text
    except TypeError:
        pass
    (Tensor(b.to_numpy(), requires_grad=True) * b).backward()
    Tensor.clear_graph()


def test_resident_memory_stays_flat_over_many_operator_calls():
    args = (*operands(), "text")
    for _ in range(1000):  # warm-up: allocator pools, NumPy's API table, the tape
        sixteen_calls(*args)
    gc.collect()
    before = resident_bytes()
    for _ in range(7000):  # 112,000 calls; a leaked 1 KB result per round would show as 7 MB, per call as 100 MB
        sixteen_calls(*args)
    gc.collect()
    assert resident_bytes() - before < 4 * 2**20


def test_operator_calls_leave_reference_counts_unchanged():
    a, b, flags = operands()
    text, number = "".join(["te", "xt"]), float("0.5")  # neither interned nor immortal
    watched = (a, b, flags, text, number)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(100):
        sixteen_calls(a, b, flags, text)
        a * number, number / a, a == text, a.__req__(number)
    assert [sys.getrefcount(o) for o in watched] == before


def test_results_are_new_objects_that_outlive_their_operands():
    source = np.arange(6, dtype=np.float32).reshape(2, 3)
    t = Tensor(source)
    source[0, 0] = 100.0  # construction copied
    results = [t + 0.0, t * 1.0, t.reshape([2, 3]), t.transpose(0, 0), t.transpose(0, 1), relu(t), t + t.zeros_like()]
    assert all(r is not t for r in results)
    assert len({id(r) for r in results}) == len(results)
    del t
    gc.collect()
    for r in results:
        assert sorted(r.to_numpy().ravel().tolist()) == [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]
