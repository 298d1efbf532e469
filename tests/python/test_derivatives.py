"""Derivatives as graphs through the package: zarnik.grad, Hessians, jvp and
hvp, against backward's bits, PyTorch's second derivatives and each other."""

import math
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, example, given, settings
from hypothesis import strategies as st

import zarnik as zk
from random_graphs import BINARY, LOGIC, LOGIC_NAMES, UNARY, build_graph, leaf, operation, torch_binary, torch_unary


def bits(lanes):
    return [struct.pack("<d", v) for v in lanes]


# --- gradient graphs ----------------------------------------------------------------------


def reached_through_values(y):
    """The ids of the nodes below `y` that reach it through some operand other
    than a condition: a Gate's first operand, Step's and Sign's operands,
    whose slopes are zero wherever they exist."""
    reached, stack = set(), [y]
    while stack:
        node = stack.pop()
        if node.id in reached:
            continue
        reached.add(node.id)
        flat = {"Gate": node.inputs[1:], "Step": [], "Sign": [], "LogicalNot": []} | dict.fromkeys(LOGIC_NAMES, [])
        operands = flat.get(node.op, node.inputs)
        stack.extend(operands)
    return reached


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
@given(
    st.lists(leaf, min_size=1, max_size=4),
    st.lists(operation, min_size=1, max_size=14),
    st.one_of(st.none(), st.integers(0, 3)),
)
# A derivative with no finite value at a leaf the gradient graph holds as a folded constant: d/db (-1.5)^b.
@example([("Constant", [-1.5]), ("Parameter", [2.0])], [("fn2", 0, 1, 3, 0.0)], None)
# x reaches d/da minimum(a, sqrt(x)) = Step(a, sqrt(x)) only through Step's operands, with sqrt's infinite slope at 0.
@example([("Parameter", [0.5]), ("Parameter", [0.0])], [("fn", 1, 0, 10, 0.0), ("fn2", 0, 2, 2, 0.0)], 0)
def test_grad_gives_the_bits_that_backward_writes(leaves, operations, differentiated_again):
    builder = build_graph(leaves, operations)
    output = builder.nodes[-1]
    assume(output.lanes is not None and builder.parameters)
    seed = [1.0 + 0.25 * lane for lane in range(output.dim)]
    y = zk.sum(output.expression * seed)
    parameters = [p.expression for p in builder.parameters]
    if differentiated_again is not None:
        # A gradient graph as the function: it holds the gates, steps and signs of non-smooth points.
        y = zk.sum(zk.grad(y, parameters[differentiated_again % len(parameters)]))
    try:
        y.backward()
    except ValueError:
        assume(False)  # the weighted sum overflowed, or the gradient graph has no finite value
    written = [p.grad or tuple(0.0 for _ in range(p.dim)) for p in parameters]
    y.zero_grad()
    for parameter, gradient, expected in zip(parameters, zk.grad(y, parameters), written):
        assert gradient.dim == parameter.dim
        try:
            lanes = gradient.eval()
        except ValueError as error:
            # A value of the gradient graph is not finite.
            assert str(error) == "symbolic value lanes must be finite"
            continue
        # Backward runs every node's rule, also with an adjoint of zero, which an infinite slope turns into NaN
        # where a leaf reaches y only through the conditions of gates and steps; the graph has no term there,
        # and its zero is the derivative. Nowhere else may the two differ.
        only_conditions = parameter.id not in reached_through_values(y)
        for g, e in zip(lanes, expected):
            assert bits([g]) == bits([e]) or (only_conditions and math.isnan(e) and g == 0.0), (lanes, expected)


def test_a_gradient_with_no_finite_value_builds_and_fails_where_it_is_evaluated():
    # d/db pow(a, b) = a^b log a: with a negative constant base its log has no
    # finite value, which backward writes as NaN.
    b = zk.Parameter(2.0, name="b")
    y = zk.pow(zk.Constant(-1.5), b) + b * b
    y.backward()
    assert math.isnan(b.grad[0])
    (db,) = zk.grad(y, [b])
    with pytest.raises(ValueError, match="^symbolic value lanes must be finite$"):
        db.eval()
    # Its second derivative too.
    (second,) = zk.grad(zk.grad(y, b), [b])
    with pytest.raises(ValueError, match="^symbolic value lanes must be finite$"):
        second.eval()


