"""Reverse-mode autodiff: gradient rules, the backward pass and the tape's lifecycle."""
import operator
import re

import ml_dtypes
import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st

from mirel_core import Tensor
from mirel_core import nn

relu = nn.functional.relu  # the submodules are attributes, not importable packages

F32 = np.float32
RNG = np.random.default_rng(20240611)
A = RNG.uniform(-3, 3, (2, 3)).astype(F32)
B = (RNG.choice([-1, 1], (2, 3)) * RNG.uniform(0.3, 3, (2, 3))).astype(F32)
G = RNG.uniform(-4, 4, (2, 3)).astype(F32)  # gradient arriving at the operation under test
STALE = re.compile(r"(?is)(?=.*clear_graph)(?=.*thread)(?=.*new tensor)")


@pytest.fixture(autouse=True)
def fresh_tape():
    Tensor.clear_graph()


def tracked(values, dtype="f32"):
    return Tensor(np.asarray(values, dtype=F32) if dtype == "f32" else values, dtype=dtype, requires_grad=True)


def assert_grad(t, expected):
    got, expected = t.grad(), np.asarray(expected)
    assert got is not None
    assert (got.dtype, got.shape) == (expected.dtype, expected.shape)
    np.testing.assert_array_equal(got, expected)


def backward_through(result, incoming):  # a pass in which `result` receives the gradient `incoming`
    (result * Tensor(incoming)).backward()


def test_worked_example_keeps_a_gradient_at_every_node():
    xv, yv = np.array([1.0, 2.0, 3.0], F32), np.array([4.0, -5.0, 0.5], F32)
    x, y = tracked(xv), tracked(yv)
    z = x * y
    w = z + x
    assert w.backward() is None
    ones = np.ones(3, F32)
    assert_grad(x, 1 + yv)
    assert_grad(y, xv)
    assert_grad(z, ones)
    assert_grad(w, ones)


BINARY_RULES = {
    "add": (operator.add, lambda a, b, g: (g, g)),
    "sub": (operator.sub, lambda a, b, g: (g, -g)),
    "mul": (operator.mul, lambda a, b, g: (g * b, g * a)),
    "div": (operator.truediv, lambda a, b, g: (g / b, -(g * a) / (b * b))),
}


@pytest.mark.parametrize("lhs", [A, A[0], A[:, :1]], ids=["same-shape", "row", "column"])
@pytest.mark.parametrize("which", ["both", "left", "right"])
@pytest.mark.parametrize("op", BINARY_RULES)
def test_binary_rules(op, which, lhs):
    """Gradients keep the broadcast shape [2, 3]: a broadcast operand's gradient is not summed back."""
    forward, rule = BINARY_RULES[op]
    a = Tensor(lhs, requires_grad=which != "right")
    b = Tensor(B, requires_grad=which != "left")
    out = forward(a, b)
    np.testing.assert_array_equal(out.to_numpy(), forward(lhs, B))
    backward_through(out, G)
    for t, expected in zip((a, b), rule(lhs, B, G)):
        if t.requires_grad:
            assert_grad(t, expected)
        else:
            assert t.grad() is None


@pytest.mark.parametrize("fn, rule", [
    pytest.param(lambda t: t + 2.5, lambda g, v: g, id="t+x"),
    pytest.param(lambda t: 2.5 + t, lambda g, v: g, id="x+t"),
    pytest.param(lambda t: t - 2.5, lambda g, v: g, id="t-x"),
    pytest.param(lambda t: t * 3.0, lambda g, v: g * F32(3), id="t*x"),
    pytest.param(lambda t: -0.7 * t, lambda g, v: g * F32(-0.7), id="x*t"),
    pytest.param(lambda t: t / 4.0, lambda g, v: g * F32(0.25), id="t/4"),
    pytest.param(lambda t: t / 7.0, lambda g, v: g * (F32(1) / F32(7)), id="t/7"),  # the f32 reciprocal
    pytest.param(lambda t: 3.0 / t, lambda g, v: -(g * F32(3)) / (v * v), id="x/t"),  # a tensor of 3s over t
])
def test_scalar_rules(fn, rule):
    a = tracked(A)
    backward_through(fn(a), G)
    assert_grad(a, rule(G, A))


