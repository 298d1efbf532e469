"""Derivatives against a 200-bit reference at hard arguments: domain edges,
near overflow, subnormals, large and tiny. Each row states how many units in
the last place its derivative may be off, and every route is checked: the
reverse sweep (a compiled Jacobian), the gradient graph (`zarnik.grad`) and a
forward sweep (`jvp`)."""

import math

import mpmath
import pytest

import zarnik as zk

mp = mpmath.mp
mp.prec = 200

# The exact derivatives, over mpmath numbers: unary d/dx, binary (d/da, d/db).
UNARY = {
    "sqrt": lambda x: 1 / (2 * mpmath.sqrt(x)),
    "exp": mpmath.exp,
    "log": lambda x: 1 / x,
    "log1p": lambda x: 1 / (1 + x),
    "expm1": mpmath.exp,
    "tanh": lambda x: 1 / mpmath.cosh(x) ** 2,
    "sinh": mpmath.cosh,
    "cosh": mpmath.sinh,
    "tan": lambda x: 1 / mpmath.cos(x) ** 2,
    "asin": lambda x: 1 / mpmath.sqrt((1 - x) * (1 + x)),
    "acos": lambda x: -1 / mpmath.sqrt((1 - x) * (1 + x)),
    "atan": lambda x: 1 / (1 + x * x),
    "abs": lambda x: mpmath.sign(x) or 1,
    "cbrt": lambda x: 1 / (3 * mpmath.cbrt(abs(x)) ** 2),
    "sin": mpmath.cos,
    "cos": lambda x: -mpmath.sin(x),
    "negate": lambda x: -1,
    "logical_not": lambda x: 0,
}
BINARY = {
    "add": lambda a, b: (1, 1),
    "subtract": lambda a, b: (1, -1),
    "multiply": lambda a, b: (b, a),
    "divide": lambda a, b: (1 / b, -a / (b * b)),
    "pow": lambda a, b: (b * a ** (b - 1), a**b * mpmath.log(a)),
    "atan2": lambda a, b: (b / (a * a + b * b), -a / (a * a + b * b)),
    "minimum": lambda a, b: (1, 0) if a < b else (0, 1),
    "maximum": lambda a, b: (1, 0) if a > b else (0, 1),
    "less": lambda a, b: (0, 0),
    "less_equal": lambda a, b: (0, 0),
    "greater": lambda a, b: (0, 0),
    "greater_equal": lambda a, b: (0, 0),
    "equal": lambda a, b: (0, 0),
    "not_equal": lambda a, b: (0, 0),
    "logical_and": lambda a, b: (0, 0),
    "logical_or": lambda a, b: (0, 0),
}
BUILD = {
    "sin": zk.sin,
    "cos": zk.cos,
    "negate": lambda x: -x,
    "add": lambda a, b: a + b,
    "subtract": lambda a, b: a - b,
    "multiply": lambda a, b: a * b,
    "divide": lambda a, b: a / b,
}

NEAR_ONE = 0.9999999931495781

# (function, argument, ULPs allowed in the derivative)
UNARY_CASES = [
    ("sqrt", 2.0, 1), ("sqrt", 1e-310, 1), ("sqrt", 1.7e308, 1),
    ("exp", -745.0, 1), ("exp", 709.0, 1), ("exp", 1e-300, 1),
    ("log", 1e-300, 1), ("log", 1.7e308, 1), ("log", 3.0, 1),
    ("log1p", -0.9999999, 1), ("log1p", 1e-300, 1), ("log1p", 1e300, 1),
    ("expm1", -30.0, 1), ("expm1", -40.0, 1), ("expm1", -745.0, 1), ("expm1", -1e-10, 1),
    ("expm1", 1e-10, 1), ("expm1", 700.0, 1), ("expm1", -0.5, 1),
    ("tanh", 0.5, 4), ("tanh", 1e-300, 4), ("tanh", 20.0, 4), ("tanh", -300.0, 4), ("tanh", 5e-324, 4),
    ("tanh", 1.7e308, 4), ("tanh", -1e308, 4),
    ("sinh", -710.0, 1), ("sinh", 1e-300, 1), ("cosh", 710.0, 1), ("cosh", -3.0, 1),
    ("tan", 1.5707963267948966, 4), ("tan", 1e-300, 2), ("tan", -1.0, 4),
    ("asin", NEAR_ONE, 2), ("asin", -NEAR_ONE, 2), ("asin", 0.5, 2), ("asin", 1e-300, 1),
    ("acos", NEAR_ONE, 2), ("acos", -NEAR_ONE, 2), ("acos", -0.25, 2),
    ("atan", 1e200, 3), ("atan", -1e200, 3), ("atan", 1e154, 3), ("atan", 1e-300, 1),
    ("atan", 1.0, 2), ("atan", -3.0, 3), ("atan", 1.7e308, 3), ("atan", 5e-324, 1),
    ("abs", -1e-310, 0), ("abs", 1e300, 0),
    ("cbrt", 2.0, 4), ("cbrt", -27.0, 4), ("cbrt", 5e-324, 4), ("cbrt", 1e-310, 4), ("cbrt", 1.7e308, 4),
    ("cbrt", -1e-300, 4), ("cbrt", 0.001, 4), ("cbrt", -3.7e-250, 4),
    # Where 1 / (3 cbrt(x)^2) from the rounded root is 9 ULP off.
    ("cbrt", 2.9763587964860606e-152, 4), ("cbrt", 4.960253129891073e-33, 4),
    ("sin", 1e22, 1), ("cos", 1e-300, 1), ("negate", 3.0, 0),
    # Flat: an exact zero, also where the operand is huge or tiny.
    ("logical_not", 1e308, 0), ("logical_not", 5e-324, 0),
]  # fmt: skip

