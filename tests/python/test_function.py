"""Compiled functions of inputs: values, Jacobians and batches over NumPy
arrays, bit for bit what the expressions give, and nothing written into the
graph."""

import math
import pickle
import re
import struct
import threading
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zarnik as zk
from independent_ad import gradients, import_torch, needs_torch
from random_graphs import (
    assert_sweeps_agree,
    build_graph,
    graph_nodes,
    leaf,
    operation,
    sweep_tolerance,
    values_by_calls,
)


def bits(lanes):
    return tuple(struct.pack("<d", float(v)) for v in lanes)


def outcome(call):
    try:
        return "ok", call()
    except Exception as error:  # noqa: BLE001 - the type and text are what is compared
        return type(error), str(error)


NAMED_NODE = re.compile(r"(.*): \w+ gave (?:inf|-inf|nan) at node #(\d+)")


def without_node(called, nodes):
    """A function's outcome without what its text says of the node where a
    value stopped being finite, which must be one of `nodes` (ids)."""
    kind, text = called
    found = NAMED_NODE.fullmatch(text) if kind != "ok" else None
    if found is None:
        return called
    assert int(found.group(2)) in nodes, text
    return kind, found.group(1)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.lists(leaf, min_size=1, max_size=4),
    st.lists(operation, min_size=1, max_size=12),
    st.lists(st.booleans(), min_size=4, max_size=4),
    st.floats(-0.5, 0.5),
    st.data(),
)
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

    nodes = {node.id for node in graph_nodes(outputs)}
    called = outcome(lambda: tuple(bits(lanes) for lanes in f(*at)))
    assert without_node(called, nodes) == outcome(by_expressions)
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
        single = [outcome(lambda r=r: f(*row(r))) for r in range(rows)]
        failing = [r for r in range(rows) if single[r][0] != "ok"]
        if failing:
            kind, text = single[failing[0]]
            # The row goes before what the text says of the node.
            before, named, after = text.partition(": ")
            in_row = f"{before} (row {failing[0]}){named}{after}"
            assert outcome(lambda: f.batch(*arrays)) == (kind, in_row)
            return
        batch = f.batch(*arrays)
        for j, output in enumerate(outputs):
            values = batch[j].reshape(rows, output.dim)
            assert [bits(values[r]) for r in range(rows)] == [bits(single[r][1][j]) for r in range(rows)]
        jacobians = f.batch_jacobian(*arrays)
        tolerance = sweep_tolerance(outputs, inputs, values_by_calls(inputs, arrays))
        for r in range(rows):
            single = f.jacobian(*row(r))
            if f.input_lanes >= f.output_lanes:  # reverse sweeps: the single call's bits
                assert bits(jacobians[r].ravel()) == bits(single.ravel())
                continue
            # Forward sweeps: the same numbers to rounding, as far as the graph's conditioning lets
            # rounding go; where an output does not depend on an input, an exact zero where the
            # reverse sweep may carry 0 times an infinite derivative.
            ours, theirs = jacobians[r].ravel(), single.ravel()
            finite = np.isfinite(ours) & np.isfinite(theirs)
            assert_sweeps_agree(ours, theirs, tolerance[r])
            assert all(
                np.isnan(b) or a == 0.0 or math.isinf(a) == math.isinf(b)
                for a, b in zip(ours[~finite], theirs[~finite])
            )


# Forward and reverse sweeps multiply the same partials in other orders; where
# they cancel, each sweep is right only to the graph's conditioning.
SWEEP_CASES = [
    # ((x+y)^2 - x^2 - y^2) / (x*y) is 2, made of terms of 1/y: at y near 0 the sweeps differ by 2e-7.
    (lambda p: ((p.x + p.y) * (p.x + p.y) - p.x * p.x - p.y * p.y) / (p.x * p.y), (0.7, 1e-9), True),
    (lambda p: zk.sin(p.x * p.y) / (p.x * p.y), (-1.8400222857745503, 1.2402037688185511e-08), True),
    # Nothing cancels: the bound is some tens of eps of the derivative.
    (lambda p: (p.x * p.y + p.x) / (p.x * p.y - p.x), (-0.3378906926401335, 0.09929525578712871), False),
    (lambda p: zk.exp(p.x) * zk.cos(p.y * p.x), (0.7, -1.3), False),
]


