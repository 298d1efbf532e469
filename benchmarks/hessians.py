"""Second derivatives and gradient graphs beside CasADi, JAX and PyTorch.

    python hessians.py run OUT.json

W6 Hessian: the extended Rosenbrock function of 12 scalars, the sum over the
pairs (x[2j], x[2j+1]) of 100 (x[2j+1] - x[2j]^2)^2 + (1 - x[2j])^2, with the
scalars held by three 4-lane placeholders. The Hessian at one point: a call
of `zarnik.function(...).hessian`, of a CasADi Function of `hessian`, of
JAX's jitted `jax.hessian` (on a JAX array made once, the result waited for)
and of PyTorch's `torch.autograd.functional.hessian` (eager). Building: from
the loss expression to a first Hessian, for this library a new function and
its first `hessian` call (the gradient graphs, the graph of the entries and
their compiled function, then the call), for CasADi `hessian` and the
Function's creation, for JAX the first call of the jitted function (tracing
and compiling).

W1 gradient graph: the W1 loss (a + b x + c sin(d x) fitted to M points)
and `zarnik.grad` of it against its four parameters: the nodes of each, the
time to build the gradient graphs and to compile them into a function of no
inputs (the parameters read at each call), and a call of that function
beside a call of `backward` on a tape of the loss (which evaluates the loss
first, as a gradient graph does). Both give the same bits, which is checked.

W1 Hessian: the 4 x 4 Hessian of the W1 loss at M = 1,000, a call of this
library's beside CasADi's.

Every contender must give the same numbers (relative tolerance 1e-12) before
its times count. Set ZARNIK_BENCH_QUICK=1 for a smoke run.
"""

import json
import math
import os
import statistics
import sys
import time

import numpy as np

import _zarnik as zk
import zarnik

QUICK = os.environ.get("ZARNIK_BENCH_QUICK") == "1"
REPEATS = 3 if QUICK else 15
LANES = 12
POINT = [-1.2, 1.0, 0.3, -0.5, 0.8, 1.1, -0.7, 0.25, 1.3, 0.9, -0.1, 0.6]
FIT_SIZES = [100] if QUICK else [1_000, 10_000]
START = (0.1, 0.2, 0.3, 2.5)


def close(a, b, tolerance=1e-12):
    a, b = np.asarray(a, dtype=float).ravel(), np.asarray(b, dtype=float).ravel()
    return a.shape == b.shape and bool(np.all(np.abs(a - b) <= tolerance * np.maximum(1.0, np.abs(b))))


def times_of(contenders, calls):
    """Interleaved rounds, every contender once per round; seconds per call, minimum and median."""
    rounds = {name: [] for name in contenders}
    for _ in range(REPEATS):
        for name, call in contenders.items():
            started = time.perf_counter()
            for _ in range(calls):
                call()
            rounds[name].append((time.perf_counter() - started) / calls)
    return {name: {"min": min(times), "median": statistics.median(times)} for name, times in rounds.items()}


def build_times(builds, repeats):
    """Each build run `repeats` times from the same expression, in interleaved rounds, so that a
    machine shared with other work slows every contender alike; seconds, minimum and median."""
    rounds = {name: [] for name in builds}
    for _ in range(repeats):
        for name, build in builds.items():
            started = time.perf_counter()
            build()
            rounds[name].append(time.perf_counter() - started)
    return {name: {"min": min(times), "median": statistics.median(times)} for name, times in rounds.items()}


# --- W6: the Hessian of the extended Rosenbrock function -------------------------------------


def rosenbrock(x, add=lambda a, b: a + b, zero=0.0):
    total = zero
    for j in range(0, len(x), 2):
        bend = x[j + 1] - x[j] * x[j]
        slope = 1.0 - x[j]
        total = add(total, 100.0 * bend * bend + slope * slope)
    return total


def w6_hessian():
    parts = [zk.Undefined(dim=4, name=name) for name in "pqr"]
    loss = rosenbrock([part[i] for part in parts for i in range(4)], zero=zk.Constant(0.0))
    at = (tuple(POINT[0:4]), tuple(POINT[4:8]), tuple(POINT[8:12]))
    f = zarnik.function(parts, loss)
    calls = {"zarnik hessian": lambda: f.hessian(*at)}
    builds = {"zarnik function and first hessian": lambda: zarnik.function(parts, loss).hessian(*at)}
    reference = f.hessian(*at)
    versions = {}
    try:
        import casadi as ca

        x = ca.SX.sym("x", LANES)
        loss_sx = rosenbrock([x[i] for i in range(LANES)])
        point = np.array(POINT)
        hessian_function = ca.Function("H", [x], [ca.hessian(loss_sx, x)[0]])
        calls["casadi hessian Function"] = lambda: hessian_function(point)
        builds["casadi hessian and Function"] = lambda: ca.Function("H", [x], [ca.hessian(loss_sx, x)[0]])
        versions["casadi"] = ca.__version__
    except ImportError:
        pass
    try:
        import jax

        jax.config.update("jax_enable_x64", True)
        import jax.numpy as jnp

        point_jax = jnp.array(POINT, dtype=jnp.float64)

        def loss_jax(v):
            return rosenbrock([v[i] for i in range(LANES)])

        jitted = jax.jit(jax.hessian(loss_jax))
        calls["jax jit hessian"] = lambda: jitted(point_jax).block_until_ready()
        builds["jax jit hessian, first call"] = lambda: jax.jit(jax.hessian(loss_jax))(point_jax).block_until_ready()
        versions["jax"] = jax.__version__
    except ImportError:
        pass
    try:
        import torch

        torch.set_num_threads(1)
        point_torch = torch.tensor(POINT, dtype=torch.float64)

        def loss_torch(v):
            return rosenbrock([v[i] for i in range(LANES)])

        calls["pytorch autograd hessian"] = lambda: torch.autograd.functional.hessian(loss_torch, point_torch)
        versions["torch"] = torch.__version__
    except ImportError:
        pass
    results = {name: {"agrees": close(np.asarray(call()), reference)} for name, call in calls.items()}
    for name, times in times_of(calls, 200 if QUICK else 2000).items():
        results[name]["times"] = times
    built = build_times(builds, 3 if QUICK else 10)
    return {
        "lanes": LANES,
        "contenders": results,
        "builds": built,
        "versions": versions,
        "symmetric": bool(np.array_equal(reference, reference.T)),
    }


