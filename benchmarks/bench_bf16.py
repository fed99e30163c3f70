"""Half-precision matrix products of mirel_core beside our own f32 product and PyTorch's.

* bf16 1024x1024 and 256x256: on a CPU with AVX-512 BF16 and no AMX our bf16
  product must be at least 1.6x faster than our f32 product (time ratio
  bf16 / f32 at most 1/1.6 = 0.625); on an AMX CPU at most 1.25x PyTorch's bf16
  time. PyTorch's figures are shown when it imports.
* f16 256x256: widened to f32, so about our f32 time plus the conversions.

The CPU's bf16 units are named first. Everything runs on one thread (torch.set_num_threads(1)); medians of several
samples. OpenBLAS reads OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE at load, so run as

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_bf16.py
"""

import sys

import ml_dtypes
import numpy as np

from mirel_core import Tensor
from timing import median_times

try:
    import torch
except ImportError:
    torch = None

SAMPLES = 9
SPEEDUP_OVER_F32 = 1.6
AMX_RATIO_TO_TORCH = 1.25


def cpu_flags():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    return set()


def main():
    flags = cpu_flags()
    amx, avx512_bf16 = "amx_bf16" in flags, "avx512_bf16" in flags
    print(f"Python {sys.version.split()[0]}; CPU: {'AMX' if amx else 'AVX-512 BF16' if avx512_bf16 else 'neither'}")
    if torch is not None:
        torch.set_num_threads(1)
    rng = np.random.default_rng(0)
    for n in (256, 1024):
        a, b = rng.standard_normal((2, n, n), dtype=np.float32)
        f32 = Tensor(a), Tensor(b)
        bf = Tensor(a.astype(ml_dtypes.bfloat16), dtype="bf16"), Tensor(b.astype(ml_dtypes.bfloat16), dtype="bf16")
        fns = [lambda: f32[0] @ f32[1], lambda: bf[0] @ bf[1]]
        if torch is not None:
            ta, tb = torch.from_numpy(a).bfloat16(), torch.from_numpy(b).bfloat16()
            fns.append(lambda: ta @ tb)
        times = median_times(*fns, samples=SAMPLES)
        gf = 2 * n**3 / 1e9
        print(f"{n}x{n}: ours f32 {1e3 * times[0]:8.3f} ms ({gf / times[0]:5.1f} GF/s)   "
              f"ours bf16 {1e3 * times[1]:8.3f} ms ({gf / times[1]:5.1f} GF/s)")
        speedup = times[0] / times[1]
        verdict = ""
        if avx512_bf16 and not amx:
            verdict = f"  target >= {SPEEDUP_OVER_F32}: {'met' if speedup >= SPEEDUP_OVER_F32 else 'MISSED'}"
        print(f"    bf16 speedup over our f32: {speedup:.2f}x{verdict}")
        if torch is not None:
            ratio = times[1] / times[2]
            verdict = f"  target <= {AMX_RATIO_TO_TORCH}: {'met' if ratio <= AMX_RATIO_TO_TORCH else 'MISSED'}" if amx else ""
            print(f"    torch bf16 {1e3 * times[2]:8.3f} ms ({gf / times[2]:5.1f} GF/s); ours / torch {ratio:.2f}{verdict}")

    a, b = rng.standard_normal((2, 256, 256), dtype=np.float32)
    f32 = Tensor(a), Tensor(b)
    f16 = Tensor(a.astype(np.float16), dtype="f16"), Tensor(b.astype(np.float16), dtype="f16")
    t32, t16 = median_times(lambda: f32[0] @ f32[1], lambda: f16[0] @ f16[1], samples=SAMPLES)
    print(f"256x256 f16 (widened): {1e3 * t16:.3f} ms, {t16 / t32:.2f}x our f32 time")


if __name__ == "__main__":
    main()