def test_reshape_and_transpose_map_the_gradient_back():
    a = tracked(A)
    backward_through(a.reshape([3, 1, 2]), G.reshape(3, 1, 2))
    assert_grad(a, G)
    v = RNG.uniform(-1, 1, (2, 3, 4)).astype(F32)
    g = RNG.uniform(-1, 1, (4, 3, 2)).astype(F32)
    t = tracked(v)
    backward_through(t.transpose(0, 2), g)
    assert_grad(t, np.swapaxes(g, 0, 2))


def test_relu_passes_the_gradient_where_the_input_is_positive():
    x = tracked([-1.0, -0.0, 0.0, 2.0, np.nan, np.inf, -np.inf, 1e-40])
    g = np.full(8, -5.0, F32)
    backward_through(relu(x), g)
    expected = np.array([0, 0, 0, -5, 0, -5, 0, -5], F32)
    assert_grad(x, expected)
    assert not np.signbit(x.grad()[expected == 0]).any()  # positive zeros, never g * 0


@pytest.mark.parametrize("fn, expected", [
    pytest.param(lambda x: x * x, lambda v: 2 * v, id="x*x"),
    pytest.param(lambda x: x + x, lambda v: np.full_like(v, 2), id="x+x"),
    pytest.param(lambda x: x / x, lambda v: 1 / v + -v / (v * v), id="x/x"),
    pytest.param(lambda x: relu(x) + x * 3.0, lambda v: np.where(v > 0, F32(4), F32(3)), id="relu+scaled"),
])
def test_repeated_operands_accumulate(fn, expected):
    v = np.array([1.0, -2.0, 3.0, 0.7], F32)
    x = tracked(v)
    fn(x).backward()
    assert_grad(x, expected(v))


def test_passes_replace_gradients_and_other_roots_keep_theirs():
    x = tracked([1.0, 2.0, 3.0])
    y, w = x * 2.0, x * 3.0
    y.backward()
    y.backward()
    assert_grad(x, np.full(3, 2, F32))
    w.backward()
    assert_grad(x, np.full(3, 3, F32))
    assert_grad(y, np.ones(3, F32))
    assert_grad(w, np.ones(3, F32))


@pytest.mark.parametrize("dtype, value, one", [
    ("f32", [[1.5, -2.0]], np.ones((1, 2), F32)),
    ("f16", np.array([[1.5, -2.0]], np.float16), np.ones((1, 2), np.float16)),
    ("bool", np.array([[True, False]]), np.ones((1, 2), bool)),
])
def test_backward_on_a_leaf_gives_ones_of_its_type(dtype, value, one):
    x = tracked(value, dtype)
    x.backward()
    assert_grad(x, one)


@pytest.mark.parametrize("make_mid, y_shape, exc, message", [
    (relu, (2, 6), RuntimeError, "Shape mismatch in relu_backward: grad [2, 6] vs input [6]"),
    (lambda x: x.reshape([3, 2]), (2, 3, 2), ValueError,
     "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes"),
    (lambda x: x.reshape([2, 3]).transpose(0, 1), (3, 2), ValueError,
     "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout"),
])
def test_failing_pass_leaves_every_gradient_as_it_was(make_mid, y_shape, exc, message):
    x = tracked(np.arange(-2, 4))
    y = tracked(np.ones(y_shape))
    (x * 2.0).backward()
    (y * 3.0).backward()
    root = make_mid(x) + y
    with pytest.raises(exc, match=f"^{re.escape(message)}$"):
        root.backward()
    assert_grad(x, np.full(6, 2, F32))
    assert_grad(y, np.full(y_shape, 3, F32))
    assert root.grad() is None