def test_grad_of_a_single_leaf_zeros_for_independent_leaves_and_graphs_like_any_other():
    x, w = zk.Parameter(3.0, name="x"), zk.Parameter(2.0, name="w")
    u, unused = zk.Undefined(dim=2, name="u"), zk.Parameter(1.0, 2.0, 3.0, name="unused")
    y = w * zk.sin(x) * x + zk.dot(u, u) * w
    dx = zk.grad(y, x)
    assert isinstance(dx, zk.Expression) and dx.dim == 1
    dx_again, du, dunused, dy = zk.grad(y, (x, u, unused, w))
    assert dx_again.eval() == dx.eval() == (2.0 * (math.cos(3.0) * 3.0 + math.sin(3.0)),)
    assert du.dim == 2 and dunused.is_constant and dunused.value == (0.0, 0.0, 0.0)
    # Graphs like any other: a function of the placeholder, a tape, a picture.
    f = zk.function(u, du)
    assert f([1.0, -2.0]) == (4.0, -8.0)
    assert zk.compile(dx).eval() == dx.eval()
    assert "digraph" in zk.to_dot(dx)
    assert zk.grad(w, [w, x])[0].value == (1.0,) and zk.grad(w, [w, x])[1].value == (0.0,)


def test_grad_of_grad_gives_second_and_third_derivatives():
    x = zk.Parameter(0.7, name="x")
    y = zk.exp(x * 2.0) * zk.sin(x)
    first = zk.grad(y, x)
    second = zk.grad(first, x)
    third = zk.grad(second, x)
    e, s, c = math.exp(1.4), math.sin(0.7), math.cos(0.7)
    assert first.eval()[0] == pytest.approx(e * (2 * s + c), rel=1e-14)
    assert second.eval()[0] == pytest.approx(e * (3 * s + 4 * c), rel=1e-14)
    assert third.eval()[0] == pytest.approx(e * (2 * s + 11 * c), rel=1e-14)


def test_a_gradient_graph_reuses_the_graph_below_it():
    a, b, c, d = (zk.Parameter(v, name=n) for v, n in zip((0.1, 0.2, 0.3, 2.5), "abcd"))
    loss = zk.Constant(0.0)
    for i in range(1000):
        x = i / 1000
        r = a + b * x + c * zk.sin(d * x) - (math.sin(3 * x) + 0.5)
        loss = loss + r * r
    assert nodes_below([loss]) * 3 >= nodes_below(zk.grad(loss, [a, b, c, d]))


def nodes_below(roots):
    seen, stack = set(), list(roots)
    while stack:
        node = stack.pop()
        if node.id not in seen:
            seen.add(node.id)
            stack.extend(node.inputs)
    return len(seen)


GRAD_FAILURES = [
    (
        "a vector y",
        lambda p: zk.grad(zk.vec2(p, p), [p]),
        ValueError,
        "a gradient needs a scalar output, not one of 2 lanes",
    ),
    ("y not an Expression", lambda p: zk.grad(3.0, [p]), TypeError, "grad's y must be an Expression, not float"),
    (
        "wrt an expression",
        lambda p: zk.grad(p * p, [p * 2]),
        TypeError,
        "grad differentiates with respect to parameters and placeholders, not an Expression",
    ),
    (
        "wrt a constant",
        lambda p: zk.grad(p * p, zk.Constant(1.0)),
        TypeError,
        "grad differentiates with respect to parameters and placeholders, not a Constant",
    ),
    (
        "wrt a number",
        lambda p: zk.grad(p * p, 5),
        TypeError,
        "grad's wrt must be an Expression or a sequence of them, not int",
    ),
    (
        "wrt holding a number",
        lambda p: zk.grad(p * p, [p, 1.0]),
        TypeError,
        "grad's wrt must hold Expressions, not float",
    ),
]


