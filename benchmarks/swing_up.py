"""Constrained optimisation beside CasADi's nlpsol and JAX's dense derivatives.

    python swing_up.py run OUT.json

The pendulum swing-up of examples/swing_up.py (direct multiple shooting, RK4
in 4 steps per interval, 3N + 2 variables, 2N + 4 constraints) at N = 1,000
and 10,000 intervals, solved by IPOPT from the same start with the same
options (IPOPT's defaults, MUMPS, output off) on both sides: this library's
problem through cyipopt, CasADi's SX graph of the same arithmetic through
`nlpsol("ipopt")`, both on the same IPOPT library. For each side: building
(the graph, then the problem with its patterns and compiled derivatives, or
`nlpsol`), the solve (`solve`, or calling the nlpsol Function), the time
spent in derivative callbacks (the problem's own callbacks as cyipopt calls
them, or the sum of CasADi's `t_wall_nlp_*` statistics), iterations and the
optimum, which must agree (relative 1e-6) before the times count. The first
solve of a process also loads IPOPT's library through cyipopt; that import is
timed apart and not counted.

Then the derivatives at N = 1,000: one evaluation of the constraints'
Jacobian and of the Lagrangian's Hessian, this library's sparse ones beside
JAX's dense `jacfwd` and `hessian` (jitted, float64, CPU, on arrays made
once, results waited for), whose non-zeros must agree (relative 1e-9).

Set ZARNIK_BENCH_QUICK=1 for a smoke run (N = 100).
"""

import collections
import json
import math
import os
import pathlib
import resource
import statistics
import sys
import time

import numpy as np

import zarnik
import zarnik._nlp

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import swing_up as example  # noqa: E402

QUICK = os.environ.get("ZARNIK_BENCH_QUICK") == "1"
# Intervals, and the interleaved rounds at that size.
SIZES = {100: 2} if QUICK else {1_000: 3, 10_000: 1}
DENSE_SIZE = 100 if QUICK else 1_000
# A dense Hessian of 3,002 lanes takes seconds a call: a few rounds.
DENSE_REPEATS = 3
# The sparse derivatives' evaluations at the solution, each size's best.
EVALUATION_REPEATS = 10


class TimedCallbacks(zarnik._nlp._IpoptCallbacks):
    """The callbacks cyipopt calls, each timed."""

    spent = collections.Counter()

    def __init__(self, problem):
        super().__init__(problem)
        for name in ("objective", "gradient", "constraints", "jacobian"):
            setattr(self, name, self._timed(getattr(self, name), name))

    def _timed(self, call, name):
        def timed(*args):
            started = time.perf_counter()
            try:
                return call(*args)
            finally:
                TimedCallbacks.spent[name] += time.perf_counter() - started

        return timed

    def hessian(self, x, multipliers, objective_factor):
        started = time.perf_counter()
        try:
            return super().hessian(x, multipliers, objective_factor)
        finally:
            TimedCallbacks.spent["hessian"] += time.perf_counter() - started


def zarnik_run(intervals):
    started = time.perf_counter()
    problem = example.swing_up(intervals)
    built = time.perf_counter() - started
    TimedCallbacks.spent.clear()
    zarnik._nlp._IpoptCallbacks = TimedCallbacks
    start, lower, upper, _ = example.start_and_bounds(intervals)
    started = time.perf_counter()
    result = problem.solve(start, lbx=lower, ubx=upper)
    solved = time.perf_counter() - started
    native = problem._problem
    multipliers = np.asarray(result.multipliers)
    evaluations = times_of(
        {
            "jacobian": lambda: native.jacobian(result.x),
            "hessian": lambda: native.hessian(result.x, 1.0, multipliers),
        },
        EVALUATION_REPEATS,
    )
    return {
        "evaluations": evaluations,
        "peak_rss_bytes": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
        "build": built,
        "solve": solved,
        "callbacks": sum(TimedCallbacks.spent.values()),
        "callbacks_by_kind": dict(TimedCallbacks.spent),
        "iterations": result.iterations,
        "objective": result.objective,
        "success": result.success,
        "variables": problem.variables,
        "constraints": problem.constraints,
    }, (problem, start)


