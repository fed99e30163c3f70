"""Tensors pickle and copy by value: data bit for bit, element type, memory order, requires_grad."""
import copy
import pickle
from concurrent.futures import ThreadPoolExecutor

import ml_dtypes  # noqa: F401 - registers NumPy's bfloat16 for to_numpy()
import numpy as np
import pytest

from conftest import assert_runs
from mirel_core import Tensor
from test_memory import growth, swallow

DTYPES = ["f32", "f16", "bf16", "bool"]
# Bit patterns that an exact copy must keep: -0, infinities, NaNs with payloads, subnormals.
SPECIAL = {
    "f32": np.array([0x80000000, 0x7F800000, 0xFFC00001, 0x7FA00000, 0x00000001, 0x3F800000], np.uint32),
    "f16": np.array([0x8000, 0x7C00, 0xFE01, 0x7D00, 0x0001, 0x3C00], np.uint16),
    "bf16": np.array([0x8000, 0x7F80, 0xFFC1, 0x7FA0, 0x0001, 0x3F80], np.uint16),
}
NUMPY = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16, "bool": np.bool_}


def make(dtype, shape=(2, 3), requires_grad=False):
    """A tensor whose elements include the special bit patterns (bool: both values)."""
    n = int(np.prod(shape))
    if dtype == "bool":
        values = np.arange(n) % 3 == 0
    else:
        values = np.resize(SPECIAL[dtype], n).view(NUMPY[dtype])
    return Tensor(values.reshape(shape), dtype=dtype, requires_grad=requires_grad)


def assert_same_tensor(got, want):
    assert (got.dtype, got.shape, got.requires_grad) == (want.dtype, want.shape, want.requires_grad)
    a, b = got.to_numpy(), want.to_numpy()
    assert a.dtype == b.dtype
    assert (a.flags.c_contiguous, a.flags.f_contiguous) == (b.flags.c_contiguous, b.flags.f_contiguous)
    assert a.tobytes(order="A") == b.tobytes(order="A")


def out_of_band(t):
    """Protocol 5 with the elements passed beside the stream, as Ray passes them."""
    buffers = []
    data = pickle.dumps(t, protocol=5, buffer_callback=buffers.append)
    return pickle.loads(data, buffers=buffers)


ROUND_TRIPS = {
    "pickle-4": lambda t: pickle.loads(pickle.dumps(t, protocol=4)),
    "pickle-5": lambda t: pickle.loads(pickle.dumps(t, protocol=5)),
    "pickle-5-out-of-band": out_of_band,
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}
LAYOUTS = {
    "row-major": lambda dtype: make(dtype, (2, 3)),
    "column-major": lambda dtype: make(dtype, (3, 2)).transpose(0, 1),
    "permuted": lambda dtype: make(dtype, (2, 3, 4)).transpose(0, 1),  # exported in row-major order
}


@pytest.fixture(autouse=True)
def fresh_tape():
    Tensor.clear_graph()


@pytest.mark.parametrize("how", list(ROUND_TRIPS))
@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("dtype", DTYPES)
def test_round_trip_keeps_bits_type_and_memory_order(dtype, layout, how):
    t = LAYOUTS[layout](dtype)
    got = ROUND_TRIPS[how](t)
    assert got is not t
    assert_same_tensor(got, t)


def test_permuted_layout_leaning_to_column_major_arrives_in_row_major_order():
    t = Tensor(np.arange(24, dtype=np.float32).reshape(2, 3, 4)).transpose(0, 2).transpose(1, 2)
    assert t.strides == [1, 12, 4]
    got = pickle.loads(pickle.dumps(t))
    assert got.to_numpy().flags.c_contiguous
    np.testing.assert_array_equal(got.to_numpy(), t.to_numpy())


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", [(), (0,), (2, 0, 3), (1, 1)])
def test_zero_size_and_zero_d_tensors_round_trip(dtype, shape):
    t = make(dtype, shape)
    assert_same_tensor(pickle.loads(pickle.dumps(t)), t)


@pytest.mark.parametrize("how", list(ROUND_TRIPS))
def test_tracked_tensor_arrives_as_a_new_leaf_without_gradient(how):
    x = Tensor([1.0, 2.0], requires_grad=True)
    (x * 3.0).backward()
    y = ROUND_TRIPS[how](x)
    assert y.requires_grad and y.grad() is None  # gradients do not travel
    (y * y).backward()
    np.testing.assert_array_equal(y.grad(), [2.0, 4.0])
    np.testing.assert_array_equal(x.grad(), [3.0, 3.0])  # the original keeps its own
    Tensor.clear_graph()
    z = ROUND_TRIPS[how](x)  # x is stale now; its copy is a usable leaf
    (z * 2.0).backward()
    np.testing.assert_array_equal(z.grad(), [2.0, 2.0])


