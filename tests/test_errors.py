"""Exact texts of binding and conversion errors, argument notes, and operator fall-backs."""
import re

import numpy as np
import pytest

from mirel_core import Tensor, nn

relu = nn.functional.relu
T = Tensor([[1.0, 2.0], [3.0, 4.0]])

BINDING = [
    (lambda: Tensor(), "Tensor.__new__() missing 1 required positional argument: 'data'"),
    (lambda: Tensor.__new__(Tensor), "Tensor.__new__() missing 1 required positional argument: 'data'"),
    (lambda: Tensor(dtype="f32"), "Tensor.__new__() missing 1 required positional argument: 'data'"),
    (lambda: Tensor(1, 2, 3, 4, 5), "Tensor.__new__() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: Tensor.__new__(Tensor, 1, 2, 3, 4, 5, 6),
     "Tensor.__new__() takes from 1 to 4 positional arguments but 6 were given"),
    (lambda: Tensor([1.0], foo=1), "Tensor.__new__() got an unexpected keyword argument 'foo'"),
    (lambda: Tensor([1.0], data=[1.0]), "Tensor.__new__() got multiple values for argument 'data'"),
    (lambda: Tensor([1.0], "f32", dtype="f32"), "Tensor.__new__() got multiple values for argument 'dtype'"),
    (lambda: Tensor.__new__(Tensor, [1.0], None, "cpu", device="cpu"),
     "Tensor.__new__() got multiple values for argument 'device'"),
    (lambda: T.transpose(), "Tensor.transpose() missing 2 required positional arguments: 'dim0' and 'dim1'"),
    (lambda: T.transpose(0), "Tensor.transpose() missing 1 required positional argument: 'dim1'"),
    (lambda: T.transpose(dim1=0), "Tensor.transpose() missing 1 required positional argument: 'dim0'"),
    (lambda: T.transpose(0, 1, 2), "Tensor.transpose() takes 2 positional arguments but 3 were given"),
    (lambda: T.transpose(0, dim0=1), "Tensor.transpose() got multiple values for argument 'dim0'"),
    (lambda: T.transpose(0, 1, axis=2), "Tensor.transpose() got an unexpected keyword argument 'axis'"),
    (lambda: T.reshape(), "Tensor.reshape() missing 1 required positional argument: 'shape'"),
    (lambda: T.reshape(2, 2), "Tensor.reshape() takes 1 positional arguments but 2 were given"),
    (lambda: T.reshape(size=[4]), "Tensor.reshape() got an unexpected keyword argument 'size'"),
    (lambda: T.__req__(), "Tensor.__req__() missing 1 required positional argument: 'other'"),
    (lambda: T.__rgt__(1, 2), "Tensor.__rgt__() takes 1 positional arguments but 2 were given"),
    (lambda: T.__rlt__(x=1), "Tensor.__rlt__() got an unexpected keyword argument 'x'"),
    (lambda: relu(), "relu() missing 1 required positional argument: 'py_tensor'"),
    (lambda: relu(T, T), "relu() takes 1 positional arguments but 2 were given"),
    (lambda: relu(T, py_tensor=T), "relu() got multiple values for argument 'py_tensor'"),
    (lambda: relu(x=T), "relu() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("call,message", BINDING, ids=[m for _, m in BINDING])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message
    assert not hasattr(e.value, "__notes__")


CONVERSION = [
    (lambda: Tensor([1.0], device=None), TypeError, "'None' is not an instance of 'str'", "device"),
    (lambda: Tensor([1.0], device=b"cpu"), TypeError, "'bytes' object is not an instance of 'str'", "device"),
    (lambda: Tensor([1.0], requires_grad=1), TypeError, "'int' object is not an instance of 'bool'", "requires_grad"),
    (lambda: Tensor([1.0], requires_grad=None), TypeError, "'None' is not an instance of 'bool'", "requires_grad"),
    (lambda: T.reshape(3), TypeError, "'int' object is not an instance of 'Sequence'", "shape"),
    (lambda: T.reshape(None), TypeError, "'None' is not an instance of 'Sequence'", "shape"),
    (lambda: T.reshape({4: 1}), TypeError, "'dict' object is not an instance of 'Sequence'", "shape"),
    (lambda: T.reshape(np.int64(4)), TypeError, "'int64' object is not an instance of 'Sequence'", "shape"),
    (lambda: T.reshape("32"), TypeError, "Can't extract `str` to `Vec`", "shape"),
    (lambda: T.reshape([-1, 2]), OverflowError, None, "shape"),
    (lambda: T.reshape((2, -2)), OverflowError, None, "shape"),
    (lambda: T.reshape([2, np.int64(-2)]), OverflowError, None, "shape"),
    (lambda: T.reshape([2**64, 1]), OverflowError, None, "shape"),
    (lambda: T.reshape([2.0, 2]), TypeError, None, "shape"),
    (lambda: T.reshape(["2", 2]), TypeError, None, "shape"),
    (lambda: T.transpose(-1, 0), OverflowError, None, "dim0"),
    (lambda: T.transpose(0, 1.0), TypeError, None, "dim1"),
    (lambda: T.transpose(0, None), TypeError, None, "dim1"),
    (lambda: T.__req__("a"), TypeError, None, "other"),
    (lambda: T.__rgt__(None), TypeError, None, "other"),
    (lambda: T.__rlt__([1.0]), TypeError, None, "other"),
    (lambda: T.__req__(10**400), OverflowError, None, "other"),
    (lambda: relu(np.array([1.0])), TypeError, "'ndarray' object is not an instance of 'Tensor'", "py_tensor"),
    (lambda: relu([1.0]), TypeError, "'list' object is not an instance of 'Tensor'", "py_tensor"),
    (lambda: relu(py_tensor=None), TypeError, "'None' is not an instance of 'Tensor'", "py_tensor"),
]


@pytest.mark.parametrize("call,error,message,param", CONVERSION)
def test_conversion_errors_carry_one_argument_note(call, error, message, param):
    with pytest.raises(error) as e:
        call()
    assert type(e.value) is error
    if message is not None:
        assert str(e.value) == message
    assert e.value.__notes__ == [f"while processing '{param}'"]
    assert e.value.__cause__ is None


@pytest.mark.parametrize("shape", [(2, 2), [4], (1, 4, 1), np.array([2, 2]), range(4, 5), b"\x04",
                                   [True, 4], (4, True), [2, np.int64(2)], (np.int32(2), 2)])
def test_reshape_accepts_any_sequence_of_ints(shape):
    assert T.reshape(shape).shape == [int(d) for d in shape]
    assert T.reshape(shape=list(shape)).shape == [int(d) for d in shape]


def test_transpose_out_of_range_is_a_panic(panic_exception):
    with pytest.raises(panic_exception) as e:
        T.transpose(0, 5)
    assert str(e.value) == "index out of bounds: the len is 2 but the index is 5"
    assert e.value.args == ("index out of bounds: the len is 2 but the index is 5",)


def test_errors_of_operations_are_not_turned_into_not_implemented():
    with pytest.raises(ValueError) as e:
        Tensor([True], dtype="bool") + 1.0
    assert "scalar add" in str(e.value)


@pytest.mark.parametrize(
    "op",
    [lambda t: t + "a", lambda t: "a" + t, lambda t: t + [1.0], lambda t: 1.0 - t, lambda t: t @ 2.0,
     lambda t: 2.0 @ t, lambda t: True & t, lambda t: t | 1, lambda t: t ^ None, lambda t: t < None,
     lambda t: "a" >= t, lambda t: t * None, lambda t: None / t, lambda t: t / "2"],
    ids=["t+str", "str+t", "t+list", "num-t", "t@num", "num@t", "bool&t", "t|int", "t^None", "t<None", "str>=t",
         "t*None", "None/t", "t/str"],
)
def test_unsupported_operands_raise_the_interpreters_type_error(op):
    with pytest.raises(TypeError) as e:
        op(Tensor([1.0]))
    assert re.match(r"unsupported operand|.* not supported between|can only concatenate str", str(e.value))


def test_equality_with_non_numbers_falls_back_to_identity():
    t = Tensor([1.0])
    assert (t == "x") is False and (t != "x") is True
    assert (t == None) is False and (t != None) is True  # noqa: E711
    assert ("x" == t) is False


@pytest.mark.parametrize(
    "x", [1, True, np.float64(1.0), np.float32(1.0), np.array(1.0), np.int8(1), 1.0], ids=repr
)
def test_numbers_of_every_kind_are_scalars(x):
    t = Tensor([1.0, 2.0])
    for result in (t + x, x + t, t * x, x * t, t - x, t / x, x / t):
        assert isinstance(result, Tensor)
    np.testing.assert_array_equal((t + x).to_numpy(), [2.0, 3.0])
    np.testing.assert_array_equal((x / t).to_numpy(), [1.0, 0.5])


def test_scalars_are_narrowed_to_single_precision():
    t = Tensor([1.0])
    assert (t * 0.1).to_numpy()[0] == np.float32(0.1)
    assert (t * 1e300).to_numpy()[0] == np.inf
    assert (t * -1e300).to_numpy()[0] == -np.inf
    # below the rounding threshold the nearest float is FLT_MAX, not infinity
    just_above_max = float(np.finfo(np.float32).max) * (1 + 2.0**-26)
    assert (t * just_above_max).to_numpy()[0] == np.finfo(np.float32).max
    assert (t * 2.0**128).to_numpy()[0] == np.inf


def test_reflected_comparison_methods():
    t = Tensor([1.0, 3.0, 5.0])
    np.testing.assert_array_equal(t.__rgt__(3.0).to_numpy(), (t < 3.0).to_numpy())
    np.testing.assert_array_equal(t.__rlt__(other=3.0).to_numpy(), (t > 3.0).to_numpy())
    np.testing.assert_array_equal(t.__req__(3).to_numpy(), [False, True, False])
    np.testing.assert_array_equal((2.0 < t).to_numpy(), [False, True, True])


def test_shape_elements_that_mutate_their_list_are_safe():
    # Converting an element runs user code; the conversion must not walk the
    # caller's list while that code empties it.
    items = []

    class Shrinks:
        def __index__(self):
            items.clear()
            return 1

    items.extend([Shrinks()] + [object()] * 100)
    with pytest.raises(TypeError) as info:
        Tensor([1.0]).reshape(items)
    assert info.value.__notes__ == ["while processing 'shape'"]


def test_requires_grad_rejects_lookalikes_of_numpy_bool():
    fake = type("numpy.bool", (), {"__bool__": lambda self: True})()
    with pytest.raises(TypeError, match="'numpy.bool' object is not an instance of 'bool'"):
        Tensor([1.0], requires_grad=fake)
