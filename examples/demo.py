"""Train a two-layer perceptron on two interleaved spirals with mirel_core.

Every forward and backward computation runs in mirel_core: the matrix products,
the bias additions, the rectifier, the squared error and all their gradients.
NumPy only makes the data set, adds things up (the loss, the bias gradients,
the accuracy) and applies the plain gradient-descent update.

    python examples/demo.py
"""

import time

import numpy as np
import numpy.typing as npt

from mirel_core import Tensor, nn

relu = nn.functional.relu  # the submodules are attributes, not importable by dotted name

HIDDEN = 64
LEARNING_RATE = 0.015
STEPS = 8000
REPORT_EVERY = 400

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


def forward(x: Tensor, p: dict[str, Tensor]) -> Tensor:
    hidden = relu(x @ p["w1"] + p["b1"])
    return hidden @ p["w2"] + p["b2"]


def gradients(
    x: Tensor, targets: Tensor, params: dict[str, Array], scale: float | None = None
) -> tuple[float, Array, dict[str, Array]]:
    """Loss, outputs and parameter gradients of one batch; params are not changed.

    Each sample's squared error is multiplied by scale, 1 / (batch size) by default,
    which makes the loss the mean squared error over the batch. A shard of a larger
    batch passes 1 / (whole batch size), so that the shards' results add up to the
    whole batch's.
    """
    p = {name: Tensor(value, requires_grad=True) for name, value in params.items()}
    out = forward(x, p)
    err = out - targets
    # backward() seeds every element with 1, so it yields the gradient of the sum of
    # this tensor, which is the mean squared error over the batch.
    per_sample = err * err * (1.0 / x.shape[0] if scale is None else scale)
    per_sample.backward()

    grads: dict[str, Array] = {}
    for name, t in p.items():
        grad = t.grad()
        assert grad is not None  # backward() reached every parameter
        # Gradients keep the shape they were computed at: a bias broadcast over the
        # batch gets one row per sample, which we add up here.
        if grad.ndim > params[name].ndim:
            grad = grad.sum(axis=0)
        grads[name] = grad
    loss = float(per_sample.to_numpy().sum())
    outputs = out.to_numpy()
    Tensor.clear_graph()  # the tape would otherwise keep every step's nodes
    return loss, outputs, grads


def apply_update(params: dict[str, Array], grads: dict[str, Array]) -> None:
    """Plain gradient descent, in place."""
    for name, grad in grads.items():
        params[name] -= LEARNING_RATE * grad


def train_step(x: Tensor, targets: Tensor, params: dict[str, Array]) -> tuple[float, Array]:
    """One gradient-descent step; returns the loss and the outputs before the update."""
    loss, outputs, grads = gradients(x, targets, params)
    apply_update(params, grads)
    return loss, outputs


def accuracy(outputs: Array, labels: npt.NDArray[np.int64]) -> float:
    return float((outputs.argmax(axis=1) == labels).mean())


def progress_bar(done: int, total: int, width: int = 20) -> str:
    filled = width * done // total
    return "[" + "#" * filled + "." * (width - filled) + "]"


def main() -> None:
    points, labels = make_spirals(200)
    x = Tensor(points)
    targets = Tensor(np.eye(2, dtype=np.float32)[labels])
    params = init_params()
    print(f"two spirals: {len(points)} points; perceptron 2 -> {HIDDEN} (relu) -> 2; "
          f"{STEPS} full-batch steps, learning rate {LEARNING_RATE}")

    start = time.perf_counter()
    for step in range(1, STEPS + 1):
        loss, outputs = train_step(x, targets, params)
        if step % REPORT_EVERY == 0 or step == 1:
            print(f"step {step:5d}/{STEPS} {progress_bar(step, STEPS)} "
                  f"loss {loss:.4f}  accuracy {accuracy(outputs, labels):6.1%}", flush=True)
    elapsed = time.perf_counter() - start

    final = forward(x, {name: Tensor(value) for name, value in params.items()}).to_numpy()
    print(f"final training accuracy: {accuracy(final, labels):.1%} "
          f"({elapsed:.1f} s, {1e3 * elapsed / STEPS:.2f} ms per step)")


if __name__ == "__main__":
    main()