@pytest.mark.parametrize("make", [
    pytest.param(lambda x: Tensor([1.0]), id="untracked"),
    pytest.param(lambda x: x < 1.0, id="x<1"),
    pytest.param(lambda x: x == x, id="x==x"),
    pytest.param(lambda x: x != x, id="x!=x"),
    pytest.param(lambda x: (x > 0.0) & ~(x >= 1.0), id="logical"),
    pytest.param(lambda x: x.ones_like(), id="ones_like"),
])
def test_backward_needs_a_tensor_that_requires_grad(make):
    t = make(tracked([0.5, 1.5]))
    assert t.requires_grad is False
    with pytest.raises(ValueError, match=r"^backward\(\) called on tensor that does not require grad$"):
        t.backward()


def test_failed_operations_leave_the_tape_usable():
    x = tracked([1.0, 2.0, 3.0])
    with pytest.raises(RuntimeError, match=re.escape("Shape mismatch: cannot broadcast [3] and [2]")):
        x + Tensor([1.0, 2.0])  # records a leaf for the constant and the node, then fails
    with pytest.raises(TypeError, match="^Tensor Dtype not supported for this operation: relu$"):
        relu(tracked([True], "bool"))
    y = tracked([4.0, 5.0, 6.0])
    z = x * y + 1.0
    z.backward()
    assert_grad(x, np.array([4.0, 5.0, 6.0], F32))
    assert_grad(y, np.array([1.0, 2.0, 3.0], F32))
    assert_grad(z, np.ones(3, F32))


def test_after_clear_graph_old_tensors_have_no_gradient_and_new_ones_work():
    s, c = tracked([1.0, 2.0, 3.0]), Tensor([4.0, 5.0, 6.0])
    (s * 2.0).backward()
    Tensor.clear_graph()
    assert s.grad() is None
    fresh = tracked([3.0, 4.0, 5.0])  # recorded where s was before the clear
    (fresh * c).backward()
    assert_grad(fresh, c.to_numpy())
    assert s.grad() is None
    assert (s < 2.0).to_numpy().tolist() == [True, False, False]  # nothing recorded: fine
    np.testing.assert_array_equal((c * 2.0 - c).to_numpy(), [4.0, 5.0, 6.0])
    with pytest.raises(ValueError, match="does not require grad"):
        c.backward()


@pytest.mark.parametrize("use", [
    pytest.param(lambda s, f, c: s * 2.0, id="s*2"),
    pytest.param(lambda s, f, c: 2.0 + s, id="2+s"),
    pytest.param(lambda s, f, c: 3.0 / s, id="3/s"),
    pytest.param(lambda s, f, c: s + s, id="s+s"),
    pytest.param(lambda s, f, c: c - s, id="const-s"),
    pytest.param(lambda s, f, c: f * s, id="fresh*s"),
    pytest.param(lambda s, f, c: relu(s), id="relu"),
    pytest.param(lambda s, f, c: s.reshape([3]), id="reshape"),
    pytest.param(lambda s, f, c: s.backward(), id="backward"),
])
def test_stale_tensor_cannot_be_recorded_or_differentiated(use):
    s, c = tracked([1.0, 2.0, 3.0]), Tensor([4.0, 5.0, 6.0])
    (s * 2.0).backward()
    Tensor.clear_graph()
    f = tracked([7.0, 8.0, 9.0])
    with pytest.raises(RuntimeError, match=STALE):
        use(s, f, c)


# Half precision: every operation widens to single precision, computes once and rounds once.
def _f(x):
    return np.asarray(x).astype(F32)


def _div_right(g, a, b, rd):
    return rd(_f(rd(-_f(g) * _f(a))) / _f(rd(_f(b) * _f(b))))


HALF_RULES = {
    "add": (operator.add, lambda g, a, b, rd: (g, g)),
    "mul": (operator.mul, lambda g, a, b, rd: (rd(_f(g) * _f(b)), rd(_f(g) * _f(a)))),
    "div": (operator.truediv, lambda g, a, b, rd: (rd(_f(g) / _f(b)), _div_right(g, a, b, rd))),
    "relu": (lambda a, b: relu(a), lambda g, a, b, rd: (np.where(a > 0, g, np.zeros_like(g)), None)),
    "t*0.1": (lambda a, b: a * 0.1, lambda g, a, b, rd: (rd(_f(g) * _f(rd(F32(0.1)))), None)),
    "t/3": (lambda a, b: a / 3.0, lambda g, a, b, rd: (rd(_f(g) * _f(rd(F32(1) / F32(3)))), None)),
    "0.1/t": (lambda a, b: 0.1 / b,
              lambda g, a, b, rd: (None, _div_right(g, np.full_like(b, rd(F32(0.1))), b, rd))),
}