@pytest.mark.parametrize(("make", "at", "cancels"), SWEEP_CASES)
def test_forward_and_reverse_sweeps_agree_to_the_graphs_conditioning(make, at, cancels):
    p = zk.Parameter(1.0, 1.0)
    outputs = [make(p), p * 3.0, p.y + p.x]  # more output lanes than input lanes: forward sweeps
    f = zk.function([p], outputs)
    rows = np.array([at])
    forward, reverse = f.batch_jacobian(rows)[0], f.jacobian(at)
    bound = sweep_tolerance(outputs, [p], values_by_calls([p], [rows]))[0]
    assert_sweeps_agree(forward, reverse, bound)
    if cancels:  # no fixed tolerance holds here
        assert not np.allclose(forward, reverse, rtol=1e-9, atol=1e-12)
    else:
        assert np.all(bound <= 1e-12 * np.maximum(1.0, np.abs(reverse)))


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


@needs_torch
def test_jacobians_match_pytorch():
    torch = import_torch()
    x = zk.Undefined(dim=2, name="x")
    a, b = zk.Parameter(0.5, name="a"), zk.Parameter(-1.5, name="b")
    outputs = [zk.vec2(x.x * zk.sin(a * x.y), zk.cos(x.x) / (a + 2)) - b, x * x.y + a]
    f = zk.function([a, x], outputs)

    def by_torch(a_, x_):
        b_ = torch.tensor(-1.5, dtype=torch.float64)
        first = torch.stack([x_[0] * torch.sin(a_[0] * x_[1]), torch.cos(x_[0]) / (a_[0] + 2)]) - b_
        return torch.cat([first, x_ * x_[1] + a_])

    at = [(0.7,), (0.4, -1.3)]
    jacobian = f.jacobian(*at)
    for row in range(f.output_lanes):
        seed = [1.0 if lane == row else 0.0 for lane in range(f.output_lanes)]
        expected = [g for lanes in gradients(torch, by_torch, at, seed) for g in lanes]
        assert jacobian[row].tolist() == pytest.approx(expected, rel=1e-12, abs=1e-15)


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
    assert repr(single) == "<zarnik.Function of 1 input (1 lane) to 1 output (1 lane)>"


def test_a_functions_parameters_are_those_below_its_outputs_that_are_not_inputs():
    x = zk.Undefined(name="x")
    a, b, c = zk.Parameter(1.0, name="a"), zk.Parameter(2.0, 3.0, name="b"), zk.Parameter(4.0, name="c")
    unused = zk.Parameter(5.0, name="unused")
    # Each once, operands before their users, the outputs in turn; an input parameter is not one of them.
    cases = [
        (x, x * 2.0, []),
        (x, [b * x + a, a * c, b.y], ["b", "a", "c"]),
        ([x, b], [b * x + a, c * a], ["a", "c"]),
        (x, (c + unused * 0.0) * (a + x), ["c", "unused", "a"]),
    ]
    for inputs, outputs, names in cases:
        f = zk.function(inputs, outputs)
        assert [p.name for p in f.parameters] == names, names
        assert all(p.is_parameter for p in f.parameters)
        # The order in which a batch reads their values, and loading keeps it with new nodes.
        loaded = pickle.loads(pickle.dumps(f))
        assert [p.name for p in loaded.parameters] == names
        assert not {p.id for p in loaded.parameters} & {p.id for p in f.parameters}
    f = zk.function(x, b * x + a)
    f.parameters[0].set_value(-1.0, 0.5)
    assert b.value == (-1.0, 0.5) and f(2.0) == (-1.0, 2.0)  # the parameters themselves, not copies