def casadi_run(intervals):
    import casadi as ca

    started = time.perf_counter()
    step = example.HORIZON / intervals
    h = step / example.SUBSTEPS
    w = ca.SX.sym("w", 3 * intervals + 2)
    states = [w[3 * k : 3 * k + 2] for k in range(intervals + 1)]
    torques = [w[3 * k + 2] for k in range(intervals)]

    def dynamics(state, torque):
        return ca.vertcat(state[1], torque - example.GRAVITY * ca.sin(state[0]) - example.DAMPING * state[1])

    effort = 0
    gaps = []
    for k in range(intervals):
        effort = effort + torques[k] * torques[k] * step
        state = states[k]
        for _ in range(example.SUBSTEPS):
            k1 = dynamics(state, torques[k])
            k2 = dynamics(state + k1 * (h / 2), torques[k])
            k3 = dynamics(state + k2 * (h / 2), torques[k])
            k4 = dynamics(state + k3 * h, torques[k])
            state = state + (k1 + k2 * 2.0 + k3 * 2.0 + k4) * (h / 6)
        gaps.append(states[k + 1] - state)
    g = ca.vertcat(states[0] - ca.DM([0.0, 0.0]), *gaps, states[-1] - ca.DM([math.pi, 0.0]))
    options = {"ipopt.print_level": 0, "ipopt.sb": "yes", "print_time": False}
    solver = ca.nlpsol("swing_up", "ipopt", {"x": w, "f": effort, "g": g}, options)
    built = time.perf_counter() - started
    start, lower, upper, _ = example.start_and_bounds(intervals)
    started = time.perf_counter()
    found = solver(x0=start, lbx=lower, ubx=upper, lbg=0.0, ubg=0.0)
    solved = time.perf_counter() - started
    stats = solver.stats()
    callbacks = sum(value for key, value in stats.items() if key.startswith("t_wall_nlp_"))
    return {
        "build": built,
        "solve": solved,
        "callbacks": callbacks,
        "callbacks_by_kind": {key: value for key, value in stats.items() if key.startswith("t_wall_nlp_")},
        "iterations": int(stats["iter_count"]),
        "objective": float(found["f"]),
        "success": bool(stats["success"]),
    }


def jax_dense(problem, intervals, x):
    os.environ.setdefault("JAX_PLATFORMS", "cpu")
    import jax

    jax.config.update("jax_enable_x64", True)
    import jax.numpy as jnp

    step = example.HORIZON / intervals
    h = step / example.SUBSTEPS

    def split(w):
        body = w[:-2].reshape(intervals, 3)
        states = jnp.concatenate([body[:, :2], w[-2:][None, :]])
        return states, body[:, 2]

    def dynamics(s, u):
        return jnp.stack([s[:, 1], u - example.GRAVITY * jnp.sin(s[:, 0]) - example.DAMPING * s[:, 1]], axis=1)

    def constraints(w):
        states, torques = split(w)
        s = states[:-1]
        for _ in range(example.SUBSTEPS):
            k1 = dynamics(s, torques)
            k2 = dynamics(s + k1 * (h / 2), torques)
            k3 = dynamics(s + k2 * (h / 2), torques)
            k4 = dynamics(s + k3 * h, torques)
            s = s + (k1 + k2 * 2.0 + k3 * 2.0 + k4) * (h / 6)
        return jnp.concatenate([states[0], (states[1:] - s).ravel(), states[-1] - jnp.array([math.pi, 0.0])])

    def lagrangian(w, multipliers):
        _, torques = split(w)
        return jnp.sum(torques * torques * step) + constraints(w) @ multipliers

    multipliers = np.linspace(-1.0, 1.0, problem.constraints)
    jacobian = jax.jit(jax.jacfwd(constraints))
    hessian = jax.jit(jax.hessian(lagrangian))
    wj, mj = jnp.asarray(x), jnp.asarray(multipliers)
    started = time.perf_counter()
    dense_jacobian = np.asarray(jacobian(wj).block_until_ready())
    dense_hessian = np.asarray(hessian(wj, mj).block_until_ready())
    first = time.perf_counter() - started

    ours_jacobian = problem.jacobian(x).toarray()
    ours_hessian = problem.hessian(x, 1.0, multipliers).toarray()
    agrees = close(ours_jacobian, dense_jacobian) and close(ours_hessian, dense_hessian)
    calls = {
        "zarnik sparse jacobian": lambda: problem._problem.jacobian(x),
        "jax jit jacfwd": lambda: jacobian(wj).block_until_ready(),
        "zarnik sparse hessian": lambda: problem._problem.hessian(x, 1.0, multipliers),
        "jax jit hessian": lambda: hessian(wj, mj).block_until_ready(),
    }
    return {
        "intervals": intervals,
        "agrees": agrees,
        "jax_version": jax.__version__,
        "jax_first_calls": first,
        "times": times_of(calls, DENSE_REPEATS),
    }


