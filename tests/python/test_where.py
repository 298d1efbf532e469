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


# --- where ---------------------------------------------------------------------------

# (condition, x, y) lanes; a one-lane operand is broadcast.
WHERE_OPERANDS = [
    ([1.0, 0.0, -0.0, 2.0], [1.0, 2.0, 3.0, 4.0], [-1.0, -2.0, -3.0, -4.0]),
    ([0.0], [1.0, -0.0], [-0.0, 5.0]),
    ([1.0, 0.0, 5e-324], [-0.0], [0.0]),
    ([0.0, 1.0], [7.0], [8.0, 9.0]),
]


@pytest.mark.parametrize("c, x, y", WHERE_OPERANDS)
def test_where_gives_numpy_s_lanes_by_every_route(c, x, y):
    size = max(len(c), len(x), len(y))
    expected = tuple(float(v) for v in np.broadcast_to(np.where(np.array(c) != 0, x, y), (size,)))
    pc, px, py = zk.Parameter(c), zk.Parameter(x), zk.Parameter(y)
    w = zk.where(pc, px, py)
    assert w.op == "Where" and w.dim == size
    bits = lambda lanes: [np.float64(v).tobytes() for v in lanes]  # -0.0 and 0.0 apart
    assert bits(w.eval()) == bits(expected)
    assert bits(zk.compile(w).eval()) == bits(expected)
    folded = zk.where(zk.Constant(c), zk.Constant(x), zk.Constant(y))
    assert folded.is_constant and bits(folded.value) == bits(expected)
    uc, ux, uy = (zk.Undefined(dim=len(v)) for v in (c, x, y))
    f = zk.function([uc, ux, uy], zk.where(uc, ux, uy))
    assert bits(f(c, x, y)) == bits(expected)
    for approximate in (False, True):
        rows = f.batch(np.array([c, c]), x, y, approximate=approximate).reshape(2, -1)
        assert bits(rows[1]) == bits(expected)


def test_a_constant_condition_picks_its_branch_and_three_constants_fold():
    x, y = zk.Parameter(1.0, 2.0), zk.Parameter(3.0, 4.0)
    assert zk.where(1.0, x, y).id == x.id
    assert zk.where([0.0, -0.0], x, y).id == y.id
    assert zk.where([1.0, 0.0], x, y).op == "Where"
    assert zk.where(1.0, 2.0, zk.Parameter(5.0)).value == (2.0,)
    with pytest.raises(ValueError, match="cannot combine symbolic values with dimensions 2 and 3"):
        zk.where(zk.Parameter(1.0, 0.0), x, zk.Parameter(1.0, 2.0, 3.0))


def _log_where_positive(x):
    return zk.where(zk.greater(x, 0.0), zk.log(x), 0.0)


def test_the_branch_not_taken_may_be_not_finite_and_passes_back_an_exact_zero():
    """where(x > 0, log(x), 0) at x = 0: log(0) is -inf and its slope 1/0 is
    inf, in the branch not taken: the value is 0 and the gradient 0 (not
    0 * inf), by every route that evaluates and differentiates."""
    x = zk.Undefined()
    f = zk.function([x], _log_where_positive(x))
    assert f(0.0) == (0.0,)
    assert f(2.0) == (np.log(2.0),)
    assert f.jacobian(0.0).tolist() == [[0.0]]
    assert f.jacobian(2.0).tolist() == [[0.5]]
    assert f.jvp([0.0], [1.0])[1] == (0.0,)
    assert f.hessian(0.0).tolist() == [[0.0]]
    assert f.hessian(2.0).tolist() == [[-0.25]]
    assert f.hvp([0.0], [1.0]).tolist() == [0.0]
    rows = np.array([0.0, 2.0, -1.0, 0.5])
    values = np.where(rows > 0, np.log(np.maximum(rows, 1e-300)), 0.0)
    for approximate in (False, True):
        np.testing.assert_allclose(f.batch(rows, approximate=approximate), values, rtol=1e-15)
        np.testing.assert_allclose(
            f.batch_jacobian(rows, approximate=approximate).ravel(),
            np.where(rows > 0, 1 / np.where(rows > 0, rows, 1.0), 0.0),
            rtol=1e-15,
        )
        total, (gradient,) = f.batch_value_and_grad(rows, approximate=approximate)
        assert np.all(np.isfinite(gradient)) and gradient[0] == 0.0 and gradient[2] == 0.0
    # With more output lanes than input lanes, batch Jacobians take forward sweeps.
    two = zk.function([x], [_log_where_positive(x), x * 2.0])
    np.testing.assert_array_equal(
        two.batch_jacobian(rows).reshape(len(rows), 2),
        np.column_stack([np.where(rows > 0, 1 / np.where(rows > 0, rows, 1.0), 0.0), np.full(len(rows), 2.0)]),
    )
    hessians = np.where(rows > 0, -1 / np.where(rows > 0, rows, 1.0) ** 2, 0.0)
    np.testing.assert_allclose(f.batch_hessian(rows).ravel(), hessians, rtol=1e-15)
    p = zk.Parameter(0.0)
    y = _log_where_positive(p)
    assert y.eval() == (0.0,) and zk.compile(y).eval() == (0.0,)
    y.backward()
    assert p.grad == (0.0,)
    (gradient,) = zk.grad(y, [p])
    assert gradient.eval() == (0.0,)
    (second,) = zk.grad(gradient, [p])
    assert second.eval() == (0.0,)


