"""The package's elementary functions and vector helpers as Python sees them:
math's bits on every lane and by every route, failures outside the domain,
operands converted as the operators convert theirs, and _zarnik untouched."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _zarnik
import zarnik as zk

# The C library's values, through Python's math module (the same libm).
from random_graphs import BINARY, UNARY

LANES_FINITE = "symbolic value lanes must be finite"


def libm(function, *args):
    """math's value, or None where the C library's result is not finite."""
    try:
        result = function(*args)
    except ValueError, OverflowError:
        return None
    return result if math.isfinite(result) else None


@settings(max_examples=200, deadline=None)
@given(st.sampled_from(sorted(UNARY)), st.floats(-800.0, 800.0, allow_nan=False))
def test_unary_functions_give_maths_bits_by_every_route(name, x):
    expected = libm(UNARY[name], x)
    build = getattr(zk, name)
    p = zk.Parameter(x)
    y = build(p)
    assert y.op == "".join(part.capitalize() for part in name.split("_"))
    f = zk.function([p], y)
    if expected is None:
        for call in (lambda: build(zk.Constant(x)), y.eval, lambda: f(x), lambda: f.batch(np.array([0.0, x]))):
            with pytest.raises(ValueError, match=LANES_FINITE):
                call()
        return
    assert y.eval() == (expected,)
    assert build(x).is_constant and build(x).value == (expected,)
    assert f(x) == (expected,)
    assert zk.compile(y).eval() == (expected,)
    assert f.batch(np.array([x, x])).tolist() == [expected, expected]


@settings(max_examples=200, deadline=None)
@given(st.sampled_from(sorted(BINARY)), st.floats(-5.0, 5.0, allow_nan=False), st.floats(-5.0, 5.0, allow_nan=False))
def test_binary_functions_give_maths_bits_and_broadcast(name, a, b):
    expected = libm(BINARY[name], a, b)
    build = getattr(zk, name)
    if expected is None:
        with pytest.raises(ValueError, match=LANES_FINITE):
            build(zk.Parameter(a), b).eval()
        return
    assert build(zk.Parameter(a), b).eval() == (expected,)
    assert build(a, zk.Parameter(b)).eval() == (expected,)
    assert build(a, b).value == (expected,)
    # A scalar operand broadcasts over the lanes of a vector.
    assert build(zk.Parameter(a, a, a), b).eval() == (expected,) * 3


def test_functions_compose_with_the_rest_of_the_package():
    x = zk.Undefined(name="x")
    amplitude, decay = zk.Parameter(2.0, name="A"), zk.Parameter(0.5, name="k")
    model = amplitude * zk.exp(-decay * x) * zk.cos(x)
    f = zk.function([x, amplitude, decay], model)
    rows = np.linspace(0.0, 3.0, 7)
    expected = [2.0 * math.exp(-0.5 * v) * math.cos(v) for v in rows]
    assert f.batch(rows, np.full(7, 2.0), np.full(7, 0.5)).tolist() == pytest.approx(expected, rel=1e-15)
    jacobian = f.jacobian(1.0, 2.0, 0.5)
    assert jacobian[0, 1] == pytest.approx(math.exp(-0.5) * math.cos(1.0), rel=1e-15)
    assert jacobian[0, 2] == pytest.approx(-2.0 * math.exp(-0.5) * math.cos(1.0), rel=1e-15)
    assert "Exp" in zk.to_dot(model)


def test_vector_helpers():
    a, b = zk.Parameter(1.0, 2.0, 2.0), zk.Parameter(0.0, 1.0, 0.0)
    assert zk.norm(a).eval() == (3.0,)
    assert zk.dot(a, b).eval() == (2.0,)
    assert zk.sum(a).eval() == (5.0,)
    assert zk.squared_norm(a).eval() == (9.0,)
    assert zk.cross(a, b).eval() == (-2.0, 0.0, 1.0)
    assert zk.normalize(zk.Parameter(0.0, 3.0)).eval() == (0.0, 1.0)
    with pytest.raises(ValueError, match="dot needs symbolic values of one dimension, not 3 and 2"):
        zk.dot(a, [1.0, 2.0])
    with pytest.raises(ValueError, match="cross needs two symbolic values of 3 lanes, not 2 and 2"):
        zk.cross([1.0, 2.0], [3.0, 4.0])


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: zk.sqrt("4"), "sqrt value must be a symbolic value or numeric constant"),
        (lambda: zk.pow(zk.Parameter(1.0), None), "pow exponent must be a symbolic value or numeric constant"),
        (lambda: zk.atan2(object(), 1.0), "atan2 y must be a symbolic value or numeric constant"),
        (lambda: zk.dot([1.0, 2.0], {}), "dot b must be a symbolic value or numeric constant"),
    ],
)
def test_operands_of_the_wrong_kind_are_refused(call, text):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == text


def test_the_extension_module_is_unchanged():
    for name in ("__pow__", "__rpow__", "__abs__"):
        assert not hasattr(_zarnik.Expression, name)
    for name in UNARY | BINARY:
        assert not hasattr(_zarnik, name)
    with pytest.raises(TypeError):
        zk.Parameter(2.0) ** 2
