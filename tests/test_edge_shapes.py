"""Shapes at the edges: empty tensors with huge axes behave as empty; the package's functions refuse more axes
than NumPy allows where a shape enters, and a deeper tensor of the operators fails to convert with a clear error."""
import numpy as np
import pytest

import mirel
from mirel_core import Tensor

HUGE = [2**62, 2**63 - 1]


@pytest.mark.parametrize("n", HUGE)
def test_empty_tensors_with_huge_axes_stay_empty_through_operations(n):
    a = Tensor(np.zeros(0, np.float32)).reshape([0, n])
    assert a.shape == [0, n]
    for r in (a + a, a * 2.0, a + Tensor(np.zeros((1, 1), np.float32)), mirel.exp(a), mirel.sum(a, axis=1)):
        assert 0 in r.shape
    assert (Tensor(np.zeros((3, 0), np.float32)) @ Tensor(np.zeros(0, np.float32)).reshape([0, 2])).shape == [3, 2]


@pytest.mark.parametrize("n", HUGE)
def test_products_with_an_empty_inner_axis_and_huge_result_fail_cleanly(n):
    a, b = Tensor(np.zeros((3, 0), np.float32)), Tensor(np.zeros(0, np.float32)).reshape([0, n])
    for x, y in ((a, b), (b.transpose(0, 1), a.transpose(0, 1))):
        with pytest.raises((MemoryError, ValueError)):
            x @ y


def test_rebuild_of_empty_shapes_with_huge_axes():
    t = Tensor._rebuild(b"", "f32", (0, 2**63 - 1), "C", False)
    assert t.shape == [0, 2**63 - 1]
    with pytest.raises(ValueError):
        Tensor._rebuild(b"", "f32", (2**62, 4), "C", False)  # holds elements: too many


@pytest.mark.parametrize("make", [
    lambda: mirel.reshape(Tensor(np.zeros(1, np.float32)), (1,) * 65),
    lambda: mirel.broadcast_to(Tensor(np.zeros(1, np.float32)), (1,) * 65),
    lambda: mirel.stack([Tensor(np.zeros((1,) * 64, np.float32))] * 2),
], ids=["mirel.reshape", "broadcast_to", "stack"])
def test_the_package_refuses_more_than_64_axes_where_they_enter(make):
    with pytest.raises(ValueError, match="at most 64 axes"):
        make()


def test_a_deeper_tensor_of_the_operators_pickles_and_fails_to_convert_clearly():
    import pickle

    deep = Tensor(np.ones(1, np.float32)).reshape([1] * 65)
    assert pickle.loads(pickle.dumps(deep)).shape == [1] * 65
    with pytest.raises(ValueError, match="at most 64"):
        deep.to_numpy()


def test_64_axes_are_fine_end_to_end():
    t = Tensor(np.ones(1, np.float32), requires_grad=True)
    big = t.reshape([1] * 64)
    (big * 2.0).backward()
    assert big.to_numpy().shape == (1,) * 64 and t.grad().tolist() == [2.0]


@pytest.mark.parametrize("shape", [[0, 2**63], [2**62, 2, 0], [2**32, 0, 2**32]])
def test_reshape_refuses_nonzero_lengths_whose_product_overflows(shape):
    with pytest.raises(ValueError, match="incompatible shapes"):
        Tensor(np.zeros((0, 3), np.float32)).reshape(shape)


def test_reshape_keeps_empty_shapes_whose_nonzero_lengths_fit():
    assert Tensor(np.zeros((0, 3), np.float32)).reshape([0, 2**62]).shape == [0, 2**62]
