"""Compiled functions of inputs: values, Jacobians and batches over NumPy
arrays, bit for bit what the expressions give, and nothing written into the
graph."""

import math
import struct
import threading
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zarnik as zk
from random_graphs import build_graph, leaf, operation


def bits(lanes):
    return tuple(struct.pack("<d", float(v)) for v in lanes)


def outcome(call):
    try:
        return "ok", call()
    except Exception as error:  # noqa: BLE001 - the type and text are what is compared
        return type(error), str(error)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(leaf, min_size=1, max_size=4), st.lists(operation, min_size=1, max_size=12),
       st.lists(st.booleans(), min_size=4, max_size=4), st.floats(-0.5, 0.5), st.data())
def test_a_function_is_its_expressions_with_the_inputs_set(leaves, operations, chosen, shift, data):
    builder = build_graph(leaves, operations)
    parameters = [node.expression for node in builder.parameters]
    inputs = [p for p, take in zip(parameters, chosen) if take]
    outputs = [builder.nodes[-1].expression, builder.nodes[len(builder.nodes) // 2].expression]
    f = zk.function(inputs, outputs)
    at = [tuple(v + shift for v in p.value) for p in inputs]

    def by_expressions():
        original = [p.value for p in inputs]
        for p, value in zip(inputs, at):
            p.set_value(value)
        try:
            return tuple(bits(o.eval()) for o in outputs)
        finally:
            for p, value in zip(inputs, original):
                p.set_value(value)

    called = outcome(lambda: tuple(bits(lanes) for lanes in f(*at)))
    assert called == outcome(by_expressions)
    assert all(p.grad is None for p in parameters), "a call wrote a gradient"
    if called[0] != "ok":
        return
    # Each row of the Jacobian is what backward with a unit seed adds into the inputs.
    jacobian = f.jacobian(*at)
    assert jacobian.shape == (f.output_lanes, f.input_lanes)
    for p, value in zip(inputs, at):
        p.set_value(value)
    row = 0
    for output in outputs:
        for lane in range(output.dim):
            for each in outputs:
                each.zero_grad()
            output.backward([1.0 if i == lane else 0.0 for i in range(output.dim)])
            expected = [g for p in inputs for g in (p.grad or (0.0,) * p.dim)]
            assert bits(jacobian[row]) == bits(expected)
            row += 1
    outputs[0].zero_grad()
    outputs[1].zero_grad()
    # Rows of a batch are single calls, made with the parameters' values as
    # the batch starts; the first row that fails is the batch's error. Graphs
    # this small run 512 rows to a block: the rows may end in a second one.
    if inputs:
        rows = data.draw(st.integers(1, 8) | st.integers(500, 1100), label="rows")
        arrays = [np.array([[v + 0.001 * r for v in value] for r in range(rows)]) for value in at]
        nan_row = data.draw(st.one_of(st.none(), st.none(), st.integers(0, rows - 1)), label="row with a NaN")
        if nan_row is not None:
            arrays[-1][nan_row, -1] = math.nan
        taken = {p.id for p in inputs}
        for p in parameters:
            if p.id not in taken:
                p.set_value([v * 0.75 + 0.125 for v in p.value])
        row = lambda r: [tuple(a[r]) for a in arrays]
        single = [outcome(lambda: f(*row(r))) for r in range(rows)]
        failing = [r for r in range(rows) if single[r][0] != "ok"]
        if failing:
            kind, text = single[failing[0]]
            assert outcome(lambda: f.batch(*arrays)) == (kind, f"{text} (row {failing[0]})")
            return
        batch = f.batch(*arrays)
        for j, output in enumerate(outputs):
            values = batch[j].reshape(rows, output.dim)
            assert [bits(values[r]) for r in range(rows)] == [bits(single[r][1][j]) for r in range(rows)]
        jacobians = f.batch_jacobian(*arrays)
        for r in range(rows):
            assert bits(jacobians[r].ravel()) == bits(f.jacobian(*row(r)).ravel())


def circle():
    """Residuals of a circle fit: distance to the centre minus the radius, per point."""
    cx, cy, radius = zk.Parameter(0.1, name="cx"), zk.Parameter(-0.2, name="cy"), zk.Parameter(1.5, name="r")
    points = [(math.cos(t) * 2 + 0.3, math.sin(t) * 2 - 0.1) for t in np.linspace(0, 6, 12)]
    residuals = []
    for x, y in points:
        dx, dy = cx - x, cy - y
        # sqrt is not an operation of the library: the squared distance against the squared radius.
        residuals.append(dx * dx + dy * dy - radius * radius)
    return (cx, cy, radius), residuals


def test_jacobians_match_central_differences():
    unknowns, residuals = circle()
    f = zk.function(unknowns, residuals)
    at = [0.2, 0.1, 1.8]
    jacobian = f.jacobian(*at)
    step = 1e-6
    for column in range(3):
        up, down = list(at), list(at)
        up[column] += step
        down[column] -= step
        numeric = (np.array(f(*up)) - np.array(f(*down))) / (2 * step)
        assert jacobian[:, column] == pytest.approx(numeric.ravel(), rel=1e-6, abs=1e-6)
    # A placeholder input, a vector input and a vector output.
    x = zk.Undefined(dim=2, name="x")
    a = zk.Parameter(0.5, name="a")
    y = zk.vec2(x.x * zk.sin(a * x.y), zk.cos(x.x) / (a + 2))
    g = zk.function([x, a], y)
    point = ([0.4, -1.3], 0.7)
    numeric = []
    for k, lanes in enumerate([list(point[0]), [point[1]]]):
        for i in range(len(lanes)):
            moved = [list(point[0]), [point[1]]]
            moved[k][i] += step
            high = np.array(g(*moved))
            moved[k][i] -= 2 * step
            numeric.append((high - np.array(g(*moved))) / (2 * step))
    assert g.jacobian(*point) == pytest.approx(np.array(numeric).T, rel=1e-6, abs=1e-7)


def test_calls_touch_no_node_and_read_other_parameters():
    x = zk.Undefined(name="x")
    w, b = zk.Parameter(2.0, name="w"), zk.Parameter(1.0, name="b")
    f = zk.function([x, w], w * x + b)
    assert f(3.0, 10.0) == (31.0,)
    assert w.value == (2.0,) and w.grad is None and b.grad is None
    b.set_value(-1.0)
    assert f(3.0, 10.0) == (29.0,)
    value, gradient = f.value_and_grad(3.0, 10.0)
    assert value == 29.0 and gradient.tolist() == [10.0, 3.0]
    assert w.grad is None
    # An output that does not depend on an input has zeros in its columns.
    assert zk.function([x, b], w * 3.0).jacobian(1.0, 1.0).tolist() == [[0.0, 0.0]]
    # A placeholder that is not an input is refused, named, when the function is made.
    u = zk.Undefined(dim=2, name="u")
    with pytest.raises(ValueError) as raised:
        zk.function([w], w * x + u.y)
    assert str(raised.value) == f"function outputs depend on placeholders that are not inputs: {x!r}, {u!r}"


def test_answers_take_the_shape_of_the_question():
    x = zk.Undefined(name="x")
    v = zk.Undefined(dim=3, name="v")
    single = zk.function(x, x * 2)
    several = zk.function([x, v], [x * 2, v * x])
    assert single(1.5) == (3.0,)
    assert several(2.0, [1, 2, 3]) == ((4.0,), (2.0, 4.0, 6.0))
    assert several(2.0, np.array([1.0, 2.0, 3.0])) == ((4.0,), (2.0, 4.0, 6.0))
    assert single(np.float32(0.5)) == (1.0,)
    xs = np.arange(4.0)
    vs = np.arange(12.0).reshape(4, 3)
    assert single.batch(xs).shape == (4,)
    assert single.batch(xs.reshape(4, 1)).tolist() == [0.0, 2.0, 4.0, 6.0]
    first, second = several.batch(xs, vs)
    assert first.shape == (4,) and second.shape == (4, 3)
    assert second.tolist() == (vs * xs[:, None]).tolist()
    assert several.batch_jacobian(xs, vs).shape == (4, 4, 4)
    assert single.batch(np.arange(4)).dtype == np.float64  # integers are converted
    assert [e.id for e in several.inputs] == [x.id, v.id] and len(several.outputs) == 2
    assert (several.input_lanes, several.output_lanes) == (4, 4)
    assert repr(several) == "<zarnik.Function of 2 inputs (4 lanes) to 2 outputs (4 lanes)>"


def test_what_a_function_refuses():
    x = zk.Undefined(dim=2, name="x")
    p = zk.Parameter(1.0, name="p")
    f = zk.function([x, p], x.x * p)
    cases = [
        (lambda: zk.function([zk.Constant(1.0)], p), ValueError, "function inputs must be placeholders or parameters"),
        (lambda: zk.function([p, p], p), ValueError, "function inputs must be distinct"),
        (lambda: zk.function([p], []), ValueError, "a function needs at least one output"),
        (lambda: zk.function(p, 3.0), TypeError, "outputs must be an Expression or a sequence of Expressions"),
        (lambda: zk.function([1.0], p), TypeError, "inputs must be an Expression or a sequence of Expressions"),
        (lambda: f([1, 2]), TypeError, "the function takes 2 input values, not 1"),
        (lambda: f([1, 2], [1, 2]), ValueError, "input 1 of the function has 1 lane, not 2"),
        (lambda: f([1, 2, 3, 4, 5], 1), ValueError, "input 0 must contain 1..4 values"),
        (lambda: f([1, float("inf")], 1), ValueError, "symbolic value lanes must be finite"),
        (lambda: f([1e300, 1], 1e300), ValueError, "symbolic value lanes must be finite"),
        (lambda: zk.function(x, x).value_and_grad([1, 2]), ValueError,
         "value_and_grad needs a function of one scalar output"),
        (lambda: f.batch(np.zeros((3, 2))), TypeError, "the function takes 2 input arrays, not 1"),
        (lambda: f.batch(np.zeros((3, 3)), np.zeros(3)), ValueError, "input array 0 must have the shape (rows, 2)"),
        (lambda: f.batch(np.zeros((3, 2)), np.zeros(4)), ValueError, "input arrays must have the same number of rows"),
        (lambda: f.batch(np.zeros((3, 2)), np.zeros((3, 2))), ValueError,
         "input array 1 must have the shape (rows,) or (rows, 1)"),
        (lambda: f.batch(np.array([[1.0, 1.0], [1e300, 1.0]]), np.array([1.0, 1e300])), ValueError,
         "symbolic value lanes must be finite (row 1)"),
        (lambda: f.batch(np.array([[1.0, 1.0], [math.nan, 1.0]]), np.ones(2)), ValueError,
         "symbolic value lanes must be finite (row 1)"),
    ]
    for call, error, text in cases:
        with pytest.raises(error) as raised:
            call()
        assert type(raised.value) is error and str(raised.value) == text


def test_a_batch_lets_other_threads_run():
    x = zk.Undefined(name="x")
    f = zk.function(x, zk.sin(x) * zk.cos(x * 3) + x)
    xs = np.linspace(0, 1, 4_000_000)
    done = threading.Event()
    worker = threading.Thread(target=lambda: (f.batch(xs), done.set()))
    started = time.perf_counter()
    worker.start()
    gaps, last = [], time.perf_counter()
    while not done.is_set():
        now = time.perf_counter()
        gaps.append(now - last)
        last = now
    worker.join()
    elapsed = time.perf_counter() - started
    # Had the batch kept the interpreter's lock, this loop would have stood
    # still for the whole batch.
    assert len(gaps) > 10 and max(gaps) < elapsed / 2
