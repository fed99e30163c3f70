"""Matrix-product timings of mirel_core beside NumPy (and PyTorch when it imports).

Everything runs in one process on one thread: NumPy's BLAS is limited to one
thread with threadpoolctl, PyTorch with torch.set_num_threads(1), and mirel_core
always uses one. Each figure is the median of several samples; ratios are our
time over theirs, so below 1 means we are faster.

First the CPU's FMA peak per instruction set (a loop of independent
multiply-adds on registers alone), then every product against NumPy (target:
at most NumPy's time), then the large products on each of our kernels the CPU
runs, as a share of that kernel's peak (targets: 90% for the kernel in use,
85% for AVX2, which every one of our machines runs).

OpenBLAS reads OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE at load time; set to
values that do not match the machine they make a recent NumPy pick slow kernels.
Run with both unset:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_matmul.py

NumPy's BLAS library, with the kernel set it chose, is printed first. The training-step comparison needs PyTorch (a CPU build for
Python 3.11 on our machines); without it that part is skipped.
"""

import os
import sys
from pathlib import Path

import numpy as np
from threadpoolctl import threadpool_info, threadpool_limits

import mirel
from mirel import _native
from mirel_core import Tensor
from timing import median_times

SAMPLES = 15
PEAK_SHARE = {"in use": 0.90, "avx2": 0.85}


def fma_peaks():
    """GFLOP/s of each kernel's instruction set on registers alone: the best of several runs."""
    peaks = {}
    for kernel in _native._kernels():
        iters = 2_000_000 if kernel == "portable" else 50_000_000
        peaks[kernel] = max(_native._fma_peak(kernel, iters) for _ in range(5))
    return peaks


def print_blas_libraries():
    for lib in threadpool_info():
        if lib.get("user_api") == "blas":
            print(f"  {Path(lib['filepath']).name}: {lib.get('internal_api')} {lib.get('version')}, "
                  f"kernels {lib.get('architecture')}, {lib.get('num_threads')} thread(s)")
    for var in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        if var in os.environ:
            print(f"  warning: {var}={os.environ[var]} is set; run with it unset (see the docstring)")


def operands(shape_a, shape_b, dtype=np.float32, seed=0):
    """Random operands; a shape ending in "F" gives a column-major one."""
    rng = np.random.default_rng(seed)

    def one(shape):
        order = shape[-1] if isinstance(shape[-1], str) else "C"
        dims = shape[:-1] if order == "F" else shape
        return np.asarray(rng.standard_normal(dims).astype(dtype), order=order)

    return one(shape_a), one(shape_b)


def flops_of(a, b):
    return 2 * np.prod(np.broadcast_shapes(a.shape[:-2], b.shape[:-2]), dtype=float) * a.shape[-2] * a.shape[-1] * b.shape[-1]


def bench_products():
    cases = [  # name, shape of A, shape of B
        ("64x64", (64, 64), (64, 64)),
        ("256x256", (256, 256), (256, 256)),
        ("1024x1024", (1024, 1024), (1024, 1024)),
        ("[64,64,64]@[64,64,64]", (64, 64, 64), (64, 64, 64)),
        ("[512,8,8]@[512,8,8]", (512, 8, 8), (512, 8, 8)),
        ("[32,64,256]@[256,64]", (32, 64, 256), (256, 64)),
        # The shapes of a training step's products; "col" operands are stored column by
        # column (both libraries read them in place), as x @ w.T and x.T @ g read theirs.
        ("[256,784]@[784,256]", (256, 784), (784, 256)),
        ("[784,256]col@[256,256]", (784, 256, "F"), (256, 256)),
        ("[256,256]@[256,256]col", (256, 256), (256, 256, "F")),
        # A single row or column, and tall-skinny operands.
        ("[1,64]@[64,300]", (1, 64), (64, 300)),
        ("[1,784]@[784,256]", (1, 784), (784, 256)),
        ("[256,784]@[784,1]", (256, 784), (784, 1)),
        ("[4096,64]@[64,64]", (4096, 64), (64, 64)),
        ("[64,4096]@[4096,64]", (64, 4096), (4096, 64)),
    ]
    print(f"\nfloat32 products against NumPy (median of {SAMPLES}; target: ratio <= 1.0)")
    print(f"  {'case':24} {'ours ms':>9} {'numpy ms':>9} {'ours GF/s':>10} {'numpy GF/s':>11} {'ratio':>7}")
    for name, sa, sb in cases:
        a, b = operands(sa, sb)
        ta, tb = Tensor(a), Tensor(b)
        ours, theirs = median_times(lambda: ta @ tb, lambda: a @ b)
        flops = flops_of(a, b)
        ratio = ours / theirs
        print(f"  {name:24} {1e3 * ours:9.3f} {1e3 * theirs:9.3f} {flops / ours / 1e9:10.1f} "
              f"{flops / theirs / 1e9:11.1f} {ratio:7.3f}  {'ok' if ratio <= 1.0 else 'MISSED'}")


