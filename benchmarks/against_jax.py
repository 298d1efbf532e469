"""Batches and Jacobians beside JAX (jax.jit, float64, CPU), in one process.

    python against_jax.py run OUT.json

Four workloads, each this library's call beside JAX's jitted counterpart,
interleaved round by round, minima taken, so that the ratios come from one
stretch of a shared machine:

W4 batch: the W1 model a + b x + c sin(d x) over N = 1,000,000 rows of x,
the four parameters given once for every row (broadcast): `f.batch(xs, a, b,
c, d)` beside the jitted model over the array.

W4 Jacobian: the Jacobian of every row with respect to the four parameters:
`f.batch_jacobian(xs, a, b, c, d, wrt=[a, b, c, d])` beside the faster of
jitted vmap(jacfwd) and vmap(jacrev) of the model over the rows.

Fit: the sum over the rows of the squared residuals (prediction - y)^2 of
(x, y) data and its gradient with respect to the four parameters:
`g.batch_value_and_grad(xs, ys, a, b, c, d, wrt=[a, b, c, d])` beside jitted
value_and_grad of the summed loss.

W5: the Jacobian of a circle fit's 50 residuals against its 3 unknowns, one
call, beside jitted jacrev (each call waiting for its result).

Pendulum: a damped pendulum, theta' = omega, omega' = -sin(theta) - 0.1
omega, integrated by 200 unrolled RK4 steps of h = 0.01 (a graph of some
11,600 nodes), over 10,000 initial conditions: the final state, and its
Jacobian with respect to the initial one, beside the same steps jitted (and
vmap(jacfwd) of them). A large graph: its blocks of rows are short.

The rows of x are a fixed-seed uniform sample over [0, 3), unordered, as
data comes: sorted rows would let the branches of the C library's sine be
predicted.

This library's batches run exact (the default) and with approximate=True,
both on every core; JAX uses every core as it chooses. Every result must
agree with JAX's (relative tolerance 1e-9) before its times count. Set
ZARNIK_BENCH_QUICK=1 for a smoke run.
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
ROWS = 10_000 if QUICK else 1_000_000
REPEATS = 3 if QUICK else 25
MODEL = (0.1, 0.2, 0.3, 2.5)
CIRCLE_POINTS = 50
GUESS = (0.2, -0.1, 1.7)


def jax_modules():
    os.environ.setdefault("JAX_PLATFORMS", "cpu")
    import jax

    jax.config.update("jax_enable_x64", True)
    import jax.numpy as jnp

    return jax, jnp


def close(a, b, tolerance=1e-9):
    a, b = np.asarray(a, dtype=float).ravel(), np.asarray(b, dtype=float).ravel()
    return a.shape == b.shape and bool(np.all(np.abs(a - b) <= tolerance * np.maximum(1.0, np.abs(b))))


def interleaved(contenders, repeats, inner=1):
    """name -> {"min", "median"} seconds per call, every contender once per round."""
    rounds = {name: [] for name in contenders}
    for _ in range(repeats):
        for name, call in contenders.items():
            started = time.perf_counter()
            for _ in range(inner):
                call()
            rounds[name].append((time.perf_counter() - started) / inner)
    return {name: {"min": min(times), "median": statistics.median(times)} for name, times in rounds.items()}


def measured(contenders, reference, repeats=REPEATS, inner=1, compare=lambda result: result):
    results = {name: {"agrees": close(compare(call()), reference)} for name, call in contenders.items()}
    for name, times in interleaved(contenders, repeats, inner).items():
        results[name]["times"] = times
    return results


def model(fn, x, a, b, c, d):
    return a + b * x + c * fn.sin(d * x)


def w4(jax, jnp):
    xs = np.random.default_rng(2024).uniform(0.0, 3.0, ROWS)
    ys = np.asarray(model(np, xs, *MODEL)) + 0.01 * np.sin(37.0 * xs)
    x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
    parameters = [zk.Undefined(name=name) for name in "abcd"]
    prediction = model(zarnik, x, *parameters)
    f = zarnik.function([x, *parameters], prediction)
    residual = prediction - y
    g = zarnik.function([x, y, *parameters], residual * residual)

    jx, jy, jp = jax.device_put(xs), jax.device_put(ys), jax.device_put(np.array(MODEL))

    def jax_model(x_, p):
        return model(jnp, x_, p[0], p[1], p[2], p[3])

    jitted = jax.jit(jax_model)
    forward = jax.jit(jax.vmap(jax.jacfwd(jax_model, argnums=1), in_axes=(0, None)))
    reverse = jax.jit(jax.vmap(jax.jacrev(jax_model, argnums=1), in_axes=(0, None)))
    loss = jax.jit(jax.value_and_grad(lambda p, x_, y_: jnp.sum((jax_model(x_, p) - y_) ** 2)))
    ready = lambda result: jax.block_until_ready(result)

    report = {"rows": ROWS}
    batch = {
        "zarnik": lambda: f.batch(xs, *MODEL),
        "zarnik approximate": lambda: f.batch(xs, *MODEL, approximate=True),
        "jax jit": lambda: ready(jitted(jx, jp)),
    }
    report["batch"] = measured(batch, np.asarray(jitted(jx, jp)))

    wrt = parameters
    jacobians = {
        "zarnik": lambda: f.batch_jacobian(xs, *MODEL, wrt=wrt),
        "zarnik approximate": lambda: f.batch_jacobian(xs, *MODEL, wrt=wrt, approximate=True),
        "jax vmap(jacfwd)": lambda: ready(forward(jx, jp)),
        "jax vmap(jacrev)": lambda: ready(reverse(jx, jp)),
    }
    report["batch_jacobian"] = measured(jacobians, np.asarray(forward(jx, jp)))

    def ours(approximate):
        value, gradients = g.batch_value_and_grad(xs, ys, *MODEL, wrt=wrt, approximate=approximate)
        return [value, *(float(gradient[0]) for gradient in gradients)]

    def theirs():
        value, gradient = ready(loss(jp, jx, jy))
        return [value, *np.asarray(gradient)]

    fit = {
        "zarnik": lambda: ours(False),
        "zarnik approximate": lambda: ours(True),
        "jax value_and_grad": theirs,
    }
    report["fit"] = measured(fit, np.array(theirs(), dtype=float), compare=lambda result: np.array(result, dtype=float))
    return report


PENDULUM_ROWS = 1_000 if QUICK else 10_000
PENDULUM_STEPS = 200
PENDULUM_H = 0.01


def pendulum_state(fn, theta, omega):
    """The state after PENDULUM_STEPS RK4 steps, written once for this library's graphs and for JAX."""

    def slope(t, w):
        return w, -fn.sin(t) - 0.1 * w

    h = PENDULUM_H
    for _ in range(PENDULUM_STEPS):
        k1t, k1w = slope(theta, omega)
        k2t, k2w = slope(theta + h / 2 * k1t, omega + h / 2 * k1w)
        k3t, k3w = slope(theta + h / 2 * k2t, omega + h / 2 * k2w)
        k4t, k4w = slope(theta + h * k3t, omega + h * k3w)
        theta = theta + h / 6 * (k1t + 2 * k2t + 2 * k3t + k4t)
        omega = omega + h / 6 * (k1w + 2 * k2w + 2 * k3w + k4w)
    return theta, omega