def test_a_non_finite_value_fails_where_something_taken_uses_it():
    """The branch taken is checked; a node that also feeds something else is
    checked there; a failure carries through nodes that would hide it
    (exp(-inf) is 0) to the where that takes it."""
    x = zk.Undefined()
    taken = zk.function([x], zk.where(zk.less(x, 1.0), zk.log(x), 0.0))
    hidden = zk.function([x], zk.where(zk.less(x, 1.0), zk.exp(zk.log(x)) + 1.0, 0.0))
    shared_log = zk.log(x)
    shared = zk.function([x], zk.where(zk.greater(x, 0.0), shared_log, 0.0) + zk.minimum(shared_log, 0.0))
    nested = zk.function([x], zk.where(zk.less(x, 1.0), zk.where(zk.less(zk.log(x), 5.0), 1.0, 2.0), 0.0))
    for f in (taken, hidden, shared, nested):
        with pytest.raises(ValueError, match="symbolic value lanes must be finite"):
            f(0.0)
        with pytest.raises(ValueError, match=r"symbolic value lanes must be finite \(row 1\)"):
            f.batch(np.array([0.5, 0.0]))
    assert hidden(2.0) == (0.0,) and nested(2.0) == (0.0,)
    assert hidden(0.5) == pytest.approx((1.5,), rel=1e-15)


def test_gradients_through_where_match_pytorch():
    torch = pytest.importorskip("torch")
    x = zk.Undefined(dim=4)
    c = zk.Undefined()
    y = zk.sum(zk.where(zk.greater(x, c), zk.sin(x) * x, zk.exp(x * c)) * x)
    f = zk.function([x, c], y)
    at, level = np.array([-1.0, 0.25, 0.5, 2.0]), 0.3
    tx = torch.tensor(at, dtype=torch.float64, requires_grad=True)
    tc = torch.tensor(level, dtype=torch.float64, requires_grad=True)
    ty = (torch.where(tx > tc, torch.sin(tx) * tx, torch.exp(tx * tc)) * tx).sum()
    gx, gc = torch.autograd.grad(ty, [tx, tc])
    np.testing.assert_allclose(f.jacobian(at, level)[0], [*gx.numpy(), gc.item()], rtol=1e-14)
    hx = torch.autograd.functional.hessian(
        lambda v: (torch.where(v[:4] > v[4], torch.sin(v[:4]) * v[:4], torch.exp(v[:4] * v[4])) * v[:4]).sum(),
        torch.tensor([*at, level], dtype=torch.float64),
    )
    np.testing.assert_allclose(f.hessian(at, level), hx.numpy(), rtol=1e-13, atol=1e-15)


def test_where_couples_only_its_branches_in_sparse_patterns():
    x = zk.Undefined(dim=3)
    y = zk.where(zk.greater(x[0], x[1]), x[1] * x[1], 2.0)
    f = zk.function([x], y)
    assert f.jacobian_sparsity().toarray().tolist() == [[0, 1, 0]]
    assert f.hessian_sparsity().toarray().tolist() == [[0, 0, 0], [0, 1, 0], [0, 0, 0]]
