"""Constant operands: their gradients are never computed or kept, and nothing else changes."""
import operator
import os
import re
import subprocess
import sys
import textwrap

import ml_dtypes
import numpy as np
import pytest

from mirel_core import Tensor

NP_TYPES = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}


@pytest.fixture(autouse=True)
def fresh_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


def values(shape, dtype, seed):
    rng = np.random.default_rng(seed)
    v = rng.choice([-1, 1], shape) * rng.uniform(0.5, 2.0, shape)  # away from 0: the divisor too
    return v.astype(NP_TYPES[dtype])


def make(v, dtype, requires_grad):
    return Tensor(v, dtype=dtype, requires_grad=requires_grad)


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
@pytest.mark.parametrize("constant", ["lhs", "rhs"])
@pytest.mark.parametrize("op, lhs_shape, rhs_shape", [
    (operator.add, (2, 3), (3,)),
    (operator.sub, (3,), (2, 3)),
    (operator.mul, (2, 1, 3), (4, 3)),
    (operator.truediv, (2, 3), (2, 3)),
    (operator.matmul, (2, 3), (3, 4)),
    (operator.matmul, (2, 5, 3), (3, 4)),
    (operator.matmul, (5, 3), (2, 3, 4)),
])
def test_tracked_gradient_keeps_its_bits_beside_a_constant(op, lhs_shape, rhs_shape, constant, dtype):
    a, b = values(lhs_shape, dtype, 1), values(rhs_shape, dtype, 2)
    both = make(a, dtype, True), make(b, dtype, True)
    (op(*both) * 1.5).backward()
    reference = [t.grad() for t in both]

    Tensor.clear_graph()
    ta, tb = make(a, dtype, constant != "lhs"), make(b, dtype, constant != "rhs")
    out = op(ta, tb) * 1.5
    out.backward()
    kept = tb if constant == "lhs" else ta
    assert same_bits(kept.grad(), reference[1 if constant == "lhs" else 0])
    assert (ta if constant == "lhs" else tb).grad() is None
    assert out.grad() is not None


# A product P = A @ B added to a larger tensor sends back a gradient larger than P,
# so one or both gradient products fail. "fails" names the products that fail:
# the gradient of A (g @ B^T) is formed first, then that of B (A^T @ g).
MATMUL_FAILURES = [
    pytest.param((1, 2), (2, 3), (5, 3), "B", "Matrix inner dimensions mismatch for matmul: 1 vs 5", id="B-fails"),
    pytest.param((2, 3), (3, 1), (2, 4), "A", "Matrix inner dimensions mismatch for matmul: 4 vs 1", id="A-fails"),
    pytest.param((1, 2), (2, 1), (5, 4), "AB", "Matrix inner dimensions mismatch for matmul: 4 vs 1", id="both-fail"),
    pytest.param((2, 1, 2, 3), (3, 3, 4), (2, 3, 2, 4), "", None, id="none-fails"),
    pytest.param((2, 3), (2, 3, 1), (2, 2, 4), "A", "Matrix inner dimensions mismatch for matmul: 4 vs 1",
                 id="A-fails-batched"),
]


@pytest.mark.parametrize("dtype", ["f32", "bf16"])
@pytest.mark.parametrize("constant", ["A", "B"])
@pytest.mark.parametrize("a_shape, b_shape, other_shape, fails, message", MATMUL_FAILURES)
def test_constant_gradient_errors_are_still_raised(a_shape, b_shape, other_shape, fails, message, constant, dtype):
    a, b = values(a_shape, dtype, 3), values(b_shape, dtype, 4)
    other = make(values(other_shape, dtype, 5), dtype, False)
    ta, tb = make(a, dtype, constant != "A"), make(b, dtype, constant != "B")
    tracked = tb if constant == "A" else ta
    root = (ta @ tb) + other
    if not fails:
        root.backward()
        assert tracked.grad() is not None
        return
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        root.backward()
    assert tracked.grad() is None  # a failed pass stores nothing


@pytest.mark.parametrize("dtype, itemsize", [("f32", 4), ("bf16", 2)])
def test_no_gradient_storage_is_kept_for_a_constant(dtype, itemsize):
    # x is a 4096 x 2048 constant; its gradient would be as large. The readable gradients
    # (w's and the product's) are a few KiB. A fixed mmap threshold makes every large
    # buffer its own mapping, so the resident size follows what is alive.
    code = f"""
        import os, numpy as np, ml_dtypes
        from mirel_core import Tensor
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        np_type = {{"f32": np.float32, "bf16": ml_dtypes.bfloat16}}["{dtype}"]
        x = Tensor(np.ones((4096, 2048), np_type), dtype="{dtype}")
        w = Tensor(np.full((2048, 1), 0.5, np_type), dtype="{dtype}", requires_grad=True)
        y = x @ w
        before = rss()
        y.backward()
        assert w.grad().shape == (2048, 1)
        print(rss() - before)
    """
    flags = ["-P"] if sys.flags.safe_path else []
    proc = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, env={**os.environ, "MALLOC_MMAP_THRESHOLD_": "131072"})
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 4096 * 2048 * itemsize // 4
