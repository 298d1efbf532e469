"""Gradients through the Python API against independent values."""

import math

import pytest

import _zarnik as zk


def central_differences(output, parameters, seed, step=1e-6):
    """d(seed . output)/d(parameter lane), one lane at a time, by set_value and eval."""
    gradients = []
    for parameter in parameters:
        base = list(parameter.value)
        lanes = []
        for lane in range(len(base)):
            sums = []
            for delta in (step, -step):
                moved = list(base)
                moved[lane] += delta
                parameter.set_value(moved)
                sums.append(sum(s * o for s, o in zip(seed, output.eval())))
            parameter.set_value(base)
            lanes.append((sums[0] - sums[1]) / (2 * step))
        gradients.append(tuple(lanes))
    return gradients


CASES = [
    ("polynomial", [(1.5,), (-0.5,)], lambda a, b: a * a * b - 3 * b + a / (b * b + 1)),
    ("trigonometry", [(0.3,), (1.2,)], lambda a, b: zk.sin(a * b) + zk.cos(a - b) * a),
    ("vector and scalar", [(0.5, -1.0, 2.0), (0.7,)], lambda v, s: zk.sin(v * s) / (s + 2) - v),
    (
        "packing and components",
        [(0.5, 1.5), (2.0,)],
        lambda v, s: zk.vec3(v.x * s, zk.cos(v.y), v.x / s) * zk.vec3(s, v.y, 1.0),
    ),
    ("shared subexpression", [(0.8,)], lambda p: (lambda h: h * h + zk.sin(h))(p * p - p)),
    ("four lanes", [(0.1, 0.2, 0.3, 0.4), (1.1, 1.2, 1.3, 1.4)], lambda u, v: u * v - zk.cos(u) / v + -u),
    ("curve", [(1.0,), (0.5,)], lambda r, t: zk.vec2(r * zk.cos(t), r * zk.sin(t)) - zk.vec2(0.5, 0.25)),
]


@pytest.mark.parametrize("name, values, build", CASES, ids=[case[0] for case in CASES])
def test_backward_agrees_with_central_differences(name, values, build):
    parameters = [zk.Parameter(*value, name=f"p{i}") for i, value in enumerate(values)]
    output = build(*parameters)
    seed = [1.0 + 0.5 * lane for lane in range(output.dim)]
    expected = central_differences(output, parameters, seed)
    output.backward(seed)
    for parameter, lanes in zip(parameters, expected):
        assert parameter.grad == pytest.approx(lanes, rel=1e-6, abs=1e-7)


def test_least_squares_gradient_by_hand():
    # loss = sum (a * x + b - t)^2; d/da = sum 2 r x, d/db = sum 2 r.
    a, b = zk.Parameter(0.5, name="a"), zk.Parameter(-0.25, name="b")
    xs, ts = [0.0, 0.5, 1.0, 1.5], [1.0, 2.0, 2.5, 4.0]
    loss = zk.Constant(0.0)
    for x, t in zip(xs, ts):
        residual = a * x + b - t
        loss = loss + residual * residual
    residuals = [0.5 * x - 0.25 - t for x, t in zip(xs, ts)]
    assert loss.eval() == pytest.approx((sum(r * r for r in residuals),))
    loss.backward()
    assert a.grad == pytest.approx((sum(2 * r * x for r, x in zip(residuals, xs)),))
    assert b.grad == pytest.approx((sum(2 * r for r in residuals),))


def test_gradients_accumulate_per_pass_and_clear():
    p = zk.Parameter(3.0)
    y = zk.sin(p) * p
    expected = math.cos(3.0) * 3.0 + math.sin(3.0)
    for passes in range(1, 4):
        y.backward()
        assert p.grad == pytest.approx((passes * expected,))
    y.zero_grad()
    assert p.grad is None


def test_a_million_nested_operations_from_python():
    p = zk.Parameter(1.0)
    y = p
    for _ in range(333_334):
        y = zk.sin(y) * 0.5 + p
    fixed_point = y.eval()[0]
    assert fixed_point == pytest.approx(math.sin(fixed_point) * 0.5 + 1.0)
    y.backward()
    assert p.grad[0] == pytest.approx(1.0 / (1.0 - 0.5 * math.cos(fixed_point)))
    y.zero_grad()
    del y
