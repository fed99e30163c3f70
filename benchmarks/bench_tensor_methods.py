"""mirel.Tensor's PyTorch habits per call, on 16 elements, against NumPy and PyTorch (when importable).

Run from anywhere, with the installed package:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_tensor_methods.py

The first table times -x, x ** 2, x[0], x.sum() and x.item() on a [4, 4] f32
tensor against the same on a NumPy array and a PyTorch tensor; the second, a
16-element add of two mirel.Tensors against the same add on mirel_core.Tensors
(the subclass must cost nothing per operation: target <= 1.10).
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import mirel  # noqa: E402
import mirel_core  # noqa: E402
from timing import print_ratio_table  # noqa: E402

try:
    import torch

    torch.set_num_threads(1)
except ImportError:  # the PyTorch rows are left out
    torch = None

HABITS = [
    ("-x", "-x"),
    ("x ** 2", "x ** 2"),
    ("x[0]", "x[0]"),
    ("x.sum()", "x.sum()"),
    ("x.item() of one element", "one.item()"),
]


def main():
    mirel.set_num_threads(1)  # one thread, as the peers (bench_threads.py compares thread counts)
    a = np.arange(16, dtype=np.float32).reshape(4, 4)
    ours = {"x": mirel.tensor(a), "one": mirel.tensor(a[:1, :1])}
    numpy_names = {"x": a, "one": a[:1, :1]}
    cases = [(f"{name} vs NumPy", (stmt, ours), (stmt, numpy_names), "NumPy", 0.5) for name, stmt in HABITS]
    if torch is not None:
        torch_names = {"x": torch.from_numpy(a.copy()), "one": torch.from_numpy(a[:1, :1].copy())}
        cases += [(f"{name} vs PyTorch", (stmt, ours), (stmt, torch_names), "PyTorch", 0.2) for name, stmt in HABITS]
    missed = print_ratio_table(cases)
    print()
    core = {"a": mirel_core.Tensor(a), "b": mirel_core.Tensor(a)}
    package = {"a": mirel.tensor(a), "b": mirel.tensor(a)}
    missed += print_ratio_table([("add, mirel.Tensor vs core", ("a + b", package), ("a + b", core), "core", 1.10)])
    return missed


if __name__ == "__main__":
    main()
