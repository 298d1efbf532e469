"""Nonlinear programs: the callbacks against dense derivatives, solutions that
satisfy their optimality conditions with both solvers, and the refusals."""

import copy
import pickle
import sys

import numpy as np
import pytest

import zarnik as zk

pytest.importorskip("scipy.sparse")


def solvers():
    found = ["trust-constr"]
    try:
        import cyipopt  # noqa: F401
    except ImportError:
        pass
    else:
        found.insert(0, "ipopt")
    return found


def problems():
    """(name, problem, start, bounds, expected x)."""
    x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
    v = zk.Undefined(dim=2, name="v")
    level = zk.Parameter(0.5, name="level")
    quadratic = (x - 1.0) * (x - 1.0) + (y - 2.0) * (y - 2.0)
    return [
        ("equality", zk.nlp([x, y], quadratic, [x + y]), [0.0, 0.0], {}, [-0.5, 0.5]),
        ("inequality", zk.nlp([x, y], quadratic, x + y), [0.0, 0.0], {"ubg": 1.0}, [0.0, 1.0]),
        ("bounds", zk.nlp([x, y], quadratic, x + y), [0.25, 0.25], {"ubx": 0.3, "ubg": 1.0}, [0.3, 0.3]),
        (
            "two-lane variable and constraint",
            zk.nlp(v, zk.dot(v, v), [v - zk.vec2(1.0, -2.0)]),
            [0.0, 0.0],
            {"lbg": [0.0, -np.inf], "ubg": [np.inf, 0.0]},
            [1.0, -2.0],
        ),
        (
            "Rosenbrock, no constraints",
            zk.nlp([x, y], (1.0 - x) * (1.0 - x) + 100.0 * (y - x * x) * (y - x * x)),
            [-1.2, 1.0],
            {},
            [1.0, 1.0],
        ),
        ("circle", zk.nlp([x, y], x + y, [x * x + y * y]), [0.5, -0.5], {"ubg": 2.0}, [-1.0, -1.0]),
        # IPOPT takes no Jacobian without entries: the solve gives it one zero.
        ("constraints of no variable", zk.nlp([x, y], quadratic, [level]), [0.0, 0.0], {"ubg": 1.0}, [1.0, 2.0]),
    ]


@pytest.mark.parametrize("solver", solvers())
@pytest.mark.parametrize("case", range(len(problems())), ids=[case[0] for case in problems()])
def test_solutions_meet_their_optimality_conditions(solver, case):
    _, problem, start, bounds, expected = problems()[case]
    # SciPy's default tolerances leave x 1e-3 from an active inequality.
    options = {"gtol": 1e-12, "barrier_tol": 1e-12} if solver == "trust-constr" else {}
    result = problem.solve(start, solver=solver, options=options, **bounds)
    assert result.success, result.message
    np.testing.assert_allclose(result.x, expected, atol=2e-4)
    assert result.objective == pytest.approx(problem.objective(result.x), abs=1e-9)
    np.testing.assert_allclose(result.constraints, problem.constraint_values(result.x), atol=1e-9)
    # Stationarity of f + g @ multipliers with the bounds' multipliers: the
    # signs of both solvers' multipliers are the same.
    residual = problem.gradient(result.x) + problem.jacobian(result.x).T @ result.multipliers
    np.testing.assert_allclose(residual + result.bound_multipliers, 0.0, atol=2e-4)
    assert result.iterations > 0 and result.solver == solver


def random_problem():
    """Scalar, two- and three-lane variables; constraints of several lanes
    that each touch a few of them."""
    a, b, c = zk.Undefined(name="a"), zk.Undefined(dim=2, name="b"), zk.Undefined(dim=3, name="c")
    w = zk.Parameter(0.7, name="w")
    objective = zk.sin(a) * b[0] + zk.exp(c[2] * w) + b[1] * b[1] * c[0]
    constraints = [
        zk.vec2(a * b[1], c[0] / (1.0 + c[1] * c[1])),
        zk.cos(c[2] * a) + b[0],
        c * a,
    ]
    return zk.nlp([a, b, c], objective, constraints), w