@pytest.mark.parametrize("name, call, error, text", GRAD_FAILURES, ids=[case[0] for case in GRAD_FAILURES])
def test_grad_failures(name, call, error, text):
    with pytest.raises(error) as raised:
        call(zk.Parameter(1.5, name="p"))
    assert str(raised.value) == text


# --- second derivatives of every operation against PyTorch ------------------------------

# Each a scalar of a 3-lane a and a 1-lane b, broadcast as the operators do,
# in the package and in PyTorch, at points inside the domain.
UNARY_DOMAIN = {"acos": 0.9, "asin": 0.9}
OPERATIONS = [
    ("add", lambda m, a, b: m.sum((a + b) * (a + b) * a)),
    ("subtract", lambda m, a, b: m.sum((a - b) * (b - a) * a)),
    ("multiply", lambda m, a, b: m.sum(a * b * a * b)),
    ("divide", lambda m, a, b: m.sum(a / (b + a * a))),
    ("negate", lambda m, a, b: m.sum(-(a * a * b))),
    ("sin", lambda m, a, b: m.sum(m.sin(a * b))),
    ("cos", lambda m, a, b: m.sum(m.cos(a * b))),
    *[(name, lambda m, a, b, name=name: m.sum(m.unary(name, a * b) * a)) for name in UNARY if name != "logical_not"],
    *[(name, lambda m, a, b, name=name: m.sum(m.binary(name, a * a + 0.5, b * a))) for name in BINARY.keys() - LOGIC],
    # Flat, so that only the factor around them has second derivatives; a
    # comparison that passed anything back would show there.
    *[
        (name, lambda m, a, b, name=name: m.sum(m.binary(name, a * a + 0.5, b * a) * a * a * b))
        for name in sorted(LOGIC)
    ],
    ("logical_not", lambda m, a, b: m.sum(m.unary("logical_not", a - 0.3) * a * a * b)),
    ("vec and component", lambda m, a, b: m.sum(m.sin(m.vec3(a[0] * b, a[2], a[1] * a[0])) * a)),
]


class ZarnikMath:
    sum = staticmethod(zk.sum)
    sin = staticmethod(zk.sin)
    cos = staticmethod(zk.cos)
    vec3 = staticmethod(zk.vec3)

    @staticmethod
    def unary(name, x):
        return getattr(zk, name)(x)

    @staticmethod
    def binary(name, x, y):
        return getattr(zk, name)(x, y)


class TorchMath:
    def __init__(self, torch):
        self.torch = torch
        self.sin, self.cos, self.sum = torch.sin, torch.cos, torch.sum

    def vec3(self, *parts):
        return self.torch.stack([p.reshape(()) for p in parts])

    def unary(self, name, x):
        return torch_unary(self.torch, name, x)

    def binary(self, name, x, y):
        return torch_binary(self.torch, name, x, y)


def torch_hessian(torch, build, point):
    def f(flat):
        return build(TorchMath(torch), flat[:3], flat[3:])

    return torch.autograd.functional.hessian(f, torch.tensor(point, dtype=torch.float64)).numpy()


# Points where a * b lies in (0, 1), inside every domain, and points with
# signs mixed for the operations defined everywhere.
POSITIVE = [[0.3, 0.45, 0.6, 0.7], [0.8, 0.2, 0.5, 0.9]]
SIGNED = [[0.3, -0.45, 0.6, 0.7], [-0.2, 0.35, 0.5, -0.8]]
LIMITED = {"sqrt", "log", "log1p", "asin", "acos", "divide"}


