"""Train a two-layer perceptron on two interleaved spirals with mirel.

Every forward and backward computation runs in the library: the matrix products,
the bias additions, the rectifier, the squared error and all their gradients.
The weights live in a mirel.Parameters holder as float32 masters; each step
takes fresh leaves from it, and mirel.optim.SGD applies the plain
gradient-descent update in one fused pass per parameter. NumPy only makes the
data set and measures the accuracy.

    python examples/demo.py [--dtype f32|bf16|f16]

With --dtype bf16 or f16 every tensor computation runs in that type; the
parameters themselves are kept and updated in float32 (a step's update is often
smaller than half a unit in the last place of a 16-bit weight, and would be lost),
and rounded to the type for each step's leaves.
"""

import argparse
import time
from collections.abc import Mapping

import numpy as np
import numpy.typing as npt

import mirel
from mirel_core import Tensor

relu = mirel.nn.functional.relu

HIDDEN = 64
LEARNING_RATE = 0.015
STEPS = 8000
REPORT_EVERY = 400
DTYPES = ["bf16", "f16", "f32"]

Array = npt.NDArray[np.float32]


def make_spirals(
    points_per_class: int, turns: float = 1.5, noise: float = 0.05, seed: int = 0
) -> tuple[Array, npt.NDArray[np.int64]]:
    """Two spirals winding around each other; class c is rotated by c half-turns."""
    rng = np.random.default_rng(seed)
    # sqrt spreads the points evenly along the arms instead of crowding the centre
    angle = np.sqrt(rng.uniform(0, 1, points_per_class)) * turns * 2 * np.pi
    radius = 2 * angle / (turns * 2 * np.pi)
    points, labels = [], []
    for c in range(2):
        turned = angle + c * np.pi
        arm = np.stack([radius * np.cos(turned), radius * np.sin(turned)], axis=1)
        points.append(arm + rng.normal(0, noise, arm.shape))
        labels.append(np.full(points_per_class, c))
    return np.concatenate(points).astype(np.float32), np.concatenate(labels)


def init_params(seed: int = 1, hidden: int = HIDDEN) -> dict[str, Array]:
    rng = np.random.default_rng(seed)
    params = {
        "w1": rng.normal(0, 1, (2, hidden)),
        # Random first-layer biases spread the rectifiers' kinks over the plane
        # rather than passing them all through the origin.
        "b1": rng.uniform(-1, 1, hidden),
        "w2": rng.normal(0, 1 / np.sqrt(hidden), (hidden, 2)),
        "b2": np.zeros(2),
    }
    return {name: value.astype(np.float32) for name, value in params.items()}


def forward(x: Tensor, p: Mapping[str, Tensor]) -> Tensor:
    hidden = relu(x @ p["w1"] + p["b1"])
    return hidden @ p["w2"] + p["b2"]


def gradients(
    x: Tensor, targets: Tensor, params: mirel.Parameters, scale: float | None = None
) -> tuple[float, Array, dict[str, Array]]:
    """Loss, outputs and parameter gradients of one batch; params are not changed.

    Each sample's squared error is multiplied by scale, 1 / (batch size) by default,
    which makes the loss the mean squared error over the batch. A shard of a larger
    batch passes 1 / (whole batch size), so that the shards' results add up to the
    whole batch's. The tensors compute in params.dtype; gradients, loss and outputs
    come back in float32, each gradient at its parameter's own shape.
    """
    out = forward(x, params.leaves())
    err = out - targets
    loss = mirel.sum(err * err * (1.0 / x.shape[0] if scale is None else scale))
    loss.backward()
    grads: dict[str, Array] = {}
    for name, g in params.grads().items():
        assert g is not None  # backward() reached every parameter
        grads[name] = g.to_numpy()
    outputs = out.to_numpy().astype(np.float32, copy=False)
    value = float(loss.to_numpy().astype(np.float32))
    Tensor.clear_graph()  # the tape would otherwise keep every step's nodes
    return value, outputs, grads


def train_step(x: Tensor, targets: Tensor, optimizer: mirel.optim.Optimizer) -> tuple[float, Array]:
    """One gradient-descent step; returns the loss and the outputs before the update."""
    loss, outputs, grads = gradients(x, targets, optimizer.params)
    optimizer.step(grads)
    return loss, outputs


def accuracy(outputs: Array, labels: npt.NDArray[np.int64]) -> float:
    return float((outputs.argmax(axis=1) == labels).mean())


def progress_bar(done: int, total: int, width: int = 20) -> str:
    filled = width * done // total
    return "[" + "#" * filled + "." * (width - filled) + "]"


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--dtype", choices=DTYPES, default="f32",
                        help="element type of every tensor computation (default: f32)")
    dtype: str = parser.parse_args().dtype

    points, labels = make_spirals(200)
    x = Tensor(points, dtype=dtype)
    targets = Tensor(np.eye(2, dtype=np.float32)[labels], dtype=dtype)
    params = mirel.Parameters(init_params(), dtype=dtype)
    optimizer = mirel.optim.SGD(params, lr=LEARNING_RATE)
    print(f"two spirals: {len(points)} points; perceptron 2 -> {HIDDEN} (relu) -> 2 in {dtype}; "
          f"{STEPS} full-batch steps, learning rate {LEARNING_RATE}")

    start = time.perf_counter()
    for step in range(1, STEPS + 1):
        loss, outputs = train_step(x, targets, optimizer)
        if step % REPORT_EVERY == 0 or step == 1:
            print(f"step {step:5d}/{STEPS} {progress_bar(step, STEPS)} "
                  f"loss {loss:.4f}  accuracy {accuracy(outputs, labels):6.1%}", flush=True)
    elapsed = time.perf_counter() - start

    with mirel.no_grad():
        final = forward(x, params.leaves()).to_numpy().astype(np.float32)
    Tensor.clear_graph()
    print(f"final training accuracy: {accuracy(final, labels):.1%} "
          f"({elapsed:.1f} s, {1e3 * elapsed / STEPS:.2f} ms per step)")


if __name__ == "__main__":
    main()
