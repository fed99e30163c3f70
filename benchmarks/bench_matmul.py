"""Matrix-product timings of mirel_core beside NumPy (and PyTorch when it imports).

Everything runs in one process on one thread: NumPy's BLAS is limited to one
thread with threadpoolctl, PyTorch with torch.set_num_threads(1), and mirel_core
always uses one. Each figure is the median of several samples; ratios are our
time over theirs, so below 1 means we are faster.

OpenBLAS reads OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE at load time; set to
values that do not match the machine they make a recent NumPy pick slow kernels.
Run with both unset:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_matmul.py

The BLAS libraries found in the process, with the kernel set each one chose,
are printed first. The training-step comparison needs PyTorch (a CPU build for
Python 3.11 on our machines); without it that part is skipped.
"""

import os
import sys
from pathlib import Path

import numpy as np
from threadpoolctl import threadpool_info, threadpool_limits

import mirel
from mirel_core import Tensor
from timing import median_times

SAMPLES = 15


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


def bench_products():
    cases = [  # name, shape of A, shape of B, our target (time ratio against NumPy)
        ("64x64", (64, 64), (64, 64), 1.2),
        ("256x256", (256, 256), (256, 256), None),
        ("1024x1024", (1024, 1024), (1024, 1024), 1.05),
        ("[64,64,64]@[64,64,64]", (64, 64, 64), (64, 64, 64), 1.2),
        # The shapes of a training step's products; "col" operands are stored column by
        # column (both libraries read them in place), as x @ w.T and x.T @ g read theirs.
        ("[256,784]@[784,256]", (256, 784), (784, 256), None),
        ("[784,256]col@[256,256]", (784, 256, "F"), (256, 256), None),
        ("[256,256]@[256,256]col", (256, 256), (256, 256, "F"), None),
    ]
    print(f"\nfloat32 products (median of {SAMPLES})")
    print(f"  {'case':24} {'ours ms':>9} {'numpy ms':>9} {'ours GF/s':>10} {'numpy GF/s':>11} {'ratio':>7}  target")
    for name, sa, sb, target in cases:
        a, b = operands(sa, sb)
        ta, tb = Tensor(a), Tensor(b)
        ours, theirs = median_times(lambda: ta @ tb, lambda: a @ b)
        sa, sb = a.shape, b.shape
        flops = 2 * np.prod(np.broadcast_shapes(sa[:-2], sb[:-2]), dtype=float) * sa[-2] * sa[-1] * sb[-1]
        ratio = ours / theirs
        verdict = "" if target is None else f"<= {target} {'ok' if ratio <= target else 'MISSED'}"
        print(f"  {name:24} {1e3 * ours:9.3f} {1e3 * theirs:9.3f} {flops / ours / 1e9:10.1f} "
              f"{flops / theirs / 1e9:11.1f} {ratio:7.3f}  {verdict}")


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
    with threadpool_limits(limits=1, user_api="blas"):
        Tensor(np.ones((2, 2))) @ Tensor(np.ones((2, 2)))  # our library settles its thread count on first use
        print("BLAS libraries in this process:")
        print_blas_libraries()
        bench_products()
        bench_half()
        bench_training_step()


if __name__ == "__main__":
    main()
