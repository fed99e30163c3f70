"""Our elementwise operators against NumPy's, timed side by side in one process.

Run from anywhere, with the installed module:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_elementwise.py

Each case is timed with timeit (loop count from autorange, median of several
repeats). The table gives both medians, the ratio ours / reference and the target
ratio; a ratio above its target is flagged. The half-type rows compare against our
own float32 addition; NumPy's float16 and ml_dtypes' bfloat16 rows are for information.
"""

import statistics
import sys
import timeit

import ml_dtypes
import numpy as np

from mirel_core import Tensor

REPEAT = 7


def median_seconds(fn):
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    return statistics.median(t / number for t in timer.repeat(REPEAT, number))


def data(shape, seed):
    return np.random.default_rng(seed).standard_normal(shape).astype(np.float32)


def cases():
    one_a, one_b = data((1,), 0), data((1,), 1)
    big_a, big_b = data((1_000_000,), 2), data((1_000_000,), 3)
    mat, row = data((1000, 1000), 4), data((1000,), 5)
    mat_b = data((1000, 1000), 6)
    t = {name: Tensor(x) for name, x in [("one_a", one_a), ("one_b", one_b), ("big_a", big_a), ("big_b", big_b),
                                          ("mat", mat), ("row", row)]}
    col_a, col_b = Tensor(mat.T.copy()).transpose(0, 1), Tensor(mat_b.T.copy()).transpose(0, 1)
    np_col_a, np_col_b = np.asfortranarray(mat), np.asfortranarray(mat_b)
    half = {dt: (Tensor(big_a, dtype=dt), Tensor(big_b, dtype=dt)) for dt in ("f16", "bf16")}
    np_half = {dt: (big_a.astype(ty), big_b.astype(ty)) for dt, ty in (("f16", np.float16), ("bf16", ml_dtypes.bfloat16))}
    f32_add = lambda: t["big_a"] + t["big_b"]  # noqa: E731

    # (name, ours, reference, reference label, target or None)
    yield "a + b, 1 element f32", lambda: t["one_a"] + t["one_b"], lambda: one_a + one_b, "numpy", 0.7
    yield "a + b, 1M f32", f32_add, lambda: big_a + big_b, "numpy", 1.0
    yield "a * b, 1M f32", lambda: t["big_a"] * t["big_b"], lambda: big_a * big_b, "numpy", 1.0
    yield "a < b, 1M f32", lambda: t["big_a"] < t["big_b"], lambda: big_a < big_b, "numpy", 1.0
    yield "[1000,1000] + [1000]", lambda: t["mat"] + t["row"], lambda: mat + row, "numpy", 1.0
    yield "column-major + column-major", lambda: col_a + col_b, lambda: np_col_a + np_col_b, "numpy", 1.2
    for dt in ("f16", "bf16"):
        a, b = half[dt]
        yield f"a + b, 1M {dt}", lambda a=a, b=b: a + b, f32_add, "ours f32", 1.5
    for dt, label in (("f16", "numpy f16"), ("bf16", "ml_dtypes")):
        (a, b), (x, y) = half[dt], np_half[dt]
        yield f"a + b, 1M {dt}", lambda a=a, b=b: a + b, lambda x=x, y=y: x + y, label, None


def main():
    print(f"mirel_core elementwise benchmark, median of {REPEAT} repeats (python {sys.version.split()[0]}, "
          f"numpy {np.__version__})")
    print(f"{'case':30} {'ours':>11} {'reference':>11}  {'ref':10} {'ratio':>6} {'target':>7}")
    missed = 0
    for name, ours, ref, label, target in cases():
        a, b = median_seconds(ours), median_seconds(ref)
        ratio = a / b
        flag = ""
        if target is not None and ratio > target:
            flag, missed = "  MISSED", missed + 1
        target_text = f"<={target}" if target is not None else "info"
        print(f"{name:30} {a * 1e6:9.2f}us {b * 1e6:9.2f}us  {label:10} {ratio:6.2f} {target_text:>7}{flag}")
    print(f"{missed} target(s) missed")


if __name__ == "__main__":
    main()
