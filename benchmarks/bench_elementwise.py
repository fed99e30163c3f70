"""Our elementwise operators against NumPy's, timed side by side in one process.

Run from anywhere, with the installed module:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_elementwise.py

Each case times one statement with timeit (loop count from autorange, median of
several repeats, ours and the reference's taken in turn), so no Python call wraps
the operator. The table gives both medians, the ratio ours / reference and the
target ratio; a ratio above its target is flagged. With PyTorch importable (one
thread), the transposed case is also timed against it. The half-type rows compare against our own float32 addition; NumPy's
float16 and ml_dtypes' bfloat16 rows are for information.
"""

import sys

import ml_dtypes
import numpy as np

from mirel_core import Tensor
from timing import REPEAT, print_ratio_table

try:
    import torch
except ImportError:  # the PyTorch row is left out
    torch = None


def data(shape, seed):
    return np.random.default_rng(seed).standard_normal(shape).astype(np.float32)


def cases():
    """(name, (statement, names) timed for us, the same for the reference, reference label, target or None)."""
    one = data((1,), 0), data((1,), 1)
    big = data((1_000_000,), 2), data((1_000_000,), 3)
    mat, row = data((1000, 1000), 4), data((1000,), 5)
    mat_b = data((1000, 1000), 6)
    ours = lambda x, y: {"a": Tensor(x), "b": Tensor(y)}  # noqa: E731
    theirs = lambda x, y: {"a": x, "b": y}  # noqa: E731
    columns = {"a": Tensor(mat.T.copy()).transpose(0, 1), "b": Tensor(mat_b.T.copy()).transpose(0, 1)}
    f32 = ("a + b", ours(*big))

    yield "a + b, 1 element f32", ("a + b", ours(*one)), ("a + b", theirs(*one)), "numpy", 0.7
    for op in "+*<":
        yield f"a {op} b, 1M f32", (f"a {op} b", ours(*big)), (f"a {op} b", theirs(*big)), "numpy", 1.0
    yield "a < 0.5, 1M f32", ("a < 0.5", ours(*big)), ("a < 0.5", theirs(*big)), "numpy", 1.0
    bools = big[0] > 0
    yield "~p, 1M bool", ("~p", {"p": Tensor(bools, dtype="bool")}), ("~p", {"p": bools}), "numpy", 1.0
    transposed = {"a": Tensor(mat).transpose(0, 1), "b": Tensor(mat_b)}  # a is column-major, as NumPy's a.T
    yield "a.T + b, [1000,1000]", ("a + b", transposed), ("a.T + b", theirs(mat, mat_b)), "numpy", 1.0
    if torch is not None:
        pair = {"a": torch.from_numpy(mat), "b": torch.from_numpy(mat_b)}
        yield "a.T + b, [1000,1000]", ("a + b", transposed), ("a.T + b", pair), "pytorch", 1.0
    small = data((16,), 7)
    yield "reshape of 16 elements", ("a.reshape([4, 4])", {"a": Tensor(small)}), ("a.reshape([4, 4])", {"a": small}), \
        "numpy", 1.1
    yield "[1000,1000] + [1000]", ("a + b", ours(mat, row)), ("a + b", theirs(mat, row)), "numpy", 1.0
    yield "column-major + column-major", ("a + b", columns), ("a + b", theirs(mat.T, mat_b.T)), "numpy", 1.2
    for dt in ("f16", "bf16"):
        yield f"a + b, 1M {dt}", ("a + b", {"a": Tensor(big[0], dtype=dt), "b": Tensor(big[1], dtype=dt)}), f32, \
            "ours f32", 1.5
    for dt, np_type, label in (("f16", np.float16, "numpy f16"), ("bf16", ml_dtypes.bfloat16, "ml_dtypes")):
        yield f"a + b, 1M {dt}", ("a + b", {"a": Tensor(big[0], dtype=dt), "b": Tensor(big[1], dtype=dt)}), \
            ("a + b", theirs(big[0].astype(np_type), big[1].astype(np_type))), label, None


def main():
    if torch is not None:
        torch.set_num_threads(1)
    print(f"mirel_core elementwise benchmark, median of {REPEAT} repeats (python {sys.version.split()[0]}, "
          f"numpy {np.__version__})")
    print_ratio_table(cases(), width=30)


if __name__ == "__main__":
    main()
