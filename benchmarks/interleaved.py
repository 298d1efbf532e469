"""Two builds of the package timed against each other, interleaved.

    python interleaved.py ROUNDS PYTHONPATH_A PYTHONPATH_B     W4 batch, W4 batch_jacobian, W5 Jacobian

Each round runs one process on build A, then one on build B (the order
alternates from round to round); each process warms up and times every
workload a few times. On a shared machine the load changes from minute to
minute, so only builds measured side by side in one run can be compared:
the report gives each workload's minimum and median over all rounds, per
build, and B's over A's.

    python interleaved.py worker     (what each round's process runs; one JSON line)
"""

import json
import os
import statistics
import subprocess
import sys
import time

REPEATS = 5
ROWS = 1_000_000
MODEL = (0.1, 0.2, 0.3, 2.5)


def workloads():
    import numpy as np
    from functions import GUESS, circle_points, residuals_of

    import zarnik

    xs = np.linspace(0.0, 1.0, ROWS)
    x = zarnik.Undefined(name="x")
    parameters = [zarnik.Parameter(value) for value in MODEL]
    a, b, c, d = parameters
    prediction = zarnik.function(x, a + b * x + c * zarnik.sin(d * x))
    # W4's Jacobian with respect to the four parameters, as against_jax.py takes it.
    unknowns = [zarnik.Undefined(name=name) for name in "abcd"]
    ua, ub, uc, ud = unknowns
    of_parameters = zarnik.function([x, *unknowns], ua + ub * x + uc * zarnik.sin(ud * x))
    circle = [zarnik.Undefined(name=name) for name in ("cx", "cy", "r")]
    residuals = zarnik.function(circle, residuals_of(*circle, circle_points()))
    return {
        "W4 batch": lambda: prediction.batch(xs),
        "W4 batch_jacobian": lambda: of_parameters.batch_jacobian(xs, *MODEL, wrt=unknowns),
        "W5 jacobian": lambda: residuals.jacobian(*GUESS),
    }


def worker():
    times = {}
    for name, call in workloads().items():
        # The Jacobian of one call takes microseconds: many calls per timing.
        inner = 2000 if name.startswith("W5") else 1
        call()
        taken = []
        for _ in range(REPEATS):
            started = time.perf_counter()
            for _ in range(inner):
                call()
            taken.append((time.perf_counter() - started) / inner)
        times[name] = taken
    print(json.dumps(times))


def compare(rounds, path_a, path_b):
    here = os.path.dirname(os.path.abspath(__file__))
    measured = {"A": {}, "B": {}}
    for r in range(rounds):
        for build in ("A", "B") if r % 2 == 0 else ("B", "A"):
            path = path_a if build == "A" else path_b
            environment = dict(os.environ, PYTHONPATH=os.pathsep.join([path, here]))
            done = subprocess.run(
                [sys.executable, __file__, "worker"], env=environment, capture_output=True, text=True, check=True
            )
            for name, times in json.loads(done.stdout).items():
                measured[build].setdefault(name, []).extend(times)
    print(f"{rounds} rounds of {REPEATS} timings per build; A = {path_a}, B = {path_b}")
    print(
        f"{'workload':<20} {'A min':>10} {'A median':>10} {'B min':>10} {'B median':>10} {'B/A min':>8} {'B/A med':>8}"
    )
    for name in measured["A"]:
        a, b = measured["A"][name], measured["B"][name]
        scale, unit = (1e6, "us") if name.startswith("W5") else (1e3, "ms")
        row = [min(a), statistics.median(a), min(b), statistics.median(b)]
        cells = " ".join(f"{value * scale:>8.2f}{unit}" for value in row)
        print(f"{name:<20} {cells} {row[2] / row[0]:>8.3f} {row[3] / row[1]:>8.3f}")


if __name__ == "__main__":
    if sys.argv[1] == "worker":
        worker()
    else:
        compare(int(sys.argv[1]), sys.argv[2], sys.argv[3])