@pytest.mark.parametrize("name, build", OPERATIONS, ids=[case[0] for case in OPERATIONS])
def test_second_derivatives_of_every_operation_match_pytorch(name, build):
    torch = pytest.importorskip("torch")
    a, b = zk.Undefined(dim=3, name="a"), zk.Undefined(name="b")
    y = build(ZarnikMath, a, b)
    f = zk.function([a, b], y)
    # The same matrix by reverse over reverse: the gradient graph's own gradient graph.
    first = zk.grad(y, [a, b])
    lanes = [first[0][i] for i in range(3)] + [first[1]]
    rows = zk.function(
        [a, b], [zk.vec4(*(zk.grad(g, [a, b])[0][i] for i in range(3)), zk.grad(g, [a, b])[1]) for g in lanes]
    )
    for point in POSITIVE + ([] if name in LIMITED else SIGNED):
        expected = torch_hessian(torch, build, point)
        hessian = f.hessian(point[:3], point[3])
        assert np.array_equal(hessian, hessian.T)
        np.testing.assert_allclose(hessian, expected, rtol=1e-12, atol=1e-12)
        np.testing.assert_allclose(np.array(rows(point[:3], point[3])), expected, rtol=1e-12, atol=1e-12)


# Where a function is not smooth, PyTorch written as the package's conventions
# (random_graphs' torch_unary and torch_binary) gives the same second derivatives.
KINKS = [
    ("abs at 0", lambda m, a, b: m.sum(m.unary("abs", a) * a * b), [0.0, -0.0, 0.5, 2.0]),
    ("minimum at a tie", lambda m, a, b: m.sum(m.binary("minimum", a * a, b * a)), [1.5, 0.0, 2.0, 1.5]),
    ("maximum at a tie", lambda m, a, b: m.sum(m.binary("maximum", a * a, b * b)), [-1.5, 0.5, 1.5, 1.5]),
]


@pytest.mark.parametrize("name, build, point", KINKS, ids=[case[0] for case in KINKS])
def test_second_derivatives_where_a_function_is_not_smooth(name, build, point):
    torch = pytest.importorskip("torch")
    a, b = zk.Undefined(dim=3, name="a"), zk.Undefined(name="b")
    f = zk.function([a, b], build(ZarnikMath, a, b))
    np.testing.assert_allclose(
        f.hessian(point[:3], point[3]), torch_hessian(torch, build, point), rtol=1e-12, atol=1e-12
    )


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
@given(st.lists(leaf, min_size=1, max_size=3), st.lists(operation, min_size=1, max_size=10))
def test_hessians_of_random_graphs_match_pytorch(leaves, operations):
    torch = pytest.importorskip("torch")
    builder = build_graph(leaves, operations, torch)
    output = builder.nodes[-1]
    assume(output.lanes is not None and output.torch_value is not None and not builder.kinked)
    trainable = [p for p in builder.parameters if p.torch_value.requires_grad]
    assume(trainable and output.torch_value.requires_grad)
    seed = [1.0 + 0.25 * lane for lane in range(output.dim)]
    y = zk.sum(output.expression * seed)
    y_torch = (output.torch_value * torch.tensor(seed, dtype=torch.float64)).sum()
    tensors = [p.torch_value for p in trainable]
    gradients = torch.autograd.grad(y_torch, tensors, create_graph=True, allow_unused=True)
    flat = [g[i] for g, p in zip(gradients, trainable) if g is not None for i in range(p.dim)]
    assume(len(flat) == sum(p.dim for p in trainable))
    expected = []
    for g in flat:
        if not g.requires_grad:
            expected.append([0.0] * len(flat))
            continue
        row = torch.autograd.grad(g, tensors, retain_graph=True, allow_unused=True)
        expected.append([v for r, p in zip(row, trainable) for v in (r.tolist() if r is not None else [0.0] * p.dim)])
    f = zk.function([p.expression for p in trainable], y)
    try:
        hessian = f.hessian(*(p.expression.value for p in trainable))
    except ValueError as error:
        assert str(error) == "symbolic value lanes must be finite"
        return
    assert np.array_equal(hessian, hessian.T)
    scale = max(1.0, float(np.max(np.abs(expected))))
    np.testing.assert_allclose(hessian, expected, rtol=1e-9, atol=1e-9 * scale)


# --- Hessians of compiled functions ----------------------------------------------------------


def rosenbrock(parts):
    x = [part[i] for part in parts for i in range(part.dim)]
    total = zk.Constant(0.0)
    for i in range(len(x) - 1):
        total = total + 100.0 * (x[i + 1] - x[i] * x[i]) * (x[i + 1] - x[i] * x[i]) + (1.0 - x[i]) * (1.0 - x[i])
    return total


