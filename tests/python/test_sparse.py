"""Sparse Jacobians and Hessians: patterns that hold every non-zero of the
dense derivatives, entries that agree with them, SciPy arrays in a fixed
order, and memory linear in the problem."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zarnik as zk
from random_graphs import assert_sweeps_agree, build_graph, leaf, operation, sweep_tolerance, values_by_eval

scipy_sparse = pytest.importorskip("scipy.sparse")


def dense_pattern(sparse):
    return sparse.toarray().astype(bool)


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(leaf, min_size=1, max_size=4), st.lists(operation, min_size=1, max_size=14))
def test_random_graphs_sparse_derivatives_hold_the_dense_ones(leaves, operations):
    builder = build_graph(leaves, operations)
    inputs = [node.expression for node in builder.parameters]
    if not inputs:
        return
    outputs = [builder.nodes[-1].expression, builder.nodes[len(builder.nodes) // 2].expression]
    f = zk.function(inputs, outputs)
    at = [p.value for p in inputs]  # the parameters hold these: values_by_eval sees them
    try:
        dense = f.jacobian(*at)
    except ValueError:
        return  # the function itself fails here
    pattern = dense_pattern(f.jacobian_sparsity())
    # Reverse sweeps carry 0 times an infinite derivative into entries of other lanes: NaN is no
    # structural non-zero.
    assert not np.any((dense != 0) & np.isfinite(dense) & ~pattern)
    try:
        sparse = f.sparse_jacobian(*at)
    except ValueError:
        # A derivative on the way is not finite: so the forward sweep with unit seeds fails too.
        with pytest.raises(ValueError):
            for lane in range(f.input_lanes):
                f.jvp(at, unit_tangents(inputs, lane))
        return
    assert sparse.format == "csc" and sparse.shape == dense.shape
    assert not np.any(sparse.toarray()[~pattern])
    assert_sweeps_agree(sparse.toarray(), dense, sweep_tolerance(outputs, inputs, values_by_eval)[0])

    scalar = outputs[0] if outputs[0].dim == 1 else outputs[0][0]
    g = zk.function(inputs, scalar)
    try:
        hessian = g.hessian(*at)
    except ValueError:
        return  # the gradient graph fails here
    second = dense_pattern(g.hessian_sparsity())
    assert np.array_equal(second, second.T)
    assert not np.any((hessian != 0) & np.isfinite(hessian) & ~second)
    sparse_hessian = g.sparse_hessian(*at).toarray()
    # Both are forward sweeps through the gradient graph, seeded along other directions.
    gradients = zk.grad(scalar, inputs)
    try:
        bound = sweep_tolerance(gradients, inputs, values_by_eval)[0]
    except ValueError:
        # A node of the gradient graph is not finite though its terms cancel (sqrt(p - p)): no
        # bound can be had, as where a local partial is not finite.
        return
    assert_sweeps_agree(sparse_hessian, hessian, bound)


def unit_tangents(inputs, lane):
    tangents, start = [], 0
    for p in inputs:
        tangents.append([1.0 if start + i == lane else 0.0 for i in range(p.dim)])
        start += p.dim
    return tangents


X, Y, Z = zk.Undefined(name="x"), zk.Undefined(name="y"), zk.Undefined(name="z")
V = zk.Undefined(dim=2, name="v")

# (outputs, inputs, Jacobian pattern, Hessian pattern of the outputs' sum)
HAND_CASES = {
    "x*y couples x with y": ([X * Y], [X, Y], [[1, 1]], [[0, 1], [1, 0]]),
    "x*x couples x with itself": ([X * X], [X, Y], [[1, 0]], [[1, 0], [0, 0]]),
    "x/y": ([X / Y], [X, Y], [[1, 1]], [[0, 1], [1, 1]]),
    "constants folded": ([X * (zk.Constant(2.0) * 3.0) + Y], [X, Y], [[1, 1]], [[0, 0], [0, 0]]),
    "a component of a pack": ([zk.vec2(X * X, Y * Z)[1]], [X, Y, Z], [[0, 1, 1]], [[0, 0, 0], [0, 0, 1], [0, 1, 0]]),
    "vector lanes": ([V * X], [V, X], [[1, 0, 1], [0, 1, 1]], [[0, 0, 1], [0, 0, 1], [1, 1, 0]]),
}


@pytest.mark.parametrize("case", HAND_CASES, ids=list(HAND_CASES))
def test_hand_patterns_are_exact(case):
    outputs, inputs, jacobian, hessian = HAND_CASES[case]
    f = zk.function(inputs, outputs)
    assert dense_pattern(f.jacobian_sparsity()).astype(int).tolist() == jacobian
    assert dense_pattern(f.hessian_sparsity()).astype(int).tolist() == hessian


def test_patterns_and_entries_keep_one_order():
    f = zk.function([X, Y, Z], [X * Y, zk.sin(Y), Z / Y])
    pattern = f.jacobian_sparsity()
    assert pattern.format == "csc" and pattern.dtype == bool
    first = f.sparse_jacobian(1.0, 2.0, 3.0)
    second = f.sparse_jacobian(0.5, -1.0, 4.0)
    for values in (first, second):
        assert np.array_equal(values.indptr, pattern.indptr) and np.array_equal(values.indices, pattern.indices)
        assert values.dtype == np.float64
    coo = f.sparse_jacobian(1.0, 2.0, 3.0, format="coo")
    assert coo.format == "coo"
    assert np.array_equal(coo.data, first.data)  # the same entries in the same order
    assert np.array_equal(coo.toarray(), f.jacobian(1.0, 2.0, 3.0))
    # wrt takes the columns and their order, as jacobian's does.
    assert np.array_equal(f.sparse_jacobian(1.0, 2.0, 3.0, wrt=[Z, X]).toarray(), first.toarray()[:, [2, 0]])
    assert f.jacobian_sparsity(wrt=Y).shape == (3, 1)


def test_lagrangian_hessians_weigh_the_outputs():
    f = zk.function([X, Y], [X * Y, Y * Y * Y, zk.exp(X)])
    weights = np.array([0.5, -2.0, 3.0])
    lagrangian = zk.function([X, Y], 0.5 * (X * Y) - 2.0 * (Y * Y * Y) + 3.0 * zk.exp(X))
    sparse = f.sparse_hessian(0.25, 1.5, weights=weights)
    assert np.allclose(sparse.toarray(), lagrangian.hessian(0.25, 1.5), rtol=1e-15, atol=0)
    assert np.array_equal(dense_pattern(f.hessian_sparsity()), [[True, True], [True, True]])
    assert f.sparse_hessian(0.25, 1.5, weights=weights, format="coo").format == "coo"


@pytest.mark.parametrize(
    ("call", "kind", "error"),
    [
        (lambda f: f.sparse_hessian(1.0, 2.0), ValueError, "needs weights="),
        (lambda f: f.sparse_hessian(1.0, 2.0, weights=[1.0]), ValueError, "one per output lane"),
        (lambda f: f.sparse_hessian(1.0, 2.0, weights=[[1.0, 2.0]]), ValueError, "one-dimensional"),
        (lambda f: f.sparse_hessian(1.0, 2.0, weights=[1.0, np.inf]), ValueError, "finite"),
        # What a cast to floats would quietly reinterpret, as a batch refuses it.
        (lambda f: f.sparse_hessian(1.0, 2.0, weights=np.array([1.0, 1j])), TypeError, "real numbers"),
        (lambda f: f.sparse_hessian(1.0, 2.0, weights=np.array(["1", "2"])), TypeError, "real numbers"),
        (lambda f: f.sparse_hessian(1.0, 2.0, weights=np.array([1, 2], "datetime64[D]")), TypeError, "real numbers"),
        (lambda f: f.sparse_jacobian(1.0, 2.0, format="csr"), ValueError, "format"),
        (lambda f: f.sparse_jacobian(1.0, np.nan), ValueError, "finite"),
        (lambda f: f.jacobian_sparsity(wrt=[0, 0]), ValueError, "twice"),
    ],
)
def test_bad_arguments_are_refused(call, kind, error):
    f = zk.function([X, Y], [X * Y, Y])
    with pytest.raises(kind, match=error):
        call(f)


def test_scipy_is_imported_only_when_used(monkeypatch):
    program = "import sys, zarnik; assert 'scipy' not in sys.modules, 'imported with the package'"
    subprocess.run([sys.executable, "-c", program], check=True, timeout=60)
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)  # as if SciPy were not installed
    with pytest.raises(ImportError, match="need SciPy"):
        zk.function(X, X * X).hessian_sparsity()


# A discretised ODE of n steps: n - 1 residuals x[i+1] - x[i] - h sin(x[i]) x[i+1],
# and a cost summing a smooth term per step. Its dense Jacobian alone would take
# (n - 1) n 8 bytes: 763 MiB at n = 10,000.
CHAIN = textwrap.dedent(
    """
    import sys
    import zarnik as zk

    def peak():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))

    n = int(sys.argv[1])
    xs = [zk.Undefined(name="x") for _ in range(n)]
    residuals = [xs[i + 1] - xs[i] - 0.01 * zk.sin(xs[i]) * xs[i + 1] for i in range(n - 1)]
    terms = [(xs[i + 1] - xs[i]) * (xs[i + 1] - xs[i]) + zk.cos(xs[i]) for i in range(n - 1)]
    while len(terms) > 1:
        terms = [sum(terms[i : i + 2], zk.Constant(0.0)) for i in range(0, len(terms), 2)]
    constraints, cost = zk.function(xs, residuals), zk.function(xs, terms[0])
    at = [0.001 * i for i in range(n)]
    constraints(*at), cost(*at)
    before = peak()
    jacobian, hessian = constraints.sparse_jacobian(*at), cost.sparse_hessian(*at)
    lagrangian = constraints.sparse_hessian(*at, weights=[1.0] * (n - 1))
    assert constraints.jacobian_sparsity().nnz == jacobian.nnz == 2 * (n - 1)
    assert cost.hessian_sparsity().nnz == hessian.nnz == 3 * n - 2
    assert lagrangian.nnz == 3 * n - 3  # sin(x[i]) x[i+1] couples, no x[i+1] with itself
    print(peak() - before)
    """
)


@pytest.mark.not_under_address_sanitizer(reason="the address sanitizer's shadow and quarantine change the memory used")
def test_chain_problems_take_memory_linear_in_their_size():
    n = 10_000
    done = subprocess.run(
        [sys.executable, "-c", CHAIN, str(n)], capture_output=True, text=True, timeout=300, check=False
    )
    assert done.returncode == 0, done.stderr
    growth = int(done.stdout.split()[-1])
    # About 16 KiB per step was measured (the derivative graphs and their programs); one dense
    # Jacobian would be 763 MiB.
    assert growth < 400 * 2**20, growth