# (function, a, b, ULPs allowed in each of its two derivatives)
BINARY_CASES = [
    ("add", 1e308, -1e308, 0), ("subtract", 5e-324, 1.0, 0), ("multiply", 1e-300, 1e300, 0),
    ("divide", 3e-200, 5e-200, 2), ("divide", 1e200, 1e300, 2), ("divide", 1.0, 3.0, 2),
    ("divide", 1e-300, 1e-10, 2), ("divide", 1e-200, 1e-160, 2),
    ("pow", 2.0, 0.5, 2), ("pow", 1e-3, 3.0, 2), ("pow", 10.0, -300.0, 4), ("pow", 0.5, 1000.0, 4),
    # b - 1 rounds (b below 1/2), and a^(b-1) magnifies its error by |ln a|.
    ("pow", 1e-300, 0.3, 2), ("pow", 1e300, 0.3, 2), ("pow", 1e-200, -0.3, 2), ("pow", 1e-310, 0.1, 2),
    ("pow", 1e-300, 1e-17, 2), ("pow", 1e-100, -0.3, 2),
    ("atan2", 1e-170, 1e-170, 4), ("atan2", 1e160, 1e160, 4), ("atan2", -1e-170, 1e-170, 4),
    ("atan2", 1e300, 1e-300, 4), ("atan2", 1e-320, 1.0, 4), ("atan2", 1.7e308, -1.7e308, 4),
    ("atan2", 1.0, 2.0, 4), ("atan2", 3e-300, -4e-300, 4),
    ("minimum", 1e-310, 2e-310, 0), ("maximum", -1e300, 1e300, 0),
    ("less", 1e-310, 2e-310, 0), ("less_equal", 1.7e308, -1.7e308, 0), ("greater", 5e-324, 0.0, 0),
    ("greater_equal", -1e300, 1e300, 0), ("equal", 1e-300, 1e-300, 0), ("not_equal", 3.0, 3.0, 0),
    ("logical_and", 1e-310, 2.0, 0), ("logical_or", 0.0, 1e300, 0),
]  # fmt: skip


def build(name):
    return BUILD.get(name) or getattr(zk, name)


def ulps_off(value, exact):
    """How far `value` is from the exact number, in units of the last place
    of the exact number rounded to a double."""
    rounded = float(exact)
    if math.isinf(rounded) or math.isinf(value):
        return 0.0 if value == rounded else math.inf
    return float(abs(mpmath.mpf(value) - exact)) / math.ulp(rounded)


def every_route(inputs, output, values, on_parameters):
    """The derivatives of `output` by each input at `values`, by each route;
    `on_parameters` builds the same output over parameters, for the graph."""
    f = zk.function(inputs, output)
    routes = {"reverse sweep": [float(d) for d in f.jacobian(*values)[0]]}
    parameters = [zk.Parameter(v) for v in values]
    routes["gradient graph"] = [g.eval()[0] for g in zk.grad(on_parameters(parameters), parameters)]
    forward = []
    for i in range(len(values)):
        tangents = [1.0 if j == i else 0.0 for j in range(len(values))]
        forward.append(f.jvp(values, tangents)[1][0])
    routes["jvp"] = forward
    return routes


@pytest.mark.parametrize(("name", "x", "ulps"), UNARY_CASES)
def test_unary_derivative_is_accurate_by_every_route(name, x, ulps):
    exact = UNARY[name](mpmath.mpf(x))
    function = build(name)
    u = zk.Undefined()
    for route, (got,) in every_route([u], function(u), [x], lambda ps: function(ps[0])).items():
        assert ulps_off(got, exact) <= ulps, (route, got, mpmath.nstr(exact, 17))


@pytest.mark.parametrize(("name", "a", "b", "ulps"), BINARY_CASES)
def test_binary_derivatives_are_accurate_by_every_route(name, a, b, ulps):
    exact = BINARY[name](mpmath.mpf(a), mpmath.mpf(b))
    function = build(name)
    u, v = zk.Undefined(), zk.Undefined()
    for route, got in every_route([u, v], function(u, v), [a, b], lambda ps: function(ps[0], ps[1])).items():
        for which, g, e in zip("ab", got, exact):
            assert ulps_off(g, mpmath.mpf(e)) <= ulps, (route, which, got, [mpmath.nstr(e, 17) for e in exact])