X12 = [-1.2, 1.0, 0.3, -0.5, 0.8, 1.1, -0.7, 0.25, 1.3, 0.9, -0.1, 0.6]


def test_the_extended_rosenbrock_hessian_matches_pytorch():
    torch = pytest.importorskip("torch")
    parts = [zk.Undefined(dim=4, name=n) for n in "pqr"]
    f = zk.function(parts, rosenbrock(parts))

    def reference(x):
        return (100.0 * (x[1:] - x[:-1] ** 2) ** 2 + (1.0 - x[:-1]) ** 2).sum()

    expected = torch.autograd.functional.hessian(reference, torch.tensor(X12, dtype=torch.float64)).numpy()
    hessian = f.hessian(X12[:4], X12[4:8], X12[8:])
    assert hessian.shape == (12, 12) and np.array_equal(hessian, hessian.T)
    np.testing.assert_allclose(hessian, expected, rtol=1e-12, atol=1e-12)


def test_hessian_blocks_rows_and_parameters():
    p, q = zk.Undefined(dim=2, name="p"), zk.Undefined(name="q")
    w = zk.Parameter(0.5, name="w")
    f = zk.function([p, q], zk.exp(p.x * q) * zk.sin(p.y) * w + q * q * q)
    full = f.hessian([0.3, 0.8], 1.2)
    assert full.shape == (3, 3)
    # A block over some inputs, in the order given, holds the same entries.
    assert np.array_equal(f.hessian([0.3, 0.8], 1.2, wrt=[q, p]), full[np.ix_([2, 0, 1], [2, 0, 1])])
    assert np.array_equal(f.hessian([0.3, 0.8], 1.2, wrt=q), full[2:, 2:])
    assert f.hessian([0.3, 0.8], 1.2, wrt=[]).shape == (0, 0)
    # Rows give what single calls give, to the bit.
    rows = f.batch_hessian(np.array([[0.3, 0.8], [-1.0, 0.1], [2.0, 2.0]]), np.array([1.2, 0.0, -0.5]))
    assert rows.shape == (3, 3, 3)
    assert np.array_equal(rows[0], full)
    assert np.array_equal(rows[2], f.hessian([2.0, 2.0], -0.5))
    assert f.batch_hessian(np.zeros((0, 2)), np.zeros(0), wrt=p).shape == (0, 2, 2)
    # A value given once for every row is that value in each row.
    once = f.batch_hessian([0.3, 0.8], np.array([1.2, 0.0, -0.5]), wrt=[q, 0])
    tiled = f.batch_hessian(np.tile([0.3, 0.8], (3, 1)), np.array([1.2, 0.0, -0.5]), wrt=[q, p])
    assert np.array_equal(once, tiled)
    assert f.batch_hessian([0.3, 0.8], 1.2, rows=2).shape == (2, 3, 3)
    # A parameter that is not an input is read at each call, as a call reads it.
    w.set_value(1.0)
    np.testing.assert_allclose(f.hessian([0.3, 0.8], 1.2, wrt=p), 2.0 * full[:2, :2], rtol=1e-15)
    # The Hessian of a function of parameters: differentiated as the placeholders are.
    g = zk.function([w], w * w * w)
    assert g.hessian(2.0).tolist() == [[12.0]]


@pytest.mark.parametrize(
    ("name", "build", "expected"),
    [
        # Entries that are constants, off the diagonal too: both triangles hold them.
        ("x*y + x*x", lambda x, y: x * y + x * x, [[2.0, 1.0], [1.0, 0.0]]),
        ("3*x*y - y*y", lambda x, y: 3.0 * x * y - y * y, [[0.0, 3.0], [3.0, -2.0]]),
        ("x*y*y", lambda x, y: x * y * y, [[0.0, 2.0 * 1.5], [2.0 * 1.5, 2.0 * 0.5]]),
    ],
)
def test_hessians_hold_known_entries_in_both_triangles(name, build, expected):
    x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
    f = zk.function([x, y], build(x, y))
    assert f.hessian(0.5, 1.5).tolist() == expected, name
    rows = f.batch_hessian(np.array([0.5, 0.5]), np.array([1.5, 1.5]))
    assert rows.tolist() == [expected, expected], name
    assert f.batch_hessian(0.5, 1.5, rows=3).tolist() == [expected] * 3, name
    assert f.hessian(0.5, 1.5, wrt=[y, x]).tolist() == [row[::-1] for row in expected[::-1]], name


