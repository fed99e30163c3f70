"""mirel's reductions, math and losses against NumPy (and PyTorch when importable), side by side.

Run from anywhere, with the installed package:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_mirel.py

Each case times one statement with timeit (median of several repeats, ours and
the reference's taken in turn). Reductions over a [1000, 1000] array run on the
row-major array and on its transpose (column-major storage, as NumPy's a.T);
the half-type rows compare against our own float32 row. The per-call rows time
16 elements; the loss rows time softmax + cross-entropy forward and backward.
"""

import sys

import numpy as np

import mirel
from mirel_core import Tensor
from timing import REPEAT, print_ratio_table

try:
    import torch
except ImportError:  # the PyTorch rows are left out
    torch = None

F = mirel.nn.functional


def data(shape, seed=0, scale=1.0):
    return (np.random.default_rng(seed).standard_normal(shape) * scale).astype(np.float32)


def cases():
    """(name, ours (statement, names), reference (statement, names), reference label, target or None)."""
    big = data((1_000_000,))
    mat = data((1000, 1000), 1)
    env = {"m": mirel, "np": np}
    ours = lambda **kw: {**env, **kw}  # noqa: E731
    yield "sum, 1M f32", ("m.sum(a)", ours(a=Tensor(big))), ("np.sum(a)", ours(a=big)), "numpy", 1.0
    for axis in (0, 1):
        for layout, t, a in (("row-major", Tensor(mat), mat), ("transposed", Tensor(mat).transpose(0, 1), mat.T)):
            for fn in ("sum", "max"):
                yield (f"{fn} axis {axis}, [1000,1000] {layout}", (f"m.{fn}(a, axis={axis})", ours(a=t)),
                       (f"np.{fn}(a, axis={axis})", ours(a=a)), "numpy", 1.0)
    f32_sum = ("m.sum(a)", ours(a=Tensor(big)))
    f32_max = ("m.max(a, axis=1)", ours(a=Tensor(mat)))
    for dt in ("f16", "bf16"):
        yield f"sum, 1M {dt}", ("m.sum(a)", ours(a=Tensor(big, dtype=dt))), f32_sum, "ours f32", 1.5
        yield f"max axis 1, {dt}", ("m.max(a, axis=1)", ours(a=Tensor(mat, dtype=dt))), f32_max, "ours f32", 1.5
    positive = np.abs(big) + 0.5
    for fn, arr in (("exp", big), ("log", positive), ("tanh", big), ("sqrt", positive), ("sigmoid", big)):
        ref = "1 / (1 + np.exp(-a))" if fn == "sigmoid" else f"np.{fn}(a)"
        ours32 = (f"m.{fn}(a)", ours(a=Tensor(arr)))
        yield f"{fn}, 1M f32", ours32, (ref, ours(a=arr)), "numpy", 1.0 if fn != "sigmoid" else None
        if fn in ("exp", "tanh"):
            for dt in ("f16", "bf16"):
                yield f"{fn}, 1M {dt}", (f"m.{fn}(a)", ours(a=Tensor(arr, dtype=dt))), ours32, "ours f32", 1.5
    small = data((16,), 2)
    for stmt, ref in (("m.exp(a)", "np.exp(a)"), ("m.sum(a)", "np.sum(a)"), ("m.max(a)", "np.max(a)"),
                      ("m.maximum(a, a)", "np.maximum(a, a)"), ("m.reshape(a, (4, -1))", "np.reshape(a, (4, -1))")):
        yield f"{stmt}, 16 elements", (stmt, ours(a=Tensor(small))), (ref, ours(a=small)), "numpy", 0.5
        if torch is not None:
            tref = ref.replace("np.", "torch.").replace("torch.max(a)", "torch.amax(a)")
            yield f"{stmt}, 16 elements", (stmt, ours(a=Tensor(small))), (tref, {"torch": torch, "a": torch.from_numpy(small)}), \
                "pytorch", 0.2
    for rows, classes, target in ((256, 10, 0.5), (256, 1000, 1.0)):
        logits = data((rows, classes), 3, 3.0)
        labels = np.random.default_rng(4).integers(0, classes, rows)
        step = "x = T(l, requires_grad=True); F.cross_entropy(x, y).backward(); T.clear_graph()"
        mine = ("F.softmax(T(l)); " + step, {"T": Tensor, "F": F, "l": logits, "y": labels})
        if torch is not None:
            tstep = ("x = torch.tensor(l, requires_grad=True); torch.softmax(x.detach(), 1); "
                     "torch.nn.functional.cross_entropy(x, y).backward()")
            yield f"softmax + cross-entropy [{rows},{classes}]", mine, \
                (tstep, {"torch": torch, "l": logits, "y": torch.from_numpy(labels)}), "pytorch", target
        else:
            yield f"softmax + cross-entropy [{rows},{classes}]", mine, mine, "ours", None


def main():
    if torch is not None:
        torch.set_num_threads(1)
    print(f"mirel benchmark, median of {REPEAT} repeats (python {sys.version.split()[0]}, numpy {np.__version__}"
          f"{', torch ' + torch.__version__ if torch is not None else ''})")
    print_ratio_table(cases(), width=44)


if __name__ == "__main__":
    main()
