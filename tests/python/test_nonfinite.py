"""Compiled functions' choice of nonfinite: "raise" (the default) fails on a
value that is not finite, as evaluation does; "propagate" gives IEEE results
as NumPy does, inputs, outputs and derivatives alike, and keeps the choice
through pickles and copies."""

import copy
import io
import pickle

import numpy as np
import pytest

import zarnik as zk

LANES_FINITE = "symbolic value lanes must be finite"

# (name, build over a placeholder, NumPy's counterpart)
UNARY = [
    ("log", zk.log, np.log),
    ("sqrt", zk.sqrt, np.sqrt),
    ("exp", zk.exp, np.exp),
    ("reciprocal", lambda x: 1.0 / x, lambda v: np.divide(1.0, v)),
    ("x * inf-prone", lambda x: zk.exp(x) * x, lambda v: np.exp(v) * v),
    ("tanh", zk.tanh, np.tanh),
]
POINTS = np.array([0.0, -0.0, -1.0, 1000.0, np.inf, -np.inf, np.nan, 2.0])


def same(got, expected):
    """Equal lane by lane, NaN matching NaN and zeros their sign."""
    got, expected = np.asarray(got, dtype=float), np.asarray(expected, dtype=float)
    return got.shape == expected.shape and all(
        (np.isnan(a) and np.isnan(b)) or (a == b and np.signbit(a) == np.signbit(b))
        for a, b in zip(got.ravel(), expected.ravel())
    )


@pytest.mark.parametrize("name, build, reference", UNARY, ids=[case[0] for case in UNARY])
def test_propagate_gives_numpy_s_values_where_they_are_not_finite(name, build, reference):
    x = zk.Undefined()
    f = zk.function([x], build(x), nonfinite="propagate")
    assert f.nonfinite == "propagate"
    with np.errstate(all="ignore"):
        expected = reference(POINTS)
    assert same([f(v)[0] for v in POINTS], expected)
    assert same(f.batch(POINTS), expected)
    assert same(f.batch(POINTS, threads=2), expected)
    # The approximate kernels agree on which values are not finite.
    approximate = f.batch(POINTS, approximate=True)
    assert same(np.isfinite(approximate), np.isfinite(expected))


@pytest.mark.parametrize("name", ["less", "less_equal", "greater", "greater_equal", "equal", "not_equal"])
def test_comparisons_of_infinities_and_nan_give_numpy_s_answers(name):
    a, b = zk.Undefined(), zk.Undefined()
    f = zk.function([a, b], getattr(zk, name)(a, b), nonfinite="propagate")
    left = np.array([np.nan, np.nan, np.inf, -np.inf, np.inf, 1.0, 0.0])
    right = np.array([np.nan, 1.0, np.inf, np.inf, 1e308, np.nan, -0.0])
    expected = getattr(np, name)(left, right).astype(float)
    assert same(f.batch(left, right), expected)
    assert same([f(u, v)[0] for u, v in zip(left, right)], expected)


def test_logical_operations_take_nan_as_true():
    a, b = zk.Undefined(), zk.Undefined()
    f = zk.function([a, b], [zk.logical_and(a, b), zk.logical_or(a, b), zk.logical_not(a)], nonfinite="propagate")
    left = np.array([np.nan, np.nan, 0.0, np.inf])
    right = np.array([1.0, 0.0, np.nan, 0.0])
    got = f.batch(left, right)
    assert same(got[0], np.logical_and(left, right))
    assert same(got[1], np.logical_or(left, right))
    assert same(got[2], np.logical_not(left))


def test_propagated_derivatives_are_ieee_s():
    """The slope of log at 0 is inf, of sqrt at 0 inf, and a NaN input gives
    NaN derivatives, by every route."""
    x = zk.Undefined()
    f = zk.function([x], zk.log(x) + zk.sqrt(x), nonfinite="propagate")
    assert f.jacobian(0.0).tolist() == [[np.inf]]
    assert np.isnan(f.jacobian(np.nan)[0, 0])
    assert f.jvp([0.0], [1.0])[1] == (np.inf,)
    assert not np.isfinite(f.hessian(0.0)[0, 0])
    rows = np.array([0.0, 1.0, np.nan])
    np.testing.assert_array_equal(f.batch_jacobian(rows).ravel()[:2], [np.inf, 1.5])
    assert np.isnan(f.batch_jacobian(rows).ravel()[2])
    total, (gradient,) = f.batch_value_and_grad(rows)
    assert np.isnan(total) and gradient[0] == np.inf and gradient[1] == 1.5