def test_callbacks_equal_the_dense_derivatives():
    problem, _ = random_problem()
    rng = np.random.default_rng(3)
    x = rng.normal(size=problem.variables)
    f = problem.function
    values = [x[0], x[1:3], x[3:6]]
    dense = f.jacobian(*values)
    assert problem.objective(x) == f(*values)[0][0]
    np.testing.assert_array_equal(problem.gradient(x), dense[0])
    np.testing.assert_array_equal(problem.constraint_values(x), np.concatenate([lanes for lanes in f(*values)[1:]]))
    np.testing.assert_allclose(problem.jacobian(x).toarray(), dense[1:], rtol=1e-14, atol=1e-14)

    weights = np.concatenate([[0.5], rng.normal(size=problem.constraints)])
    hessian = problem.hessian(x, weights[0], weights[1:]).toarray()
    expected = f.sparse_hessian(*values, weights=weights).toarray()
    np.testing.assert_array_equal(hessian, expected)
    np.testing.assert_array_equal(hessian, hessian.T)
    # The solvers' half: the lower triangle, every entry of it once.
    rows, columns = problem._problem.hessian_structure()
    assert (rows >= columns).all() and len(set(zip(rows, columns))) == rows.size
    lower = problem._problem.hessian(x, weights[0], weights[1:])
    np.testing.assert_array_equal(lower, hessian[rows, columns])


def test_parameters_that_are_not_variables_are_read_at_each_solve():
    x = zk.Undefined(name="x")
    target = zk.Parameter(1.0, name="target")
    problem = zk.nlp(x, (x - target) * (x - target))
    assert problem.solve(0.0, solver="trust-constr").x[0] == pytest.approx(1.0, abs=1e-6)
    target.set_value(-3.0)
    assert problem.solve(0.0, solver="trust-constr").x[0] == pytest.approx(-3.0, abs=1e-6)


def test_a_problem_pickles_as_its_function():
    problem, _ = random_problem()
    again = pickle.loads(pickle.dumps(problem))
    x = np.linspace(-1.0, 1.0, problem.variables)
    assert (again.variables, again.constraints) == (problem.variables, problem.constraints)
    np.testing.assert_array_equal(again.jacobian(x).toarray(), problem.jacobian(x).toarray())
    np.testing.assert_array_equal(again._problem.hessian_structure()[0], problem._problem.hessian_structure()[0])
    native = pickle.loads(pickle.dumps(problem._problem))
    np.testing.assert_array_equal(native.gradient(x), problem.gradient(x))


def test_a_copy_shares_the_compiled_problem():
    problem, _ = random_problem()
    again = copy.copy(problem)
    assert again._problem is problem._problem and again.function is problem.function
    x = np.linspace(-1.0, 1.0, problem.variables)
    np.testing.assert_array_equal(again.gradient(x), problem.gradient(x))


def test_an_option_ipopt_refuses_is_named():
    pytest.importorskip("cyipopt")
    x = zk.Undefined(name="x")
    with pytest.raises(ValueError, match=r"IPOPT refused the option no_such_option=3"):
        zk.nlp(x, x * x).solve(1.0, options={"no_such_option": 3})


def test_a_value_that_is_not_finite_makes_ipopt_step_back():
    pytest.importorskip("cyipopt")
    x = zk.Undefined(name="x")
    # From x = 1 the first Newton step lands at x < 0, where sqrt has no value.
    result = zk.nlp(x, x * x + zk.sqrt(x) * 0.5).solve(1.0)
    assert 0.0 <= result.x[0] < 1e-6
    # At the start itself IPOPT can only give up, and says so.
    result = zk.nlp(x, zk.sqrt(x)).solve(-1.0)
    assert not result.success and "invalid number" in result.message


def test_every_derivative_callback_refuses_what_is_not_finite():
    x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
    # sqrt(x * x) has no derivative at 0: its sweeps meet 0 * inf.
    problem = zk.nlp([x, y], zk.sqrt(x * x) + y, [zk.sqrt(x * x) * y])
    for call in (problem.gradient, problem.jacobian, problem.hessian):
        with pytest.raises(ValueError, match="finite"):
            call([0.0, 1.0])


