"""The mirel package: one engine and one tape with mirel_core, grad mode, interchange, errors."""
import pickle
import threading

import numpy as np
import pytest

import mirel
import mirel_core
from mirel_core import Tensor

from conftest import assert_runs
from test_memory import growth


@pytest.fixture(autouse=True)
def clean_tape():
    Tensor.clear_graph()


def test_one_type_one_exception_one_version():
    assert issubclass(mirel.Tensor, mirel_core.Tensor) and mirel.Tensor is not mirel_core.Tensor
    with pytest.raises(TypeError):  # the package's class is the one subclass
        type("Sub", (mirel_core.Tensor,), {})
    with pytest.raises(mirel.PanicException):
        Tensor([[1.0]]).transpose(0, 5)
    assert isinstance(mirel.__version__, str) and mirel.__version__
    assert mirel_core.__all__ == ["Tensor", "nn"]  # mirel_core's face is untouched


def test_everything_mirel_defines_is_documented():
    names = [getattr(mirel, n) for n in mirel.__all__ if n not in ("Tensor", "PanicException")]
    names += [getattr(mirel.nn.functional, n) for n in mirel.nn.functional.__all__ if n != "relu"]
    for obj in names + [mirel.nn]:
        assert (obj.__doc__ or "").strip(), obj


def test_the_class_pickles_by_reference():
    assert pickle.loads(pickle.dumps(mirel.Tensor)) is mirel.Tensor


def test_a_spawn_pool_maps_tensor_over_arrays():
    out = assert_runs(
        """
        import multiprocessing as mp
        import numpy as np
        from mirel import Tensor
        if __name__ == "__main__":
            with mp.get_context("spawn").Pool(2) as pool:
                ts = pool.map(Tensor, [np.full(3, float(i), np.float32) for i in range(4)])
            print([float(t.to_numpy().sum()) for t in ts])
        """,
        timeout=180,
    )
    assert out.strip() == "[0.0, 3.0, 6.0, 9.0]"


def test_functions_and_operators_share_one_tape():
    x = Tensor(np.array([[0.5, -1.0], [2.0, 0.0]], np.float32), requires_grad=True)
    w = Tensor(np.array([[1.0], [2.0]], np.float32), requires_grad=True)
    b = Tensor(np.array([0.25], np.float32), requires_grad=True)
    y = mirel.sum(mirel.exp(x @ w) + b)
    y.backward()
    xw = x.to_numpy() @ w.to_numpy()
    np.testing.assert_allclose(w.grad(), x.to_numpy().T @ np.exp(xw), rtol=1e-6)
    np.testing.assert_array_equal(b.grad(), np.ones((2, 1), np.float32))  # broadcast shape, as mirel_core keeps it


def test_no_grad_records_nothing_nests_and_is_per_thread():
    x = Tensor(np.ones(3, np.float32), requires_grad=True)
    seen = {}

    def other():
        mine = Tensor(np.ones(3, np.float32), requires_grad=True)
        seen["other"] = (mine * 2.0).requires_grad

    with mirel.no_grad():
        assert (x * 2.0).requires_grad is False
        assert mirel.exp(x).requires_grad is False
        with mirel.no_grad():
            assert not mirel.is_grad_enabled()
        assert not mirel.is_grad_enabled()  # the inner block restores what it found
        t = threading.Thread(target=other)
        t.start()
        t.join()
    assert mirel.is_grad_enabled() and seen["other"] is True
    assert mirel.exp(x).requires_grad

    @mirel.no_grad()
    def step():
        return mirel.sum(x)

    assert step().requires_grad is False and mirel.is_grad_enabled()


def test_no_grad_is_restored_after_an_exception():
    with pytest.raises(ZeroDivisionError):
        with mirel.no_grad():
            1 / 0
    assert mirel.is_grad_enabled()


_address = mirel._native._address


def test_detach_shares_storage_and_stops_gradients():
    x = Tensor(np.arange(4, dtype=np.float32), requires_grad=True)
    d = mirel.detach(x)
    assert not d.requires_grad and d.grad() is None
    assert _address(d) == _address(x)
    y = mirel.sum(x * d)
    y.backward()
    np.testing.assert_array_equal(x.grad(), x.to_numpy())


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16", "bool"])
@pytest.mark.parametrize("layout", ["row", "transposed"])
def test_numpy_and_dlpack_interchange(dtype, layout):
    a = (np.arange(12).reshape(3, 4) % 5).astype(np.float32)
    t = Tensor(a, dtype=dtype)
    if layout == "transposed":
        t, a = t.transpose(0, 1), a.T
    expected = t.to_numpy()
    got = np.asarray(t)
    assert got.dtype == expected.dtype and np.array_equal(got, expected)
    assert mirel.from_dlpack(t).to_numpy().tolist() == expected.tolist()
    if dtype in ("f32", "f16", "bool"):
        copied = np.from_dlpack(t)  # always a copy of its own: writing to it changes nothing of ours
        assert np.array_equal(copied, expected)
        copied[...] = 0
        assert np.array_equal(t.to_numpy(), expected)
        back = mirel.from_dlpack(expected[::-1, ::2])  # negative and wide strides
        assert np.array_equal(back.to_numpy(), expected[::-1, ::2])


@pytest.mark.parametrize("max_version", [None, (1, 0)])
def test_dlpack_never_shares_the_storage(max_version):
    t = Tensor(np.ones(3, np.float32))
    with pytest.raises(BufferError, match="never shared"):
        t.__dlpack__(copy=False, max_version=max_version)
    assert t.__dlpack_device__() == (1, 0)
    with pytest.raises(ValueError, match="copy=False"):
        np.asarray(t, copy=False)