def test_where_s_branch_not_taken_passes_an_exact_zero_also_when_propagating():
    x = zk.Undefined()
    f = zk.function([x], zk.where(zk.greater(x, 0.0), zk.log(x), 0.0), nonfinite="propagate")
    rows = np.array([0.0, 2.0, -1.0, np.inf])
    assert same(f.batch(rows), [0.0, np.log(2.0), 0.0, np.inf])
    assert same(f.batch_jacobian(rows).ravel(), [0.0, 0.5, 0.0, 0.0])
    assert f.jacobian(0.0).tolist() == [[0.0]] and f.hessian(0.0).tolist() == [[0.0]]
    # exp(log(0)) is 0 here, as in IEEE arithmetic, where "raise" fails.
    hidden = zk.where(zk.less(x, 1.0), zk.exp(zk.log(x)), 5.0)
    assert zk.function([x], hidden, nonfinite="propagate")(0.0) == (0.0,)
    with pytest.raises(ValueError, match=LANES_FINITE):
        zk.function([x], hidden)(0.0)


def test_raise_is_the_default_with_today_s_texts():
    x = zk.Undefined()
    f = zk.function([x], zk.log(x))
    assert f.nonfinite == "raise"
    for call, text in [
        (lambda: f(0.0), LANES_FINITE),
        (lambda: f(np.inf), LANES_FINITE),
        (lambda: f.batch(np.array([1.0, 0.0])), LANES_FINITE + " (row 1)"),
        (lambda: f.jacobian(-1.0), LANES_FINITE),
    ]:
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value).startswith(text)


def test_the_choice_travels_with_pickles_and_copies():
    x = zk.Undefined()
    f = zk.function([x], zk.log(x), nonfinite="propagate")
    for other in (pickle.loads(pickle.dumps(f)), copy.deepcopy(f), copy.copy(f)):
        assert other.nonfinite == "propagate"
        assert other(0.0) == (-np.inf,)
    strict = pickle.loads(pickle.dumps(zk.function([x], zk.log(x))))
    assert strict.nonfinite == "raise"
    # A graph file holds the graph, not the compiled function's choice.
    buffer = io.BytesIO()
    zk.save(f, buffer)
    assert zk.load(io.BytesIO(buffer.getvalue())).nonfinite == "raise"


@pytest.mark.parametrize("value", ["ignore", None, 1, "RAISE"])
def test_other_choices_are_refused(value):
    x = zk.Undefined()
    with pytest.raises(ValueError) as raised:
        zk.function([x], x, nonfinite=value)
    assert str(raised.value) == f"nonfinite must be 'raise' or 'propagate', not {value!r}"


def test_the_error_names_the_operation_and_the_node_where_the_value_was_made():
    """The node is the one whose id Expression.id and its repr (#id) give:
    where a value first stopped being finite, followed back from the check
    it fails through what it reached (sin(inf), a where taking exp(-inf))."""
    x = zk.Undefined()
    grown = zk.exp(x * 2.0)
    f = zk.function([x], zk.sin(grown) + 1.0)
    log = zk.log(x)
    hidden = zk.function([x], zk.where(zk.less(x, 1.0), zk.exp(log), 0.0))
    quotient = x / x
    cases = [
        (lambda: f(1000.0), f"{LANES_FINITE}: Exp gave inf at node #{grown.id}"),
        (lambda: f.jacobian(1000.0), f"{LANES_FINITE}: Exp gave inf at node #{grown.id}"),
        (lambda: f.value_and_grad(1000.0), f"{LANES_FINITE}: Exp gave inf at node #{grown.id}"),
        (lambda: f.batch(np.array([0.0, 1000.0])), f"{LANES_FINITE} (row 1): Exp gave inf at node #{grown.id}"),
        (
            lambda: f.batch_jacobian(np.array([0.0, 0.5, 1000.0])),
            f"{LANES_FINITE} (row 2): Exp gave inf at node #{grown.id}",
        ),
        (
            lambda: f.batch_value_and_grad(np.array([1000.0])),
            f"{LANES_FINITE} (row 0): Exp gave inf at node #{grown.id}",
        ),
        (lambda: hidden(0.0), f"{LANES_FINITE}: Log gave -inf at node #{log.id}"),
        (lambda: zk.function([x], quotient)(0.0), f"{LANES_FINITE}: Divide gave nan at node #{quotient.id}"),
        # An input that is not finite is no node's doing.
        (lambda: f(np.inf), LANES_FINITE),
    ]
    for call, text in cases:
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == text
    assert repr(grown).startswith(f"Expression<1>#{grown.id} ")


def test_the_extension_module_keeps_its_texts():
    p = zk.Parameter(1000.0)
    for call in (zk.exp(p).eval, zk.compile(zk.exp(p)).eval, zk.exp(p).backward):
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == LANES_FINITE