def test_batch_hessian_reads_a_value_given_once_without_a_copy_per_row():
    # Peak memory in a fresh process: the result's 16 MiB and blocks of rows,
    # not the 16 lanes of values given once written into each of 2**21 rows
    # (256 MiB).
    program = """
import resource, numpy as np, zarnik as zk
x, a, b = zk.Undefined(name="x"), zk.Undefined(dim=4, name="a"), zk.Undefined(dim=4, name="b")
c, d = zk.Undefined(dim=4, name="c"), zk.Undefined(dim=4, name="d")
f = zk.function([x, a, b, c, d], zk.sin(x) * (zk.dot(a, b) + zk.dot(c, d)))
values = (0.5, [1.0, 2.0, 3.0, 4.0], [0.5] * 4, [0.25] * 4, [2.0] * 4)
f.batch_hessian(*values, wrt=[x], rows=4096)
rows = 2**21
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
hessians = f.batch_hessian(*values, wrt=[x], rows=rows)
grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
assert hessians.shape == (rows, 1, 1) and (hessians == f.hessian(*values, wrt=x)[0, 0]).all()
print(grown * 1024 / hessians.nbytes)
"""
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert float(done.stdout) < 4.0


def test_a_block_in_any_order_holds_the_bits_of_the_whole_matrix():
    # Each entry is the derivative along the lane that comes first among the
    # function's inputs, whatever the order of `wrt`.
    p, q, s = zk.Undefined(dim=4, name="p"), zk.Undefined(dim=3, name="q"), zk.Undefined(name="s")
    t = zk.exp(zk.sum(p) * 0.1 + s * 0.2)
    f = zk.function([p, q, s], t * zk.sin(zk.sum(q) * s + t) + zk.sum(p * p) * s + zk.dot(q, q) * t)
    at = ([0.1, -0.2, 0.3, 0.4], [0.5, -0.6, 0.7], 0.8)
    full = f.hessian(*at)
    lanes = {"p": [0, 1, 2, 3], "q": [4, 5, 6], "s": [7]}
    for wrt in ([s, p], [q, s, p], [p, q], [q], [s, q]):
        order = [i for v in wrt for i in lanes[v.name]]
        block = full[np.ix_(order, order)]
        assert np.array_equal(f.hessian(*at, wrt=wrt), block)
        rows = f.batch_hessian(*(np.array([v]) for v in at), wrt=wrt)
        assert np.array_equal(rows[0], block)


def test_jvp_and_hvp():
    p, q = zk.Undefined(dim=2, name="p"), zk.Undefined(name="q")
    y = zk.exp(p.x * q) * zk.sin(p.y) + q * q * q
    f = zk.function([p, q], [y, p * q])
    values, tangents = [[0.3, 0.8], 1.2], [[1.0, -0.5], 0.25]
    outputs, derivatives = f.jvp(values, tangents)
    assert outputs == f(*values)
    jacobian = f.jacobian(*values)
    np.testing.assert_allclose(np.concatenate(derivatives), jacobian @ [1.0, -0.5, 0.25], rtol=1e-14)
    single = zk.function([p, q], y)
    value, derivative = single.jvp(values, tangents)
    assert value == single(*values) and len(derivative) == 1
    hessian = single.hessian(*values)
    for vector in ([1.0, 0.0, 0.0], [0.5, -2.0, 0.75]):
        np.testing.assert_allclose(single.hvp(values, vector), hessian @ vector, rtol=1e-14, atol=1e-15)
    assert single.hvp(values, np.array([1.0, 0.0, 0.0])).shape == (3,)


def function_of_p_and_q():
    p, q = zk.Undefined(dim=2, name="p"), zk.Undefined(name="q")
    return p, q, zk.function([p, q], zk.dot(p, p) * q)


