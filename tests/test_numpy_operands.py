"""NumPy values as operator operands: arrays with axes are never numbers, scalars and 0-d arrays always are."""
import operator
import warnings

import numpy as np
import pytest

from mirel_core import Tensor

ARITHMETIC = [operator.add, operator.sub, operator.mul, operator.truediv, operator.matmul,
              operator.and_, operator.or_, operator.xor]
ORDERING = [operator.lt, operator.le, operator.gt, operator.ge]
ALL_OPS = ARITHMETIC + ORDERING + [operator.eq, operator.ne]


def outcome(op, a, b):
    """What a user sees: the result's dtype and values, or the exception's type and text."""
    try:
        r = op(a, b)
    except TypeError:
        return "TypeError"  # the interpreter's text names the operand types, which differ
    except Exception as e:
        return type(e), str(e)
    if isinstance(r, Tensor):
        return ("Tensor", r.dtype, r.shape, r.to_numpy().tolist())
    return r


@pytest.fixture(params=["f32", "bool"])
def tensor(request):
    return Tensor(np.array([[0.0, 0.5], [1.5, 2.0]]), dtype=request.param)


@pytest.mark.parametrize("op", ALL_OPS, ids=lambda op: op.__name__)
@pytest.mark.parametrize("shape", [(1,), (2, 2), (1, 2, 2)], ids=str)
def test_arrays_with_axes_are_unsupported_in_both_orders(tensor, op, shape):
    array = np.ones(shape, dtype=np.float32)
    for a, b in [(tensor, array), (array, tensor)]:
        if op is operator.eq:
            assert op(a, b) is False  # identity, as for any foreign object
        elif op is operator.ne:
            assert op(a, b) is True
        else:
            with pytest.raises(TypeError):
                op(a, b)


@pytest.mark.parametrize("op", ALL_OPS, ids=lambda op: op.__name__)
@pytest.mark.parametrize(
    "number", [np.float32(0.5), np.float64(1.5), np.float16(2.0), np.int64(2), np.bool_(True),
               np.array(0.5), np.array(2, dtype=np.int32)],
    ids=lambda v: f"{type(v).__name__}-{v}")
def test_numpy_numbers_act_as_the_equal_python_float(tensor, op, number):
    plain = float(number)
    assert outcome(op, tensor, number) == outcome(op, tensor, plain)
    assert outcome(op, number, tensor) == outcome(op, plain, tensor)


def test_reflected_comparison_with_zero_d_array_is_a_tensor():
    t = Tensor(np.array([0.0, 1.0, 2.0]))
    r = np.ones(()) < t
    assert isinstance(r, Tensor)
    assert r.to_numpy().tolist() == [False, False, True]


def test_numpy_ufuncs_refuse_tensors():
    # Called directly, NumPy's functions do not treat a tensor as one opaque element.
    t = Tensor(np.ones(2))
    with pytest.raises(TypeError):
        np.add(np.ones(2), t)


def subclass_operands():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)  # np.matrix
        return {
            "masked": np.ma.masked_array([5.0, 5.0, 5.0], mask=False),
            "masked 2-d": np.ma.masked_array([[5.0, 5.0, 5.0]], mask=[[False, True, False]]),
            "matrix": np.matrix([[2.0, 2.0, 2.0]]),
            "matrix 1x1": np.matrix([[2.0]]),
        }


def values(x):
    return x.to_numpy().astype(np.float64) if isinstance(x, Tensor) else np.asarray(x, np.float64)


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
@pytest.mark.parametrize("op", ALL_OPS, ids=lambda op: op.__name__)
@pytest.mark.parametrize("kind", list(subclass_operands()))
def test_array_subclasses_fail_clearly_or_give_the_right_values(dtype, op, kind):
    t = Tensor(np.array([1.0, 6.0, 3.0]), dtype=dtype)
    other = subclass_operands()[kind]
    for a, b in [(t, other), (other, t)]:
        try:
            r = op(a, b)
        except TypeError as e:
            assert "Tensor" in str(e) and "not understood" not in str(e)
            continue
        if isinstance(r, bool):
            assert op in (operator.eq, operator.ne)  # identity, as for any foreign object
            continue
        assert not isinstance(r, Tensor) and np.asarray(r).dtype != object  # NumPy's side answered
        want = op(values(a), values(b))
        shown = ~np.broadcast_to(np.ma.getmaskarray(r), want.shape)
        np.testing.assert_array_equal(np.asarray(r)[shown], want[shown])


@pytest.mark.parametrize("op", ARITHMETIC + ORDERING, ids=lambda op: op.__name__)
def test_zero_dimensional_subclasses_are_numbers_from_the_tensor_side(op):
    t = Tensor(np.array([1.0, 6.0, 3.0]))
    if op in (operator.matmul, operator.and_, operator.or_, operator.xor):
        return
    r = op(t, np.ma.masked_array(5.0, mask=False))
    assert isinstance(r, Tensor)
    np.testing.assert_array_equal(r.to_numpy(), op(np.array([1.0, 6.0, 3.0], np.float32), np.float32(5.0)))
