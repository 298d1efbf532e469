"""Comparisons, logical operations and where: values against NumPy's, lane by
lane and broadcast, by every route; their derivatives; and the branch that
where does not take, whose value may not be finite and whose derivative is an
exact zero."""

import numpy as np
import pytest

import zarnik as zk

COMPARISONS = {
    "less": np.less,
    "less_equal": np.less_equal,
    "greater": np.greater,
    "greater_equal": np.greater_equal,
    "equal": np.equal,
    "not_equal": np.not_equal,
    "logical_and": np.logical_and,
    "logical_or": np.logical_or,
}

# (a, b): lanes of either operand; a one-lane operand is broadcast.
OPERANDS = [
    ([1.0, 2.0, 3.0], [2.0, 2.0, 2.0]),
    ([0.0, -0.0, 0.0, -0.0], [0.0, 0.0, -0.0, -0.0]),
    ([-1.0, 5e-324, 1e308], [0.0]),
    ([3.0], [-2.0, 3.0, 4.0, 0.0]),
    ([-0.0, 0.0], [1.5, -1.5]),
]


def reference(function, a, b):
    return tuple(float(v) for v in function(np.array(a), np.array(b)).astype(np.float64))


@pytest.mark.parametrize("name", sorted(COMPARISONS))
@pytest.mark.parametrize("a, b", OPERANDS)
def test_comparisons_give_numpy_s_answers_by_every_route(name, a, b):
    expected = reference(COMPARISONS[name], a, b)
    build = getattr(zk, name)
    pa, pb = zk.Parameter(a), zk.Parameter(b)
    y = build(pa, pb)
    assert y.dim == len(expected)
    assert y.eval() == expected
    assert build(zk.Constant(a), zk.Constant(b)).value == expected  # folded
    assert zk.compile(y).eval() == expected
    ua, ub = zk.Undefined(dim=len(a)), zk.Undefined(dim=len(b))
    f = zk.function([ua, ub], build(ua, ub))
    assert f(a, b) == expected
    rows = np.array([a, a]) if len(a) > 1 else np.array([a[0], a[0]])
    batch = f.batch(rows, b)
    assert np.array_equal(batch.reshape(2, -1), np.array([expected, expected]))
    assert np.array_equal(f.batch(rows, b, approximate=True).reshape(2, -1), np.array([expected, expected]))


@pytest.mark.parametrize("lanes", [[0.0, -0.0, 2.0, -1e-310], [5e-324]])
def test_logical_not_is_true_only_at_zero(lanes):
    expected = tuple(float(v) for v in np.logical_not(np.array(lanes)))
    assert zk.logical_not(zk.Parameter(lanes)).eval() == expected
    assert zk.logical_not(zk.Constant(lanes)).value == expected


@pytest.mark.parametrize("name", [*sorted(COMPARISONS), "logical_not"])
def test_comparisons_pass_nothing_back_by_any_route(name):
    """A comparison is a constant factor: the derivative of x * cmp(x, c) is
    cmp(x, c) by backward, the Jacobian, jvp, the gradient graph and the
    Hessian, and the comparison's own operands get nothing."""
    build = getattr(zk, name)
    x = zk.Undefined(dim=3)
    at = [-1.0, 0.5, 2.0]
    compared = build(x) if name == "logical_not" else build(x, 0.5)
    factor = np.array(compared.inputs and zk.function([x], compared)(at), dtype=float)
    f = zk.function([x], zk.sum(x * compared))
    np.testing.assert_array_equal(f.jacobian(at)[0], factor)
    np.testing.assert_array_equal(f.jvp([at], [[1.0, 1.0, 1.0]])[1][0], sum(factor))
    np.testing.assert_array_equal(f.hessian(at), np.zeros((3, 3)))
    p = zk.Parameter(at)
    (gradient,) = zk.grad(zk.sum(p * (build(p) if name == "logical_not" else build(p, 0.5))), [p])
    assert gradient.eval() == tuple(factor)
    only = zk.function([x], zk.sum(compared))
    np.testing.assert_array_equal(only.jacobian(at), np.zeros((1, 3)))
    assert only.jacobian_sparsity().nnz == 0
