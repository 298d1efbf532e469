"""Nonlinear programs: minimise an objective of some variables subject to
bounds on the variables and on constraints, solved by IPOPT (through
cyipopt) or by SciPy's ``trust-constr``, both fed with sparse derivatives.

NumPy is imported with this module, SciPy and cyipopt only when a solve or
a sparse matrix needs them.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from _zarnik import Expression
from zarnik._compiled import Function, _nonlinear_problem, function

_QUIET = {"print_level": 0, "sb": "yes"}
# The variables' lower and upper bounds, then the constraints'.
_Bounds = tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]


@dataclasses.dataclass(frozen=True)
class NLPResult:
    """What a solve found.

    ``x`` the variables, ``objective`` and ``constraints`` their values
    there; ``multipliers`` the constraints' (the Lagrangian is ``f + g @
    multipliers``) and ``bound_multipliers`` the variables' bounds' (positive
    at an upper bound, negative at a lower one); ``success`` whether the
    solver reports a solution, with its ``status`` and ``message``;
    ``iterations`` its iterations.
    """

    x: np.ndarray
    objective: float
    constraints: np.ndarray
    multipliers: np.ndarray
    bound_multipliers: np.ndarray
    success: bool
    status: int
    message: str
    iterations: int
    solver: str


def _expressions(given: Expression | Sequence[Expression], what: str) -> list[Expression]:
    if isinstance(given, Expression):
        return [given]
    try:
        items = list(given)
    except TypeError:
        raise TypeError(f"{what} must be an Expression or a sequence of them, not {type(given).__name__}") from None
    for item in items:
        if not isinstance(item, Expression):
            raise TypeError(
                f"{what} must be an Expression or a sequence of them, not a sequence holding {type(item).__name__}"
            )
    return items


def _bounds(given: Any, size: int, default: float, what: str) -> np.ndarray:
    if given is None:
        return np.full(size, default)
    array = np.asarray(given)
    if array.dtype.kind == "c":  # a cast to floats would drop the imaginary parts
        raise TypeError(f"{what} must hold real numbers, not {array.dtype}")
    array = array.astype(float)
    if array.ndim == 0:
        array = np.full(size, float(array))
    if array.shape != (size,):
        raise ValueError(f"{what} must be a number or {size} numbers, not an array of shape {array.shape}")
    if np.isnan(array).any():
        raise ValueError(f"{what} must not be NaN")
    return array


class NLP:
    """Minimise ``objective`` over the lanes of the inputs ``x`` (placeholders
    or parameters) subject to ``lbg <= constraints <= ubg`` and ``lbx <= x <=
    ubx``. The problem's derivatives are compiled when it is made: the
    objective's gradient, the constraints' Jacobian and the Hessian of the
    Lagrangian, the last two sparse, with their patterns found from the graph.
    Parameters below the objective or the constraints that are not variables
    are read at each evaluation, so one problem solves for new data after
    ``set_value``.

    >>> import zarnik as zk
    >>> x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
    >>> problem = zk.nlp([x, y], (x - 1.0) * (x - 1.0) + (y - 2.0) * (y - 2.0), [x + y])
    >>> result = problem.solve([0.0, 0.0], ubg=1.0)
    >>> [round(v, 6) for v in result.x], round(result.objective, 6), result.success
    ([0.0, 1.0], 2.0, True)
    """

    def __init__(
        self,
        x: Expression | Sequence[Expression],
        objective: Expression,
        constraints: Expression | Sequence[Expression] = (),
    ) -> None:
        if not isinstance(objective, Expression):
            raise TypeError(f"objective must be an Expression, not {type(objective).__name__}")
        outputs = [objective, *_expressions(constraints, "constraints")]
        self._setup(function(_expressions(x, "x"), outputs))

    def _setup(self, compiled: Function) -> None:
        self._problem = _nonlinear_problem(compiled)
        self._function = compiled
        rows, columns = self._problem.hessian_structure()
        off = rows != columns
        # The Hessian both ways round, for solvers that take the whole matrix.
        self._symmetric = (np.concatenate([rows, columns[off]]), np.concatenate([columns, rows[off]]), off)

    @property
    def function(self) -> Function:
        """The variables' function whose first output is the objective and
        whose other outputs are the constraints."""
        return self._function

    @property
    def variables(self) -> int:
        return int(self._problem.variables)

    @property
    def constraints(self) -> int:
        return int(self._problem.constraints)

    def __repr__(self) -> str:
        return f"<zarnik.NLP of {self.variables} variables and {self.constraints} constraints>"

    def __copy__(self) -> NLP:
        # The problem is immutable: a copy shares it instead of compiling again.
        problem = NLP.__new__(NLP)
        problem.__dict__.update(self.__dict__)
        return problem

    def __reduce__(self) -> tuple[Any, ...]:
        return (_nlp_of_function, (self._function,))

    # The callbacks, for solvers of one's own.

    def objective(self, x: Any) -> float:
        """The objective at ``x`` (one number per variable)."""
        return float(self._problem.objective(x))

    def gradient(self, x: Any) -> np.ndarray:
        """The objective's gradient at ``x``."""
        return self._problem.gradient(x)

    def constraint_values(self, x: Any) -> np.ndarray:
        """The constraints' lanes at ``x``."""
        return self._problem.constraint_values(x)

    def jacobian(self, x: Any) -> Any:
        """The constraints' Jacobian at ``x``, a SciPy CSC array."""
        from scipy import sparse  # type: ignore[import-untyped]

        rows, columns = self._problem.jacobian_structure()
        return sparse.csc_array((self._problem.jacobian(x), (rows, columns)), shape=(self.constraints, self.variables))

    def hessian(self, x: Any, objective_factor: float = 1.0, multipliers: Any = None) -> Any:
        """The Hessian at ``x`` of ``objective_factor * objective +
        constraints @ multipliers`` (zero multipliers when None), a
        symmetric SciPy CSC array."""
        from scipy import sparse  # type: ignore[import-untyped]

        if multipliers is None:
            multipliers = np.zeros(self.constraints)
        values = self._problem.hessian(x, float(objective_factor), multipliers)
        rows, columns, off = self._symmetric
        return sparse.csc_array(
            (np.concatenate([values, values[off]]), (rows, columns)), shape=(self.variables, self.variables)
        )

    def solve(
        self,
        x0: Any,
        *,
        lbx: Any = None,
        ubx: Any = None,
        lbg: Any = None,
        ubg: Any = None,
        solver: str = "ipopt",
        options: Mapping[str, Any] | None = None,
    ) -> NLPResult:
        """Solve from the start ``x0`` (a number or one per variable).

        Variables are free unless ``lbx``/``ubx`` bound them; constraints are
        equalities (``g = 0``) unless ``lbg`` or ``ubg`` is given, and then
        the one not given is unbounded (``ubg=0`` alone means ``g <= 0``).
        Each bound is a number for all or one per lane; infinities leave a
        side free. ``solver`` is ``"ipopt"`` (needs cyipopt: pip install
        zarnik[ipopt]) or ``"trust-constr"`` (SciPy's). ``options`` go to the
        solver: IPOPT's options (quiet unless ``print_level`` is given), or
        SciPy's ``options`` of ``minimize``.
        """
        n, m = self.variables, self.constraints
        start = _bounds(x0, n, 0.0, "x0")
        if not np.isfinite(start).all():
            raise ValueError("x0 must be finite")
        lower_x = _bounds(lbx, n, -np.inf, "lbx")
        upper_x = _bounds(ubx, n, np.inf, "ubx")
        both_free = lbg is None and ubg is None
        lower_g = _bounds(lbg, m, 0.0 if both_free else -np.inf, "lbg")
        upper_g = _bounds(ubg, m, 0.0 if both_free else np.inf, "ubg")
        for name, lower, upper in (("lbx", lower_x, upper_x), ("lbg", lower_g, upper_g)):
            if (lower > upper).any():
                raise ValueError(f"{name} must not exceed its upper bound (at {int(np.argmax(lower > upper))})")
        # Bounds no number meets: IPOPT would stop at an "invalid number" and
        # trust-constr drop them as if free.
        unmet = (
            ("lbx", lower_x, np.inf),
            ("ubx", upper_x, -np.inf),
            ("lbg", lower_g, np.inf),
            ("ubg", upper_g, -np.inf),
        )
        for name, bound, wrong in unmet:
            if (bound == wrong).any():
                raise ValueError(f"{name} must not be {wrong} (at {int(np.argmax(bound == wrong))})")
        bounds = (lower_x, upper_x, lower_g, upper_g)
        if solver == "ipopt":
            return self._ipopt(start, bounds, dict(options or {}))
        if solver == "trust-constr":
            return self._trust_constr(start, bounds, dict(options or {}))
        raise ValueError(f'solver must be "ipopt" or "trust-constr", not {solver!r}')

    def _ipopt(self, start: np.ndarray, bounds: _Bounds, options: dict[str, Any]) -> NLPResult:
        lower_x, upper_x, lower_g, upper_g = bounds
        try:
            import cyipopt  # type: ignore[import-untyped]
        except ImportError:
            raise ImportError('solver="ipopt" needs cyipopt and IPOPT (pip install zarnik[ipopt])') from None
        if not self.variables:
            return self._without_variables(lower_g, upper_g)
        callbacks = _IpoptCallbacks(self._problem)
        solver = cyipopt.Problem(
            n=self.variables,
            m=self.constraints,
            problem_obj=callbacks,
            lb=lower_x,
            ub=upper_x,
            cl=lower_g,
            cu=upper_g,
        )
        for name, value in {**_QUIET, **options}.items():
            try:
                solver.add_option(name, value)
            except TypeError:
                raise ValueError(f"IPOPT refused the option {name}={value!r}") from None
        x, info = solver.solve(start)
        return NLPResult(
            x=np.asarray(x, dtype=float),
            objective=float(info["obj_val"]),
            constraints=np.asarray(info["g"], dtype=float).reshape(self.constraints),
            multipliers=np.asarray(info["mult_g"], dtype=float).reshape(self.constraints),
            bound_multipliers=np.asarray(info["mult_x_U"], dtype=float) - np.asarray(info["mult_x_L"], dtype=float),
            success=int(info["status"]) in (0, 1),
            status=int(info["status"]),
            message=_text(info["status_msg"]),
            iterations=callbacks.iterations,
            solver="ipopt",
        )

    def _without_variables(self, lower_g: np.ndarray, upper_g: np.ndarray) -> NLPResult:
        """IPOPT takes no problem without variables: its one point is the
        solution when it meets the constraints, with IPOPT's codes."""
        x = np.zeros(0)
        constraints = self._problem.constraint_values(x)
        met = bool(((lower_g <= constraints) & (constraints <= upper_g)).all())
        return NLPResult(
            x=x,
            objective=float(self._problem.objective(x)),
            constraints=constraints,
            multipliers=np.zeros(self.constraints),
            bound_multipliers=x,
            success=met,
            status=0 if met else 2,
            message="no variables: the one point meets the constraints"
            if met
            else "no variables: the one point does not meet the constraints",
            iterations=0,
            solver="ipopt",
        )

    def _trust_constr(self, start: np.ndarray, bounds: _Bounds, options: dict[str, Any]) -> NLPResult:
        lower_x, upper_x, lower_g, upper_g = bounds
        from scipy import optimize  # type: ignore[import-untyped]

        problem = self._problem
        constraints = []
        if self.constraints:
            constraints.append(
                optimize.NonlinearConstraint(
                    problem.constraint_values,
                    lower_g,
                    upper_g,
                    jac=self.jacobian,
                    hess=lambda x, v: self.hessian(x, 0.0, v),
                )
            )
        bounded = np.isfinite(lower_x).any() or np.isfinite(upper_x).any()
        found = optimize.minimize(
            lambda x: (problem.objective(x), problem.gradient(x)),
            start,
            jac=True,
            hess=lambda x: self.hessian(x),
            method="trust-constr",
            constraints=constraints,
            bounds=optimize.Bounds(lower_x, upper_x) if bounded else None,
            options=options,
        )
        x = np.asarray(found.x, dtype=float)
        # SciPy's multipliers have IPOPT's signs; the bounds' come as a
        # constraint of their own, after the constraints.
        multipliers = np.asarray(found.v[0], dtype=float) if self.constraints else np.zeros(0)
        bound_multipliers = np.asarray(found.v[-1], dtype=float) if bounded else np.zeros(self.variables)
        return NLPResult(
            x=x,
            objective=float(found.fun),
            constraints=problem.constraint_values(x),
            multipliers=multipliers,
            bound_multipliers=bound_multipliers,
            success=bool(found.success),
            status=int(found.status),
            message=str(found.message),
            iterations=int(found.nit),
            solver="trust-constr",
        )


