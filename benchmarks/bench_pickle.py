"""Pickle round trips of a Tensor beside the same round trip of a NumPy array.

Protocol 5 in-band (what pickle.dumps gives), for 1 element (per-call overhead)
and 1,000,000 elements (copying), f32 and bf16, row- and column-major. Each
figure is the median of several samples; ratios are ours over NumPy's.

What to expect: less per-call overhead than NumPy for small tensors. For large
ones, dumps costs what NumPy's does (both write the elements straight into the
stream as a PickleBuffer), but loads copies them out of the stream's bytes into
a storage of our own, where NumPy's array is a view of those bytes. On a loaded
machine the large figures also swing with the heap: blocks of megabytes go back
to the system when freed and fault in again on the next use.

    .venv/py3.13/bin/python benchmarks/bench_pickle.py
"""

import pickle

import ml_dtypes
import numpy as np

from mirel_core import Tensor
from timing import median_times

def round_trip(x):
    return lambda: pickle.loads(pickle.dumps(x, protocol=5))


def main():
    print(f"{'case':<22} {'ours':>10} {'numpy':>10} {'ratio':>7}  (medians)")
    for n in (1, 1_000_000):
        for dtype, np_dtype in (("f32", np.float32), ("bf16", ml_dtypes.bfloat16)):
            for order in ("C", "F"):
                a = np.asarray(np.arange(n, dtype=np.float32).reshape(-1, 1000 if n > 1 else 1), np_dtype)
                t = Tensor(a, dtype=dtype)
                if order == "F":
                    a, t = a.T.copy(order="F"), t.transpose(0, 1)
                ours, theirs = median_times(round_trip(t), round_trip(a))
                unit, scale = ("us", 1e6) if n == 1 else ("ms", 1e3)
                print(f"{f'{n} {dtype} {order}':<22} {ours * scale:>8.2f}{unit} {theirs * scale:>8.2f}{unit} "
                      f"{ours / theirs:>6.2f}x", flush=True)


if __name__ == "__main__":
    main()