def pendulum(jax, jnp):
    rng = np.random.default_rng(7)
    thetas, omegas = rng.uniform(-3.0, 3.0, PENDULUM_ROWS), rng.uniform(-1.0, 1.0, PENDULUM_ROWS)
    theta, omega = zk.Undefined(name="theta"), zk.Undefined(name="omega")
    f = zarnik.function([theta, omega], list(pendulum_state(zarnik, theta, omega)))

    def final(state):
        return jnp.stack(pendulum_state(jnp, state[0], state[1]))

    jt, jo = jax.device_put(thetas), jax.device_put(omegas)
    states = jax.device_put(np.stack([thetas, omegas], axis=1))
    jitted = jax.jit(lambda t, w: jnp.stack(pendulum_state(jnp, t, w), axis=1))
    forward = jax.jit(jax.vmap(jax.jacfwd(final)))
    ready = jax.block_until_ready
    report = {"rows": PENDULUM_ROWS, "steps": PENDULUM_STEPS}
    batch = {
        "zarnik": lambda: np.stack(f.batch(thetas, omegas), axis=1),
        "zarnik approximate": lambda: np.stack(f.batch(thetas, omegas, approximate=True), axis=1),
        "jax jit": lambda: ready(jitted(jt, jo)),
    }
    report["batch"] = measured(batch, np.asarray(jitted(jt, jo)), repeats=max(3, REPEATS // 5))
    jacobians = {
        "zarnik": lambda: f.batch_jacobian(thetas, omegas),
        "zarnik approximate": lambda: f.batch_jacobian(thetas, omegas, approximate=True),
        "jax vmap(jacfwd)": lambda: ready(forward(states)),
    }
    report["batch_jacobian"] = measured(jacobians, np.asarray(forward(states)), repeats=max(3, REPEATS // 5))
    return report


def circle_points():
    return [
        (
            1.5 + 2.0 * math.cos(2 * math.pi * i / CIRCLE_POINTS),
            -0.5 + 2.0 * math.sin(2 * math.pi * i / CIRCLE_POINTS) + 0.01 * math.sin(7.0 * i),
        )
        for i in range(CIRCLE_POINTS)
    ]


def w5(jax, jnp):
    points = circle_points()
    px, py = np.array([p[0] for p in points]), np.array([p[1] for p in points])
    unknowns = [zk.Undefined(name=name) for name in ("cx", "cy", "r")]
    cx, cy, r = unknowns
    f = zarnik.function(unknowns, [(cx - x) * (cx - x) + (cy - y) * (cy - y) - r * r for x, y in points])
    jpx, jpy = jax.device_put(px), jax.device_put(py)
    jacobian = jax.jit(jax.jacrev(lambda u: (u[0] - jpx) ** 2 + (u[1] - jpy) ** 2 - u[2] ** 2))
    guess = jax.device_put(np.array(GUESS))
    contenders = {
        "zarnik jacobian": lambda: f.jacobian(*GUESS),
        "jax jit(jacrev)": lambda: jax.block_until_ready(jacobian(guess)),
    }
    reference = np.asarray(jacobian(guess))
    return {"points": CIRCLE_POINTS, "contenders": measured(contenders, reference, inner=200 if QUICK else 2000)}


def run(out_path):
    jax, jnp = jax_modules()
    print(
        f"against JAX {jax.__version__}: W4 batch, Jacobian and fit over N = {ROWS:,}; W5; pendulum",
        file=sys.stderr,
        flush=True,
    )
    report = {
        "jax": jax.__version__,
        "cores": os.cpu_count(),
        "w4": w4(jax, jnp),
        "w5": w5(jax, jnp),
        "pendulum": pendulum(jax, jnp),
    }
    with open(out_path, "w") as out:
        json.dump(report, out, indent=1)


def main(args):
    if len(args) != 2 or args[0] != "run":
        sys.exit(__doc__)
    run(args[1])


if __name__ == "__main__":
    main(sys.argv[1:])