def test_what_a_function_refuses():
    x = zk.Undefined(dim=2, name="x")
    p = zk.Parameter(1.0, name="p")
    f = zk.function([x, p], x.x * p)
    overflowed = f"Multiply gave inf at node #{f.outputs[0].id}"
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
        (lambda: f([1e300, 1], 1e300), ValueError, f"symbolic value lanes must be finite: {overflowed}"),
        (
            lambda: zk.function(x, x).value_and_grad([1, 2]),
            ValueError,
            "value_and_grad needs a function of one scalar output",
        ),
        (lambda: f.batch(np.zeros((3, 2))), TypeError, "the function takes 2 input arrays, not 1"),
        (
            lambda: f.batch(np.zeros((3, 3)), np.zeros(3)),
            ValueError,
            "input array 0 must have the shape (rows, 2), or (2,) or (1, 2) for one value for every row",
        ),
        (
            lambda: f.batch(np.zeros((3, 2)), np.zeros(4)),
            ValueError,
            "input arrays 0 and 1 have different numbers of rows (3 and 4)",
        ),
        (
            lambda: f.batch(np.zeros((3, 2)), np.zeros((3, 2))),
            ValueError,
            "input array 1 must have the shape (rows,) or (rows, 1), or be one number for every row",
        ),
        (
            lambda: f.batch(np.array([[1.0, 1.0], [1e300, 1.0]]), np.array([1.0, 1e300])),
            ValueError,
            f"symbolic value lanes must be finite (row 1): {overflowed}",
        ),
        (
            lambda: f.batch(np.array([[1.0, 1.0], [math.nan, 1.0]]), np.ones(2)),
            ValueError,
            "symbolic value lanes must be finite (row 1)",
        ),
    ]
    for call, error, text in cases:
        with pytest.raises(error) as raised:
            call()
        assert type(raised.value) is error and str(raised.value) == text


def test_a_batch_lets_other_threads_run():
    x = zk.Undefined(name="x")
    f = zk.function(x, zk.sin(x) * zk.cos(x * 3) + x)
    xs = np.linspace(0, 1, 4_000_000)
    window = {}

    def work():
        window["start"] = time.perf_counter()
        f.batch(xs)
        window["end"] = time.perf_counter()

    worker = threading.Thread(target=work)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    # The worker's clock brackets the batch itself. Had the batch kept the
    # interpreter's lock, this thread could only tick before it began and
    # after it ended: the window would hold one long gap.
    start, end = window["start"], window["end"]
    inside = [start] + [t for t in ticks if start < t < end] + [end]
    gaps = [later - earlier for earlier, later in zip(inside, inside[1:])]
    assert len(inside) > 10 and max(gaps) < (end - start) / 2, (len(inside), max(gaps), end - start)


def test_a_zero_dimensional_array_is_the_number_it_holds():
    x = zk.Undefined(name="x")
    v = zk.Undefined(dim=2, name="v")
    f = zk.function([x, v], [x * v])
    for held in (np.array(2.0), np.array(2), np.array(2.0, dtype=np.float32), np.array(True)):
        assert f(held, np.array([1.0, 3.0])) == f(held.item(), [1.0, 3.0])
        assert f.jacobian(held, [1.0, 3.0]).tolist() == f.jacobian(held.item(), [1.0, 3.0]).tolist()
    # What it holds is converted as that number would be.
    for held in (np.array("1.5"), np.array(1 + 2j)):
        with pytest.raises(Exception) as by_array:
            f(held, [1.0, 3.0])
        with pytest.raises(Exception) as by_number:
            f(held[()], [1.0, 3.0])
        assert (type(by_array.value), str(by_array.value)) == (type(by_number.value), str(by_number.value))