def test_trust_constr_raises_what_the_problem_raises():
    x = zk.Undefined(name="x")
    with pytest.raises(ValueError, match="finite"):
        zk.nlp(x, zk.sqrt(x)).solve(-1.0, solver="trust-constr")


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda p, x: p.solve([0.0]), ValueError, "x0 must be a number or 2 numbers"),
        (lambda p, x: p.solve([0.0, np.inf]), ValueError, "x0 must be finite"),
        (lambda p, x: p.solve([0.0, 0.0], lbx=[1.0, 0.0], ubx=0.5), ValueError, r"lbx must not exceed .* \(at 0\)"),
        (lambda p, x: p.solve([0.0, 0.0], lbg=np.nan), ValueError, "lbg must not be NaN"),
        # No point meets them: IPOPT would stop at an "invalid number", trust-constr drop the bounds.
        (lambda p, x: p.solve([0.0, 0.0], lbx=[0.0, np.inf], ubx=np.inf), ValueError, r"lbx must not be inf \(at 1\)"),
        (lambda p, x: p.solve([0.0, 0.0], ubg=-np.inf), ValueError, r"ubg must not be -inf \(at 0\)"),
        (lambda p, x: p.solve([0.0, 0.0], ubg=[1.0, 2.0]), ValueError, "ubg must be a number or 1 numbers"),
        (lambda p, x: p.solve([0.0, 0.0], solver="newton"), ValueError, "solver must be"),
        (lambda p, x: p.objective([1.0]), ValueError, "x must be a one-dimensional array of 2 numbers"),
        (lambda p, x: p.gradient(np.ones((2, 1))), ValueError, "one-dimensional"),
        (lambda p, x: p.hessian([1.0, 2.0], 1.0, [1.0, 2.0]), ValueError, "multipliers must be .* of 1 numbers"),
        (lambda p, x: p.objective("ab"), TypeError, "x must hold real numbers"),
        (lambda p, x: p.gradient([1.0, object()]), TypeError, "x must hold real numbers"),
        (lambda p, x: p.jacobian(np.array([1j, 0.0])), TypeError, "x must hold real numbers"),
        (lambda p, x: p.hessian([1.0, 2.0], 1.0, ["a"]), TypeError, "multipliers must hold real numbers"),
        (lambda p, x: p.solve(np.array([1j, 0.0])), TypeError, "x0 must hold real numbers"),
        (lambda p, x: zk.nlp(x, x + 1.0, ["g"]), TypeError, "constraints must be an Expression"),
        (lambda p, x: zk.nlp(3.0, x), TypeError, "x must be an Expression"),
        (lambda p, x: zk.nlp(x, 1.0), TypeError, "objective must be an Expression"),
        (lambda p, x: zk.nlp(x, zk.vec2(x, x)), ValueError, "objective must be one lane"),
        (lambda p, x: zk.nlp([x, x], x), ValueError, "distinct"),
    ],
)
def test_refusals(call, error, text):
    x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
    problem = zk.nlp([x, y], x * y, [x - y])
    with pytest.raises(error, match=text):
        call(problem, x)


@pytest.mark.parametrize("solver", solvers())
def test_a_problem_without_variables_is_its_own_solution(solver):
    level = zk.Parameter(0.5, name="level")
    problem = zk.nlp([], level * level, [level])
    met = problem.solve([], ubg=1.0, solver=solver)
    assert met.success and met.objective == 0.25 and met.constraints.tolist() == [0.5] and met.x.shape == (0,)
    assert not problem.solve([], ubg=0.25, solver=solver).success


def test_ipopt_missing_is_said_plainly(monkeypatch):
    monkeypatch.setitem(sys.modules, "cyipopt", None)  # as if cyipopt were not installed
    x = zk.Undefined(name="x")
    with pytest.raises(ImportError, match=r"pip install zarnik\[ipopt\]"):
        zk.nlp(x, x * x).solve(1.0)


def test_the_native_problem_cannot_be_made_empty():
    problem, _ = random_problem()
    cls = type(problem._problem)
    with pytest.raises(TypeError, match="No constructor defined"):
        cls()
    with pytest.raises(TypeError, match="No constructor defined"):
        cls.__new__(cls)