@pytest.mark.parametrize(
    ("name", "lanes"),
    [
        ("norm", (3e200, 4e200)), ("norm", (3e-200, 4e-200)), ("norm", (1e308, 1e308, -5e307)),
        ("norm", (5e-324, 0.0)), ("norm", (1.0, 1e-300, -2.0, 0.5)),
        ("normalize", (3e-200, 4e-200)), ("normalize", (3e200, -4e200)), ("normalize", (-1e-310, 2e-310, 0.0)),
    ],
)  # fmt: skip
def test_norms_are_finite_and_accurate_wherever_the_result_is(name, lanes):
    """norm and normalize at vectors whose squares over- or underflow: values
    and Jacobians within a few ULP of the exact ones."""
    exact_lanes = [mpmath.mpf(v) for v in lanes]
    length = mpmath.sqrt(sum(v * v for v in exact_lanes))
    p = zk.Undefined(dim=len(lanes))
    f = zk.function([p], getattr(zk, name)(p))
    jacobian = f.jacobian(list(lanes))
    values = f(list(lanes))
    if name == "norm":
        exact_values = [length]
        exact_jacobian = [[v / length for v in exact_lanes]]
    else:
        exact_values = [v / length for v in exact_lanes]
        exact_jacobian = [
            [((1 if i == j else 0) - vi * vj / length**2) / length for j, vj in enumerate(exact_lanes)]
            for i, vi in enumerate(exact_lanes)
        ]
    for got, exact in zip(values, exact_values):
        assert ulps_off(got, exact) <= 3, (values, exact_values)
    for row, exact_row in zip(jacobian.tolist(), exact_jacobian):
        for got, exact in zip(row, exact_row):
            # A Jacobian entry near zero is a difference of terms of the
            # scale of the row's largest: its error is counted in that scale.
            scale = max(abs(float(e)) for e in exact_row)
            assert abs(mpmath.mpf(got) - exact) <= 8 * math.ulp(scale), (row, exact_row)


@pytest.mark.parametrize(
    "lanes", [(3e200, 4e200), (3e-200, -4e-200), (1e250, -2e250, 2e250), (1.0, 1e-300, -2.0, 0.5), (3.0, 4.0)]
)
def test_second_derivatives_of_norm_where_squares_over_or_underflow(lanes):
    """norm's Hessian (I - u u^T) / |v|, u = v / |v|, is a double wherever
    its value is: a few ULP of each row's scale, by the compiled Hessian and
    by Hessian-vector products."""
    exact_lanes = [mpmath.mpf(v) for v in lanes]
    length = mpmath.sqrt(sum(v * v for v in exact_lanes))
    exact = [[((1 if i == j else 0) - vi * vj / length**2) / length for j, vj in enumerate(exact_lanes)]
             for i, vi in enumerate(exact_lanes)]  # fmt: skip
    p = zk.Undefined(dim=len(lanes))
    f = zk.function([p], zk.norm(p))
    routes = {"hessian": f.hessian(list(lanes)).tolist()}
    columns = [f.hvp([list(lanes)], [1.0 if j == i else 0.0 for j in range(len(lanes))]) for i in range(len(lanes))]
    routes["hvp"] = [[float(column[i]) for column in columns] for i in range(len(lanes))]
    for route, hessian in routes.items():
        for row, exact_row in zip(hessian, exact):
            scale = max(abs(float(e)) for e in exact_row)
            for got, e in zip(row, exact_row):
                assert abs(mpmath.mpf(got) - e) <= 8 * math.ulp(scale), (route, row, [str(e) for e in exact_row])


@pytest.mark.parametrize(
    ("name", "a", "b", "value", "da", "db"),
    [
        # A tie gives the first operand, zeros included, and half the
        # gradient to each operand.
        ("maximum", 0.0, -0.0, 0.0, 0.5, 0.5),
        ("maximum", -0.0, 0.0, -0.0, 0.5, 0.5),
        ("minimum", 0.0, -0.0, 0.0, 0.5, 0.5),
        ("minimum", -0.0, 0.0, -0.0, 0.5, 0.5),
        ("maximum", 2.0, 2.0, 2.0, 0.5, 0.5),
        ("maximum", -1.0, 1.0, 1.0, 0.0, 1.0),
        ("minimum", -1.0, 1.0, -1.0, 1.0, 0.0),
    ],
)
def test_ties_of_minimum_and_maximum_give_the_first_operand_and_split_the_slope(name, a, b, value, da, db):
    function = getattr(zk, name)
    u, v = zk.Undefined(), zk.Undefined()
    f = zk.function([u, v], function(u, v))
    pa, pb = zk.Parameter(a), zk.Parameter(b)
    for got in (f(a, b)[0], function(pa, pb).eval()[0], function(a, b).value[0]):
        assert got == value and math.copysign(1.0, got) == math.copysign(1.0, value)
    assert f.jacobian(a, b).tolist() == [[da, db]]
    assert [g.eval()[0] for g in zk.grad(function(pa, pb), [pa, pb])] == [da, db]