# --- W1: the gradient graph of the fit's loss ------------------------------------------------


def fit_loss(points, parameters):
    a, b, c, d = parameters
    loss = None
    for i in range(points):
        x = i / points
        r = a + b * x + c * zk.sin(d * x) - (math.sin(3 * x) + 0.5)
        loss = r * r if loss is None else loss + r * r
    return loss


def nodes_below(roots):
    seen, stack = set(), list(roots)
    while stack:
        node = stack.pop()
        if node.id not in seen:
            seen.add(node.id)
            stack.extend(node.inputs)
    return len(seen)


def w1_gradient(points):
    parameters = [zk.Parameter(value) for value in START]
    loss = fit_loss(points, parameters)
    started = time.perf_counter()
    gradients = zarnik.grad(loss, parameters)
    grad_seconds = time.perf_counter() - started
    started = time.perf_counter()
    compiled = zarnik.function([], gradients)
    function_seconds = time.perf_counter() - started
    started = time.perf_counter()
    tape = zarnik.compile(loss)
    compile_seconds = time.perf_counter() - started

    tape.backward()
    written = [p.grad for p in parameters]
    tape.zero_grad()
    agrees = list(compiled()) == written  # to the bit

    def backward():
        tape.backward()
        tape.zero_grad()

    calls = {"zarnik function of grad": compiled, "zarnik tape backward": backward}
    times = times_of(calls, 3 if points >= 10_000 else 20)
    loss_nodes, gradient_nodes = nodes_below([loss]), nodes_below(gradients)
    return {
        "points": points,
        "loss_nodes": loss_nodes,
        "gradient_nodes": gradient_nodes,
        "agrees": agrees,
        "build": {"grad": grad_seconds, "function of grad": function_seconds, "compile": compile_seconds},
        "times": times,
    }


# --- W1: the Hessian of the fit's loss -------------------------------------------------------


def w1_hessian(points):
    parameters = [zk.Parameter(value) for value in START]
    loss = fit_loss(points, parameters)
    f = zarnik.function(parameters, loss)
    calls = {"zarnik hessian": lambda: f.hessian(*START)}
    reference = f.hessian(*START)
    try:
        import casadi as ca

        p = ca.SX.sym("p", 4)
        loss_sx = fit_loss_sx(points, p, ca)
        hessian_function = ca.Function("H", [p], [ca.hessian(loss_sx, p)[0]])
        calls["casadi hessian Function"] = lambda: hessian_function(np.array(START))
    except ImportError:
        pass
    results = {name: {"agrees": close(np.asarray(call()), reference, 1e-10)} for name, call in calls.items()}
    for name, times in times_of(calls, 5 if QUICK else 50).items():
        results[name]["times"] = times
    return {"points": points, "contenders": results}


def fit_loss_sx(points, p, ca):
    loss = 0
    for i in range(points):
        x = i / points
        r = p[0] + p[1] * x + p[2] * ca.sin(p[3] * x) - (math.sin(3 * x) + 0.5)
        loss = loss + r * r
    return loss


def run(out_path):
    print("W6 Hessian of the extended Rosenbrock function, 12 scalars", file=sys.stderr, flush=True)
    report = {"rosenbrock": w6_hessian()}
    report["fit_gradients"] = []
    for points in FIT_SIZES:
        print(f"W1 gradient graph, M = {points:,}", file=sys.stderr, flush=True)
        report["fit_gradients"].append(w1_gradient(points))
    print("W1 Hessian, M = 1,000", file=sys.stderr, flush=True)
    report["fit_hessian"] = w1_hessian(100 if QUICK else 1_000)
    with open(out_path, "w") as out:
        json.dump(report, out, indent=1)


def main(args):
    if len(args) != 2 or args[0] != "run":
        sys.exit(__doc__)
    run(args[1])


if __name__ == "__main__":
    main(sys.argv[1:])