FAILURES = [
    (
        "a Hessian of a vector output",
        lambda p, q, f: zk.function([p, q], p * q).hessian([1, 2], 3),
        ValueError,
        "a Hessian needs a function of one scalar output, not of 2 lanes",
    ),
    (
        "wrt that is not an input",
        lambda p, q, f: f.hessian([1, 2], 3, wrt=zk.Undefined(name="r")),
        ValueError,
        "wrt names Undefined<1>#{}(r), which is not an input of the function",
    ),
    ("wrt twice", lambda p, q, f: f.hessian([1, 2], 3, wrt=[q, 1]), ValueError, "wrt names input 1 twice"),
    (
        "wrt a number",
        lambda p, q, f: f.hessian([1, 2], 3, wrt=1),
        TypeError,
        "wrt must be None, an input Expression or a sequence of input positions or input Expressions",
    ),
    (
        "wrt holding a float",
        lambda p, q, f: f.batch_hessian(np.ones((1, 2)), np.ones(1), wrt=[p, 0.0]),
        TypeError,
        "wrt must be None, an input Expression or a sequence of input positions or input Expressions",
    ),
    (
        "a Hessian with too few values",
        lambda p, q, f: f.hessian([1, 2]),
        TypeError,
        "the function takes 2 input values, not 1",
    ),
    (
        "jvp values that are not a sequence",
        lambda p, q, f: f.jvp(1.0, [1.0, 2.0]),
        TypeError,
        "values must be a sequence of one value per input, not float",
    ),
    (
        "jvp with too few tangents",
        lambda p, q, f: f.jvp([[1, 2], 3], [1.0]),
        TypeError,
        "the function takes 2 tangents, not 1",
    ),
    (
        "a jvp tangent of another dimension",
        lambda p, q, f: f.jvp([[1, 2], 3], [1.0, 2.0]),
        ValueError,
        "tangent 0 of the function has 2 lanes, not 1",
    ),
    (
        "an hvp of a vector output",
        lambda p, q, f: zk.function([p, q], p * q).hvp([[1, 2], 3], [1, 2, 3]),
        ValueError,
        "a Hessian-vector product needs a function of one scalar output, not of 2 lanes",
    ),
    (
        "an hvp with a short vector",
        lambda p, q, f: f.hvp([[1, 2], 3], [1, 2]),
        ValueError,
        "the vector must have the function's 3 input lanes, not 2",
    ),
    (
        "an hvp with a matrix",
        lambda p, q, f: f.hvp([[1, 2], 3], np.ones((3, 1))),
        ValueError,
        "the vector must be one-dimensional, one value per input lane",
    ),
]


@pytest.mark.parametrize("name, call, error, text", FAILURES, ids=[case[0] for case in FAILURES])
def test_failures(name, call, error, text):
    p, q, f = function_of_p_and_q()
    with pytest.raises(error) as raised:
        call(p, q, f)
    message = str(raised.value)
    if "{}" in text:
        prefix, suffix = text.split("{}")
        assert message.startswith(prefix) and message.endswith(suffix)
    else:
        assert message == text


def test_derivatives_of_a_function_of_no_input_lanes_are_empty():
    w = zk.Parameter(2.0, name="w")
    f = zk.function([], w * w)
    assert f.hessian().shape == (0, 0)
    assert f.hvp([], []).shape == (0,)
    assert f.jvp([], []) == ((4.0,), (0.0,))
    # As a call, they read the parameters and fail where the call fails.
    g = zk.function([], zk.sqrt(w - 3.0))
    for call in (lambda: g.hessian(), lambda: g.hvp([], [])):
        with pytest.raises(ValueError, match="symbolic value lanes must be finite"):
            call()


def test_a_hessian_touches_no_node():
    w = zk.Parameter(2.0, name="w")
    x = zk.Undefined(name="x")
    f = zk.function([x, w], w * x * x)
    assert f.hessian(3.0, 0.5).tolist() == [[1.0, 6.0], [6.0, 0.0]]
    assert w.value == (2.0,) and w.grad is None
