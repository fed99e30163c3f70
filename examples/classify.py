"""Train a classifier on scikit-learn's handwritten digits with the mirel package.

A 64-128-10 perceptron (mirel.nn layers on float32 master weights), softmax
cross-entropy inside the graph, AdamW with a cosine learning-rate schedule, and
minibatches of 64. Each epoch prints a progress bar with the loss, the training
accuracy and the steps per second; the end reports the accuracy on held-out
digits. With --plot FILE it also writes the loss and accuracy curves, training
and held-out side by side, to a PNG (with matplotlib; without it, a one-line
note).

    python examples/classify.py [--dtype f32|bf16|f16] [--epochs N] [--plot FILE]
    python examples/classify.py --reference torch    # the same recipe in PyTorch (pip install torch)

With --dtype bf16 or f16 the layers compute in that type from float32 masters:
each step's leaves are rounded copies, the gradients come back in float32 and the
optimizer updates the masters in float32.

Needs scikit-learn (pip install scikit-learn) for the data set.
"""
from __future__ import annotations

import argparse
import importlib
import sys
import time
from typing import Any

import numpy as np

import mirel
from mirel_core import Tensor

F = mirel.nn.functional
BATCH = 64
HIDDEN = 128


def digits(seed: int) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Train and test splits (80/20) of the 1,797 8x8 digits, scaled to [0, 1]."""
    try:
        datasets = importlib.import_module("sklearn.datasets")
    except ImportError:
        sys.exit("this example needs scikit-learn for its data set: pip install scikit-learn")
    data = datasets.load_digits()
    x, y = (data.data / 16.0).astype(np.float32), data.target.astype(np.int64)
    order = np.random.default_rng(seed).permutation(len(x))
    cut = len(x) * 4 // 5
    return x[order[:cut]], y[order[:cut]], x[order[cut:]], y[order[cut:]]


def progress(epoch: int, epochs: int, done: int, total: int, loss: float, acc: float, rate: float) -> None:
    bar = "#" * (20 * done // total) + "." * (20 - 20 * done // total)
    end = "\n" if done == total else ""
    print(f"\repoch {epoch:3d}/{epochs} [{bar}] loss {loss:.4f}  acc {100 * acc:5.1f}%  {rate:6.0f} steps/s",
          end=end, flush=True)


def train_mirel(args: argparse.Namespace, data: tuple[np.ndarray, ...]) -> dict[str, Any]:
    x_train, y_train, x_test, y_test = data
    model = mirel.nn.Sequential(mirel.nn.Linear(64, HIDDEN, rng=args.seed), mirel.nn.ReLU(),
                                mirel.nn.Linear(HIDDEN, 10, rng=args.seed + 1)).to(args.dtype)
    steps_per_epoch = -(-len(x_train) // BATCH)
    opt = mirel.optim.AdamW(model.parameters(), lr=mirel.optim.cosine_schedule(
        args.lr, total_steps=args.epochs * steps_per_epoch), weight_decay=1e-4)
    rng = np.random.default_rng(args.seed)
    history: dict[str, Any] = {"loss": [], "accuracy": [], "seconds": [], "test_loss": [], "test_accuracy": []}
    for epoch in range(1, args.epochs + 1):
        order, start = rng.permutation(len(x_train)), time.perf_counter()
        total_loss = correct = 0.0
        model.train()
        for k in range(steps_per_epoch):
            idx = order[k * BATCH:(k + 1) * BATCH]
            logits = model(Tensor(x_train[idx], dtype=args.dtype))
            loss = F.cross_entropy(logits, y_train[idx])
            loss.backward()
            opt.step()
            total_loss += float(loss.to_numpy()) * len(idx)
            correct += int((mirel.argmax(logits, axis=1) == y_train[idx]).sum())
            Tensor.clear_graph()
            seen = min((k + 1) * BATCH, len(x_train))
            if not args.quiet and (k % 4 == 3 or k + 1 == steps_per_epoch):
                progress(epoch, args.epochs, k + 1, steps_per_epoch, total_loss / seen, correct / seen,
                         (k + 1) / (time.perf_counter() - start))
        history["seconds"].append(time.perf_counter() - start)
        history["loss"].append(total_loss / len(x_train))
        history["accuracy"].append(correct / len(x_train))
        model.eval()
        with mirel.no_grad():
            logits = model(Tensor(x_test, dtype=args.dtype))
            history["test_loss"].append(float(F.cross_entropy(logits, y_test).to_numpy()))
            history["test_accuracy"].append(float((mirel.argmax(logits, axis=1) == y_test).mean()))
        Tensor.clear_graph()
    return history


def train_torch(args: argparse.Namespace, data: tuple[np.ndarray, ...]) -> dict[str, Any]:
    """The same recipe in PyTorch (same initial weights, batches and schedule), for comparison."""
    torch = importlib.import_module("torch")
    torch.set_num_threads(1)
    x_train, y_train, x_test, y_test = (torch.from_numpy(a) for a in data)
    ours = mirel.nn.Sequential(mirel.nn.Linear(64, HIDDEN, rng=args.seed), mirel.nn.ReLU(),
                               mirel.nn.Linear(HIDDEN, 10, rng=args.seed + 1))
    model = torch.nn.Sequential(torch.nn.Linear(64, HIDDEN), torch.nn.ReLU(), torch.nn.Linear(HIDDEN, 10))
    model.load_state_dict({k: torch.from_numpy(v) for k, v in ours.state_dict().items()})
    steps_per_epoch = -(-len(x_train) // BATCH)
    schedule = mirel.optim.cosine_schedule(args.lr, total_steps=args.epochs * steps_per_epoch)
    opt = torch.optim.AdamW(model.parameters(), lr=1.0, weight_decay=1e-4)
    sched = torch.optim.lr_scheduler.LambdaLR(opt, schedule)
    rng = np.random.default_rng(args.seed)
    history: dict[str, Any] = {"loss": [], "accuracy": [], "seconds": [], "test_loss": [], "test_accuracy": []}
    for epoch in range(1, args.epochs + 1):
        order, start = torch.from_numpy(rng.permutation(len(x_train))), time.perf_counter()
        total_loss = correct = 0.0
        for k in range(steps_per_epoch):
            idx = order[k * BATCH:(k + 1) * BATCH]
            with torch.autocast("cpu", dtype=torch.bfloat16, enabled=args.dtype == "bf16"):
                logits = model(x_train[idx])
                loss = torch.nn.functional.cross_entropy(logits, y_train[idx])
            opt.zero_grad()
            loss.backward()
            opt.step()
            sched.step()
            total_loss += loss.item() * len(idx)
            correct += int((logits.argmax(1) == y_train[idx]).sum())
        history["seconds"].append(time.perf_counter() - start)
        history["loss"].append(total_loss / len(x_train))
        history["accuracy"].append(correct / len(x_train))
        with torch.no_grad():
            logits = model(x_test)
            history["test_loss"].append(torch.nn.functional.cross_entropy(logits, y_test).item())
            history["test_accuracy"].append(float((logits.argmax(1) == y_test).float().mean()))
        if not args.quiet:
            print(f"epoch {epoch:3d}/{args.epochs} loss {history['loss'][-1]:.4f}  "
                  f"acc {100 * history['accuracy'][-1]:5.1f}%")
    return history


def plot(history: dict[str, Any], path: str, title: str) -> None:
    try:
        importlib.import_module("matplotlib").use("Agg")
        plt = importlib.import_module("matplotlib.pyplot")
    except ImportError:
        print("matplotlib is not installed: no plot (pip install matplotlib)")
        return
    fig, (a, b) = plt.subplots(1, 2, figsize=(9, 3.8))
    epochs = range(1, len(history["loss"]) + 1)
    a.plot(epochs, history["loss"], label="training")
    a.plot(epochs, history["test_loss"], label="held-out")
    a.set(xlabel="epoch", ylabel="cross-entropy loss", yscale="log")
    b.plot(epochs, [100 * v for v in history["accuracy"]], label="training")
    b.plot(epochs, [100 * v for v in history["test_accuracy"]], label="held-out")
    b.set(xlabel="epoch", ylabel="accuracy (%)")
    for axes in (a, b):
        axes.legend()
        axes.grid(alpha=0.3)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path)
    print(f"curves written to {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--dtype", choices=["f32", "bf16", "f16"], default="f32",
                        help="element type the layers compute in (the master weights stay float32)")
    parser.add_argument("--epochs", type=int, default=30, help="passes over the training digits")
    parser.add_argument("--lr", type=float, default=1e-2, help="peak learning rate of the cosine schedule")
    parser.add_argument("--seed", type=int, default=0, help="seed of the split, the initial weights and the batches")
    parser.add_argument("--plot", metavar="FILE", default=None,
                        help="write the training and held-out curves to this PNG (needs matplotlib)")
    parser.add_argument("--reference", choices=["mirel", "torch"], default="mirel",
                        help="run the same recipe in PyTorch instead, for comparison")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    args = parser.parse_args()
    if args.reference == "torch":
        try:
            importlib.import_module("torch")
        except ImportError:
            sys.exit("--reference torch runs the recipe in PyTorch, which is not installed: pip install torch")
    data = digits(args.seed)
    history = (train_torch if args.reference == "torch" else train_mirel)(args, data)
    per_epoch = float(np.median(history["seconds"]))
    accuracy = 100 * history["test_accuracy"][-1]
    print(f"test accuracy {accuracy:.2f}%  ({args.reference}, {args.dtype}, "
          f"{args.epochs} epochs, {1e3 * per_epoch:.1f} ms per epoch)")
    if args.plot:
        plot(history, args.plot, f"digits, {args.reference} {args.dtype}, {args.epochs} epochs: "
                                 f"test accuracy {accuracy:.2f}%")


if __name__ == "__main__":
    main()