def test_torch_round_trip_bf16():
    torch = pytest.importorskip("torch")
    src = torch.arange(6, dtype=torch.bfloat16).reshape(2, 3).t()
    t = mirel.from_dlpack(src)
    assert t.dtype == "bf16" and t.to_numpy().astype(np.float32).tolist() == src.float().tolist()
    back = torch.from_dlpack(t)
    assert back.dtype == torch.bfloat16 and torch.equal(back, src)


def test_torch_cannot_write_into_a_master_weight():
    torch = pytest.importorskip("torch")
    params = mirel.Parameters({"w": np.ones(3, np.float32)})
    torch.from_dlpack(params.leaf("w")).add_(5)
    assert params["w"].to_numpy().tolist() == [1.0, 1.0, 1.0]
    assert params.leaf("w").to_numpy().tolist() == [1.0, 1.0, 1.0]


@pytest.mark.parametrize(
    "call,error,text",
    [
        (lambda: mirel.exp([1.0]), TypeError, "exp(): 'x' must be a Tensor, not 'list'"),
        (lambda: mirel.sum(Tensor(np.ones((2, 3))), axis=2), np.exceptions.AxisError, "axis 2 is out of bounds"),
        (lambda: mirel.sum(Tensor(np.ones((2, 3))), axis=(0, -2)), ValueError, "duplicate value in 'axis'"),
        (lambda: mirel.max(Tensor(np.ones((2, 0))), axis=1), ValueError, "max of no elements: axis 1 of shape [2, 0]"),
        (lambda: mirel.reshape(Tensor(np.ones(6)), (4, -1)), ValueError, "cannot reshape"),
        (lambda: mirel.take(Tensor(np.ones(3)), np.array([3])), IndexError, "index 3 is out of bounds"),
        (lambda: mirel.take(Tensor(np.ones(3)), np.array([0.5])), TypeError, ""),
        (lambda: mirel.concatenate([]), ValueError, "at least one"),
        (lambda: mirel.stack([Tensor(np.ones(2)), Tensor(np.ones(3))]), ValueError, "shape [3]"),
        (lambda: mirel.nn.functional.cross_entropy(Tensor(np.ones((2, 3))), np.array([0, 3])), IndexError,
         "label 3 at position 1 is out of range for 3 classes"),
        (lambda: mirel.nn.functional.cross_entropy(Tensor(np.ones((2, 3))), np.array([0])), ValueError, "shape [2]"),
        (lambda: mirel.nn.functional.linear(Tensor(np.ones((2, 3))), Tensor(np.ones((4, 2)))), ValueError,
         "[out_features, 3]"),
        (lambda: mirel.exp(Tensor([True], dtype="bool")), TypeError, "not supported"),
        (lambda: mirel.where(Tensor(np.ones(2)), Tensor(np.ones(2)), 0.0), TypeError, "Bool"),
        (lambda: mirel.power(Tensor(np.ones(2)), Tensor(np.ones(2))), TypeError, "number"),
        (lambda: mirel.maximum(Tensor(np.ones((2, 3))), Tensor(np.ones(2))), ValueError,
         "maximum(): shapes [2, 3] and [2] do not broadcast together"),
        (lambda: mirel.minimum(Tensor(np.ones(4)), Tensor(np.ones(3))), ValueError, "minimum(): shapes [4] and [3]"),
        (lambda: mirel.where(Tensor([True, False], dtype="bool"), Tensor(np.ones((2, 3))), 0.0), ValueError,
         "where(): the condition's shape [2] does not broadcast with [2, 3]"),
        (lambda: mirel.nn.functional.mse_loss(Tensor(np.ones((2, 3))), np.ones(2)), ValueError,
         "mse_loss(): shapes [2, 3] and [2]"),
        (lambda: mirel.nn.functional.cross_entropy(Tensor(np.ones((3, 4))), Tensor(np.array([0.5, 1.7, 3.0]))),
         TypeError, "indices must be integers"),
        (lambda: mirel.nn.functional.cross_entropy(Tensor(np.ones((3, 4))), [0.5, 1.7, 3.0]), TypeError,
         "indices must be integers"),
        (lambda: mirel.nn.functional.cross_entropy(Tensor(np.ones((2, 4))), [True, False]), TypeError, "booleans"),
    ],
)
def test_errors_are_clear_python_exceptions(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert not isinstance(info.value, mirel.PanicException)
    assert text in str(info.value)


def test_repeated_calls_do_not_grow_memory():
    labels = np.array([0, 1, 2, 3])

    def step():
        x = Tensor(np.ones((4, 5), np.float32), requires_grad=True)
        loss = mirel.nn.functional.cross_entropy(mirel.tanh(x), labels) + mirel.sum(mirel.take(x, labels, axis=1))
        loss.backward()
        Tensor.clear_graph()

    assert growth(step, calls=20_000) < 4 << 20


@pytest.mark.parametrize("dtype", ["f32", "bf16"])
def test_mse_loss_takes_a_numpy_target_as_a_tensor_of_the_input_type(dtype):
    x = Tensor(np.array([[1.0, 2.0], [3.0, 5.0]]), dtype=dtype)
    target = np.array([[0.0, 2.0], [3.0, 1.0]])
    got = mirel.nn.functional.mse_loss(x, target)
    assert got.dtype == dtype and float(got.to_numpy()) == 4.25
    assert float(mirel.nn.functional.mse_loss(x, Tensor(target, dtype=dtype)).to_numpy()) == 4.25