def test_misaligned_rows_give_what_aligned_ones_give():
    x = zk.Undefined(name="x")
    v = zk.Undefined(dim=3, name="v")
    f = zk.function([x, v], [zk.sin(x) * v, x * x])
    xs, vs = np.linspace(-1.0, 1.0, 7), np.arange(21.0).reshape(7, 3)

    def misaligned(array):
        # The bytes of `array` one byte past an aligned address: NumPy marks it unaligned.
        raw = np.zeros(array.nbytes + 1, dtype=np.uint8)
        raw[1:] = np.frombuffer(array.tobytes(), dtype=np.uint8)
        moved = np.frombuffer(raw.data, dtype=np.float64, offset=1).reshape(array.shape)
        assert not moved.flags.aligned
        return moved

    by_aligned = f.batch(xs, vs)
    by_misaligned = f.batch(misaligned(xs), misaligned(vs))
    assert all(bits(a.ravel()) == bits(b.ravel()) for a, b in zip(by_aligned, by_misaligned))
    assert bits(f.batch_jacobian(misaligned(xs), misaligned(vs)).ravel()) == bits(f.batch_jacobian(xs, vs).ravel())


@pytest.mark.parametrize(
    "array",
    [
        np.array([1 + 2j, 3]),
        np.array(["1.5", "2"]),
        np.array([b"1"]),
        np.array(["2020-01-01"], dtype="datetime64[D]"),
        np.array([1], dtype="timedelta64[s]"),
        np.array([1.0, None]),
        np.zeros(2, dtype=[("a", "f8")]),
        [1.5, "2"],
    ],
    ids=lambda array: str(np.asarray(array).dtype),
)
def test_a_batch_takes_arrays_of_real_numbers_only(array):
    x = zk.Undefined(name="x")
    p = zk.Parameter(2.0, name="p")
    f = zk.function([p, x], x * p)
    rows = len(array)
    text = f"input array 1 must hold real numbers (booleans, integers or floats), not {np.asarray(array).dtype}"
    for call in (f.batch, f.batch_jacobian):
        with pytest.raises(TypeError) as raised:
            call(np.ones(rows), array)
        assert str(raised.value) == text


@pytest.mark.parametrize("dtype", [np.bool_, np.int8, np.uint64, np.int64, np.float16, np.float32, np.longdouble])
def test_a_batch_converts_booleans_integers_and_floats(dtype):
    x = zk.Undefined(name="x")
    f = zk.function(x, x * 3 + 1)
    array = np.array([0, 1, 1, 0, 1], dtype=dtype)
    assert bits(f.batch(array)) == bits(f.batch(array.astype(np.float64)))
    assert bits(f.batch(array.tolist())) == bits(f.batch(array.astype(np.float64)))


class RaisingOnConversion:
    """A value whose every conversion raises the given exception."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    def __array__(self, dtype=None, copy=None):
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError])
def test_an_interrupt_or_exhausted_memory_while_converting_propagates_as_itself(error):
    x = zk.Undefined(name="x")
    v = zk.Undefined(dim=2, name="v")
    f = zk.function([x, v], x * v)
    odd = RaisingOnConversion(error)
    calls = [
        lambda: f(odd, [1.0, 2.0]),
        lambda: f(1.0, [1.0, odd]),
        lambda: f.jacobian(1.0, (odd, 2.0)),
        lambda: zk.function(x, x * x).value_and_grad(odd),
        lambda: zk.compile(zk.Parameter(1.0, 2.0) * 2).backward([1.0, odd]),
        lambda: f.batch(odd, np.zeros((3, 2))),
        lambda: f.batch_jacobian(np.zeros(3), odd),
    ]
    for call in calls:
        with pytest.raises(error):
            call()
    # Any other failure of a conversion stays the argument's, as in _zarnik.
    with pytest.raises(RuntimeError) as by_call:
        f(RaisingOnConversion(ValueError("no")), [1.0, 2.0])
    with pytest.raises(RuntimeError) as by_module:
        zk.Parameter(RaisingOnConversion(ValueError("no")))
    assert str(by_call.value) == str(by_module.value)
    with pytest.raises(TypeError, match="^input array 0 must be convertible to an array of floats$"):
        f.batch(RaisingOnConversion(ValueError("no")), np.zeros((3, 2)))