def test_tracked_tensor_moves_between_threads_through_pickle():
    def record_and_pickle():
        x = Tensor([[1.0, -2.0]], requires_grad=True)
        (x * 2.0).backward()
        return pickle.dumps(x)

    def unpickle_and_train(data):
        y = pickle.loads(data)
        (y * y).backward()  # a foreign tensor would raise here; a new leaf does not
        return y.grad()

    with ThreadPoolExecutor(1) as a, ThreadPoolExecutor(1) as b:
        data = a.submit(record_and_pickle).result()
        grad = b.submit(unpickle_and_train, data).result()
    np.testing.assert_array_equal(grad, [[2.0, -4.0]])


def test_old_protocols_are_refused_with_a_clear_error():
    with pytest.raises(TypeError, match=r"protocol 2 \(protocol 4 or later is needed\)"):
        pickle.dumps(Tensor([1.0]), protocol=2)


GOOD = (b"\0" * 8, "f32", (2,), "C", False)
BAD_PAYLOADS = [
    # (position, value), exception, message
    ((0, "abcdefgh"), TypeError, "bytes-like object is required, not 'str'"),
    ((0, memoryview(bytes(16))[::2]), BufferError, "not C-contiguous"),
    ((0, b"\0" * 7), ValueError, r"7 bytes of data for shape \[2\] \(8 expected\)"),
    ((1, "f64"), ValueError, "unknown element type 'f64'"),
    ((1, 32), TypeError, "not an instance of 'str'"),
    ((2, "2"), TypeError, "str"),
    ((2, (-2,)), OverflowError, None),
    ((2, (0, 2**63)), ValueError, r"length 9223372036854775808 in shape \[0, 9223372036854775808\] is too large"),
    ((2, (2**32, 2**32)), ValueError, "holds too many elements"),
    ((2, (2**31, 2**31)), ValueError, "holds too many elements"),  # elements fit, bytes do not
    ((3, "A"), ValueError, "memory order 'A'"),
    ((4, 1), TypeError, "not an instance of 'bool'"),
]


@pytest.mark.parametrize("change,error,message", BAD_PAYLOADS)
def test_rebuild_rejects_damaged_payloads(change, error, message):
    args = list(GOOD)
    args[change[0]] = change[1]
    with pytest.raises(error, match=message):
        Tensor._rebuild(*args)


def test_out_of_band_buffer_keeps_the_elements_alive_and_read_only():
    buffers = []
    data = pickle.dumps(Tensor([1.0, 2.0]), protocol=5, buffer_callback=buffers.append)  # the tensor is gone
    reuse = [Tensor([9.0, 9.0]) for _ in range(100)]  # would take over freed memory
    with pytest.raises(TypeError):
        buffers[0].raw()[0] = 0
    np.testing.assert_array_equal(pickle.loads(data, buffers=buffers).to_numpy(), [1.0, 2.0])
    assert reuse[0].to_numpy().tolist() == [9.0, 9.0]


@pytest.mark.parametrize("byte", [2, 0xFF])
def test_rebuild_rejects_bool_bytes_other_than_0_and_1(byte):
    with pytest.raises(ValueError, match=f"holds the byte {byte}"):
        Tensor._rebuild(bytes([1, byte]), "bool", (2,), "C", False)


def test_rebuild_binds_like_the_other_methods():
    with pytest.raises(TypeError):
        Tensor._rebuild(*GOOD[:4])
    t = Tensor._rebuild(data=b"\0\0\x80?", dtype="f32", shape=[1, 1], order="F", requires_grad=True)
    assert (t.shape, t.requires_grad, t.to_numpy().tolist()) == ([1, 1], True, [[1.0]])


def test_damaged_pickle_stream_raises_instead_of_building_a_tensor():
    data = pickle.dumps(Tensor([[1.0, 2.0], [3.0, 4.0]]))
    assert b"\x86" in data  # the shape (2, 2) as a TUPLE2 of two BININT1 2
    damaged = data.replace(b"K\x02K\x02\x86", b"K\x02K\x03\x86")
    with pytest.raises(ValueError, match=r"16 bytes of data for shape \[2, 3\] \(24 expected\)"):
        pickle.loads(damaged)


def test_bf16_unpickles_and_repickles_without_a_bfloat16_package():
    data = pickle.dumps(make("bf16"))
    out = assert_runs(f"""
        import pickle, sys
        sys.modules["ml_dtypes"] = None  # no package can give NumPy a bfloat16 type
        t = pickle.loads({data!r})
        assert t.dtype == "bf16" and t.shape == [2, 3]
        print(pickle.dumps(t + t).hex())
    """)
    doubled = pickle.loads(bytes.fromhex(out.strip()))
    assert_same_tensor(doubled, make("bf16") + make("bf16"))


STEPS = {
    "pickle": lambda t=make("f32", (4, 4)): pickle.loads(pickle.dumps(t)),
    "deepcopy-permuted": lambda t=LAYOUTS["permuted"]("bf16"): copy.deepcopy(t),
    "out-of-band": lambda t=make("f32", (4, 4)): out_of_band(t),
    "rejected": swallow(lambda: Tensor._rebuild(b"", "f32", (1, -1), "C", False), OverflowError),
}


@pytest.mark.parametrize("name", list(STEPS))
def test_memory_stays_flat_pickling(name):
    assert growth(STEPS[name], calls=30_000) < 4 << 20