class _IpoptCallbacks:
    """What cyipopt calls, each a native call over the flat variables. A
    value that is not finite at a trial point (the only ValueError the
    callbacks raise for variables of the right size) is reported to IPOPT as
    an evaluation error, so that it steps back instead of ending the solve,
    as it does for a NumPy objective that returns inf."""

    def __init__(self, problem: Any) -> None:
        import cyipopt  # type: ignore[import-untyped]

        def evaluated(call: Any) -> Any:
            def guarded(*args: Any) -> Any:
                try:
                    return call(*args)
                except ValueError as error:
                    raise cyipopt.CyIpoptEvaluationError(str(error)) from error

            return guarded

        self.objective = evaluated(problem.objective)
        self.gradient = evaluated(problem.gradient)
        self.constraints = evaluated(problem.constraint_values)
        self.jacobian = evaluated(problem.jacobian)
        self._hessian = evaluated(problem.hessian)
        self._jacobian_structure = problem.jacobian_structure()
        if problem.constraints and not self._jacobian_structure[0].size:
            # IPOPT refuses constraints whose Jacobian has no entry (none of
            # them depends on a variable): it gets one entry that stays zero.
            self._jacobian_structure = (np.zeros(1, np.int32), np.zeros(1, np.int32))
            self.jacobian = evaluated(lambda x: np.append(problem.jacobian(x), 0.0))
        self._hessian_structure = problem.hessian_structure()
        self.iterations = 0

    def jacobianstructure(self) -> tuple[np.ndarray, np.ndarray]:
        return self._jacobian_structure

    def hessianstructure(self) -> tuple[np.ndarray, np.ndarray]:
        return self._hessian_structure

    def hessian(self, x: np.ndarray, multipliers: np.ndarray, objective_factor: float) -> np.ndarray:
        return self._hessian(x, objective_factor, multipliers)

    def intermediate(self, alg_mod: int, iter_count: int, *args: Any) -> bool:
        self.iterations = iter_count
        return True


def _text(message: Any) -> str:
    return message.decode() if isinstance(message, bytes) else str(message)


def _nlp_of_function(compiled: Function) -> NLP:
    problem = NLP.__new__(NLP)
    problem._setup(compiled)
    return problem


def nlp(
    x: Expression | Sequence[Expression],
    objective: Expression,
    constraints: Expression | Sequence[Expression] = (),
) -> NLP:
    """The nonlinear program of minimising ``objective`` over the lanes of
    the inputs ``x`` subject to ``constraints``; see :class:`NLP`."""
    return NLP(x, objective, constraints)