def bench_kernels(peaks):
    print(f"\neach kernel on the large products, as a share of its FMA peak (median of {SAMPLES})")
    kernels = [k for k in _native._kernels() if k != "portable"]
    for name, sa, sb in [("256x256", (256, 256), (256, 256)), ("1024x1024", (1024, 1024), (1024, 1024)),
                         ("[256,784]@[784,256]", (256, 784), (784, 256))]:
        a, b = operands(sa, sb)
        ta, tb = Tensor(a), Tensor(b)
        times = median_times(*[lambda k=k: _native._matmul_on(k, ta, tb) for k in kernels])
        for i, (kernel, t) in enumerate(zip(kernels, times)):
            gflops = flops_of(a, b) / t / 1e9
            share = gflops / peaks[kernel]
            target = PEAK_SHARE["in use"] if i == 0 else PEAK_SHARE.get(kernel)
            verdict = "" if target is None else f">= {target:.2f} {'ok' if share >= target else 'MISSED'}"
            print(f"  {name:24} {kernel:8} {gflops:7.1f} GF/s  {share:6.1%} of peak  {verdict}")


def bench_half():
    a, b = operands((256, 256), (256, 256))
    a16, b16 = a.astype(np.float16), b.astype(np.float16)
    t16a, t16b = Tensor(a16, dtype="float16"), Tensor(b16, dtype="float16")
    t32a, t32b = Tensor(a), Tensor(b)
    ours16, ours32, numpy16 = median_times(lambda: t16a @ t16b, lambda: t32a @ t32b, lambda: a16 @ b16, samples=5)
    flops = 2 * 256**3
    print("\nfloat16 256x256 (median of 5; NumPy has no BLAS path for float16)")
    print(f"  ours f16   {1e3 * ours16:9.3f} ms {flops / ours16 / 1e9:7.1f} GF/s")
    print(f"  ours f32   {1e3 * ours32:9.3f} ms {flops / ours32 / 1e9:7.1f} GF/s   ours f16 / ours f32: {ours16 / ours32:.3f}")
    print(f"  numpy f16  {1e3 * numpy16:9.3f} ms {flops / numpy16 / 1e9:7.1f} GF/s   ours f16 / numpy f16: {ours16 / numpy16:.4f}")


def load_demo():
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
    import demo

    return demo


def bench_training_step():
    print("\ndemo training step (400 points, 2 -> 64 -> 2, full batch)")
    try:
        import torch
    except ImportError:
        print("  skipped: PyTorch is not importable in this interpreter")
        return
    torch.set_num_threads(1)
    demo = load_demo()
    points, labels = demo.make_spirals(200)
    targets_np = np.eye(2, dtype=np.float32)[labels]

    x, targets = Tensor(points), Tensor(targets_np)
    optimizer = mirel.optim.SGD(mirel.Parameters(demo.init_params()), lr=demo.LEARNING_RATE)

    tx, ty = torch.from_numpy(points), torch.from_numpy(targets_np)
    tparams = {name: torch.tensor(value, requires_grad=True) for name, value in demo.init_params().items()}
    lr, n = demo.LEARNING_RATE, points.shape[0]

    def torch_step():
        p = tparams
        out = torch.relu(tx @ p["w1"] + p["b1"]) @ p["w2"] + p["b2"]
        err = out - ty
        per_sample = err * err * (1.0 / n)
        per_sample.backward(torch.ones_like(per_sample))  # the same seed as ours
        with torch.no_grad():
            for t in p.values():
                t -= lr * t.grad
                t.grad = None
        return float(per_sample.detach().sum()), out.detach().numpy()

    ours, theirs = median_times(lambda: demo.train_step(x, targets, optimizer), torch_step)
    print(f"  ours {1e3 * ours:.3f} ms, torch {1e3 * theirs:.3f} ms, ratio {ours / theirs:.3f}  "
          f"target <= 1.0 {'ok' if ours <= theirs else 'MISSED'}")


def main():
    mirel.set_num_threads(1)  # one thread, as the peers (bench_threads.py compares thread counts)
    with threadpool_limits(limits=1, user_api="blas"):
        print("NumPy's BLAS in this process:")
        print_blas_libraries()
        peaks = fma_peaks()
        print("our kernels (the one in use first), FMA peak on registers alone:")
        for kernel, peak in peaks.items():
            print(f"  {kernel:8} {peak:7.1f} GFLOP/s")
        bench_products()
        bench_kernels(peaks)
        bench_half()
        bench_training_step()


if __name__ == "__main__":
    main()