def best_of(kept, new):
    """The faster of two rounds' times, key by key; the rest as the new round has it (every round must agree)."""
    if kept is None:
        return new
    best = dict(new)
    for key in ("build", "solve", "callbacks"):
        best[key] = min(kept[key], new[key])
    if "evaluations" in new:
        best["evaluations"] = {
            key: min(kept["evaluations"][key], new["evaluations"][key], key=lambda times: times["min"])
            for key in new["evaluations"]
        }
    best["agrees"] = kept.get("agrees", True) and new.get("agrees", True)
    return best


def close(a, b, tolerance=1e-9):
    return a.shape == b.shape and bool(np.all(np.abs(a - b) <= tolerance * np.maximum(1.0, np.abs(b))))


def times_of(calls, repeats):
    """Interleaved rounds, every call once per round; seconds, minimum and median."""
    rounds = {name: [] for name in calls}
    for _ in range(repeats):
        for name, call in calls.items():
            started = time.perf_counter()
            call()
            rounds[name].append(time.perf_counter() - started)
    return {name: {"min": min(times), "median": statistics.median(times)} for name, times in rounds.items()}


def run(out_path):
    started = time.perf_counter()
    import cyipopt  # noqa: F401

    report = {"cyipopt_import": time.perf_counter() - started, "runs": []}
    try:
        import casadi

        report["casadi_version"] = casadi.__version__
    except ImportError:
        casadi = None
    kept = None
    for intervals, rounds in SIZES.items():
        print(f"swing-up, N = {intervals:,}", file=sys.stderr, flush=True)
        # Interleaved rounds, each contender's best kept: a machine shared
        # with other work slows both alike, and the best round the least.
        entry = {"intervals": intervals, "rounds": rounds}
        for _ in range(rounds):
            ours, problem = zarnik_run(intervals)
            entry["zarnik"] = best_of(entry.get("zarnik"), ours)
            if intervals == DENSE_SIZE:
                kept = problem
            del problem
            if casadi is not None:
                theirs = casadi_run(intervals)
                theirs["agrees"] = abs(theirs["objective"] - ours["objective"]) <= 1e-6 * abs(theirs["objective"])
                entry["casadi"] = best_of(entry.get("casadi"), theirs)
        report["runs"].append(entry)
    try:
        import jax  # noqa: F401
    except ImportError:
        pass
    else:
        print(f"dense derivatives beside JAX, N = {DENSE_SIZE:,}", file=sys.stderr, flush=True)
        problem, start = kept
        report["dense"] = jax_dense(problem, DENSE_SIZE, start + 0.01 * np.sin(np.arange(start.size)))
    with open(out_path, "w") as out:
        json.dump(report, out, indent=1)


def main(args):
    if len(args) != 2 or args[0] != "run":
        sys.exit(__doc__)
    run(args[1])


if __name__ == "__main__":
    main(sys.argv[1:])