def half_values(rng, dtype, shape=(4, 8)):
    v = rng.choice([-1, 1], shape) * np.exp2(rng.uniform(-10, 6, shape))
    return v.astype(F32).astype(dtype)


@pytest.mark.parametrize("rule", HALF_RULES)
@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_half_precision_gradients_bit_for_bit(dtype, rule):
    np_dtype = np.float16 if dtype == "f16" else ml_dtypes.bfloat16
    rng = np.random.default_rng(len(rule))
    av, bv, gv = (half_values(rng, np_dtype) for _ in range(3))
    av[0, :4] = [-0.0, 0.0, 1.0, 2.0**-9]  # zeros for relu; tiny products round to subnormals
    gv[0, :4] = [1.0, -1.0, -3.0, 2.0**-8]
    bv[0, 2] = 300.0  # b * b overflows in f16
    forward, rule_fn = HALF_RULES[rule]
    a, b = tracked(av, dtype), tracked(bv, dtype)
    (forward(a, b) * Tensor(gv, dtype=dtype)).backward()
    with np.errstate(over="ignore"):
        expected = rule_fn(gv, av, bv, lambda x: np.asarray(x, F32).astype(np_dtype))
    for t, e in zip((a, b), expected):
        if e is None:
            assert t.grad() is None
            continue
        got = t.grad()
        assert (got.dtype, got.shape) == (e.dtype, e.shape)
        np.testing.assert_array_equal(got.view(np.uint16), e.view(np.uint16))


# Sums and differences hand their operands the incoming gradient's own bits:
# signed zeros, NaN payloads, infinities and subnormals included.
UNIT_RULES = {"a+b": (lambda a, b: a + b, (1, 1)), "b+a": (lambda a, b: b + a, (1, 1)),
              "a-b": (lambda a, b: a - b, (1, -1)), "a+2": (lambda a, b: a + 2.0, (1, None)),
              "a-2": (lambda a, b: a - 2.0, (1, None)), "a+a": (lambda a, b: a + a, (2, None))}
BITS = {"f32": (F32, np.uint32), "f16": (np.float16, np.uint16), "bf16": (ml_dtypes.bfloat16, np.uint16)}


@pytest.mark.parametrize("rule", UNIT_RULES)
@pytest.mark.parametrize("dtype", BITS)
def test_sums_pass_the_gradient_bits_unchanged(dtype, rule):
    np_dtype, bits = BITS[dtype]
    nan = np.array([0x7FC01234], np.uint32).view(F32)[0]  # a quiet NaN with a payload
    k = np.array([-0.0, 0.0, nan, -np.inf, 1e-40, 3.5, -2.0**-20, 1e30], F32)
    with np.errstate(over="ignore"):
        incoming = k.astype(np_dtype)  # what the product by k passes back (the seed is ones)
    a, b = tracked(np.ones(8, np_dtype), dtype), tracked(np.ones(8, np_dtype), dtype)
    forward, (lhs, rhs) = UNIT_RULES[rule]
    (forward(a, b) * Tensor(incoming, dtype=dtype)).backward()
    got_a = a.grad()
    expected_a = incoming if lhs == 1 else (incoming.astype(F32) * 2).astype(np_dtype)
    np.testing.assert_array_equal(got_a.view(bits), expected_a.view(bits))
    got_a[:] = 7  # each read is a copy of its own
    np.testing.assert_array_equal(a.grad().view(bits), expected_a.view(bits))
    if rhs is None:
        assert b.grad() is None
    elif rhs == 1:
        np.testing.assert_array_equal(b.grad().view(bits), incoming.view(bits))
    else:
        np.testing.assert_array_equal(b.grad(), -incoming.astype(F32))


