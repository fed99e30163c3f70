"""Construction from NumPy and export back, against NumPy's own copies.

Run from anywhere, with the installed module:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_construct.py

`Tensor(x)` hands x to numpy.array and copies the result once more, so its reference
is `numpy.array(x, dtype="float32").copy()` (target ratio 1.3); `to_numpy()` copies
once, so its reference is `x.copy()` (target 1.1). Each statement is timed with
timeit (loop count from autorange, median of several repeats, ours and NumPy's
taken in turn).
"""

import sys

import numpy as np

from mirel_core import Tensor
from timing import REPEAT, median_seconds_side_by_side


def cases():
    for n in (1, 1_000_000):
        x = np.random.default_rng(n).standard_normal(n).astype(np.float32)
        names = {"Tensor": Tensor, "np": np, "x": x, "t": Tensor(x)}
        yield f"Tensor(x), {n:,} f32", "Tensor(x)", 'np.array(x, dtype="float32").copy()', names, 1.3
        yield f"t.to_numpy(), {n:,} f32", "t.to_numpy()", "x.copy()", names, 1.1


def main():
    print(f"mirel_core construction benchmark, median of {REPEAT} repeats (python {sys.version.split()[0]}, "
          f"numpy {np.__version__})")
    print(f"{'case':28} {'ours':>11} {'numpy':>11} {'ratio':>6} {'target':>7}")
    missed = 0
    for name, ours, ref, names, target in cases():
        a, b = median_seconds_side_by_side((ours, names), (ref, names))
        flag = ""
        if a / b > target:
            flag, missed = "  MISSED", missed + 1
        print(f"{name:28} {a * 1e6:9.2f}us {b * 1e6:9.2f}us {a / b:6.2f} {'<=' + str(target):>7}{flag}")
    print(f"{missed} target(s) missed")


if __name__ == "__main__":
    main()
