"""Half-precision matrix products of mirel_core beside our own f32 product and PyTorch's.

* bf16 256x256, 1024x1024 and [256,784]@[784,256]: never slower than our own f32
  product (time ratio bf16 / f32 at most 1.0), whatever the CPU. On an AMX CPU
  also 1.5 TFLOP/s or more and at most 0.8x PyTorch's bf16 time for the two
  large ones, at most 1.0x for 256x256.
* f16 256x256: widened to f32, so about our f32 time plus the conversions.

The CPU's bf16 units, and the one our products use, are named first. Everything runs on one thread
(torch.set_num_threads(1)); medians of several samples. PyTorch's figures are
shown when it imports. NumPy's OpenBLAS reads OPENBLAS_CORETYPE and
OPENBLAS_L2_SIZE at load, so run as

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_bf16.py
"""

import sys

import ml_dtypes
import numpy as np

from mirel import _native
from mirel_core import Tensor
from timing import median_times

try:
    import torch
except ImportError:
    torch = None

SAMPLES = 9
AMX_TFLOPS = 1.5
AMX_RATIO_TO_TORCH = {"256x256": 1.0, "1024x1024": 0.8, "[256,784]@[784,256]": 0.8}


def cpu_flags():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    return set()


def main():
    _native.set_num_threads(1)  # one thread, as the peers (bench_threads.py compares thread counts)
    flags = cpu_flags()
    unit = _native._bf16_unit()  # what our products use, which a load-time probe may narrow
    amx = unit == "amx"
    print(f"Python {sys.version.split()[0]}; the CPU has: "
          f"{', '.join(f for f in ('amx_bf16', 'avx512_bf16') if f in flags) or 'no bf16 unit'}; "
          f"our bf16 products use: {unit}")
    if torch is not None:
        torch.set_num_threads(1)
    rng = np.random.default_rng(0)
    for name, (m, k, n) in {"256x256": (256, 256, 256), "1024x1024": (1024, 1024, 1024),
                            "[256,784]@[784,256]": (256, 784, 256)}.items():
        a, b = rng.standard_normal((m, k), dtype=np.float32), rng.standard_normal((k, n), dtype=np.float32)
        f32 = Tensor(a), Tensor(b)
        bf = Tensor(a.astype(ml_dtypes.bfloat16), dtype="bf16"), Tensor(b.astype(ml_dtypes.bfloat16), dtype="bf16")
        fns = [lambda: f32[0] @ f32[1], lambda: bf[0] @ bf[1]]
        if torch is not None:
            ta, tb = torch.from_numpy(a).bfloat16(), torch.from_numpy(b).bfloat16()
            fns.append(lambda: ta @ tb)
        times = median_times(*fns, samples=SAMPLES)
        gf = 2 * m * k * n / 1e9
        print(f"{name}: ours f32 {1e3 * times[0]:8.3f} ms ({gf / times[0]:6.1f} GF/s)   "
              f"ours bf16 {1e3 * times[1]:8.3f} ms ({gf / times[1]:6.1f} GF/s)")
        ratio = times[1] / times[0]
        print(f"    bf16 / our f32 time: {ratio:.2f}  target <= 1.0: {'met' if ratio <= 1.0 else 'MISSED'}")
        if amx and name != "256x256":
            tflops = gf / times[1] / 1e3
            print(f"    bf16 {tflops:.2f} TFLOP/s  target >= {AMX_TFLOPS}: {'met' if tflops >= AMX_TFLOPS else 'MISSED'}")
        if torch is not None:
            ratio = times[1] / times[2]
            target = AMX_RATIO_TO_TORCH[name]
            verdict = f"  target <= {target}: {'met' if ratio <= target else 'MISSED'}" if amx else ""
            print(f"    torch bf16 {1e3 * times[2]:8.3f} ms ({gf / times[2]:6.1f} GF/s); ours / torch {ratio:.2f}{verdict}")

    a, b = rng.standard_normal((2, 256, 256), dtype=np.float32)
    f32 = Tensor(a), Tensor(b)
    f16 = Tensor(a.astype(np.float16), dtype="f16"), Tensor(b.astype(np.float16), dtype="f16")
    t32, t16 = median_times(lambda: f32[0] @ f32[1], lambda: f16[0] @ f16[1], samples=SAMPLES)
    print(f"256x256 f16 (widened): {1e3 * t16:.3f} ms, {t16 / t32:.2f}x our f32 time")


if __name__ == "__main__":
    main()