# Gradient check: random compositions against central differences in float64.
SHAPE = (2, 3)
VARS = {"a": ((2, 3), False), "b": ((3,), False), "c": ((2, 1), False), "p": ((3,), True), "q": ((2, 1), True)}
SCALARS = [0.5, 2.0, 3.0, -1.5]
BINARY = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv}
SCALAR_OPS = {
    "t+s": lambda t, s: t + s, "s+t": lambda t, s: s + t, "t-s": lambda t, s: t - s,
    "t*s": lambda t, s: t * s, "s*t": lambda t, s: s * t, "t/s": lambda t, s: t / s,
}


def _extend(sub):
    divisor = st.sampled_from(["p", "q"])  # bounded away from zero
    return st.one_of(
        st.tuples(st.sampled_from("+-*"), sub, sub),
        st.tuples(st.just("/"), sub, divisor),
        st.tuples(st.just("relu"), sub),
        st.tuples(st.sampled_from(sorted(SCALAR_OPS)), sub, st.sampled_from(SCALARS)),
        st.tuples(st.just("s/t"), st.sampled_from(SCALARS), divisor),
    )


EXPRESSIONS = st.recursive(st.sampled_from(sorted(VARS)), _extend, max_leaves=8)


def evaluate(e, env, relu_fn, full):
    """`full` is a zero tensor of SHAPE: relu's input is broadcast to it so its gradient arrives unbroadcast."""
    if isinstance(e, str):
        return env[e]
    op, *args = e
    if op == "relu":
        return relu_fn(evaluate(args[0], env, relu_fn, full) + full)
    if op == "s/t":
        return args[0] / env[args[1]]
    lhs = evaluate(args[0], env, relu_fn, full)
    if op in BINARY:
        return BINARY[op](lhs, evaluate(args[1], env, relu_fn, full))
    return SCALAR_OPS[op](lhs, args[1])


def sum_to_shape(g, shape):
    g = g.sum(axis=tuple(range(g.ndim - len(shape))))
    return g.sum(axis=tuple(i for i, n in enumerate(shape) if n == 1), keepdims=True)


def central_difference(e, values, name, h=1e-6):
    out = np.zeros(values[name].shape)
    for idx in np.ndindex(out.shape):
        for step in (h, -h):
            env = dict(values, **{name: values[name].copy()})
            env[name][idx] += step
            out[idx] += np.sum(evaluate(e, env, lambda v: np.maximum(v, 0.0), np.zeros(SHAPE))) * step / (2 * h * h)
    return out


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(expr=EXPRESSIONS, seed=st.integers(0, 2**32 - 1))
def test_gradients_match_finite_differences(expr, seed):
    Tensor.clear_graph()
    rng = np.random.default_rng(seed)
    values = {}
    for name, (shape, divisor) in VARS.items():
        v = rng.choice([-1, 1], shape) * rng.uniform(1, 2, shape) if divisor else rng.uniform(-2, 2, shape)
        values[name] = v.astype(F32).astype(np.float64)
    kinks = []
    evaluate(expr, values, lambda v: kinks.append(np.abs(v).min()) or np.maximum(v, 0.0), np.zeros(SHAPE))
    assume(min(kinks, default=1.0) > 1e-3)  # keep the differences off relu's corner

    leaves = {n: Tensor(v.astype(F32), requires_grad=True) for n, v in values.items()}
    evaluate(expr, leaves, relu, Tensor(np.zeros(SHAPE, F32))).backward()
    for name, leaf in leaves.items():
        if repr(name) not in repr(expr):  # not used
            assert leaf.grad() is None
            continue
        ours = sum_to_shape(leaf.grad().astype(np.float64), values[name].shape)
        fd = central_difference(expr, values, name)
        np.testing.assert_allclose(ours, fd, rtol=1e-3, atol=1e-3 * max(1.0, np.abs(fd).max()), err_msg=name)


def test_recording_comes_before_computing():
    # The stale operand is refused while recording, before a product far too
    # large to allocate is even attempted.
    a = Tensor(np.ones((1 << 20, 1), np.float32), requires_grad=True)
    Tensor.clear_graph()
    with pytest.raises(RuntimeError, match="cleared"):
        a * Tensor(np.ones((1, 1 << 20), np.float32))
