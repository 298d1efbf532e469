"""Compiled functions of inputs beside what users would write instead.

    python functions.py run OUT.json      W4 batch and W5 Jacobian, interleaved in one process
    python functions.py memory ROWS       peak memory of one batch call in a process of its own; one JSON line

W4 batch: the W1 model, prediction a + b x + c sin(d x) with x the input and
a, b, c, d parameters, over N = 1,000,000 rows: zarnik.function(...).batch
beside the same expression written with NumPy arrays and CasADi's mapped
Function (serial).

W4e batch: a model with the elementary functions, a exp(-b x) + c sqrt(d + x),
over the same rows, beside NumPy and CasADi likewise.

W5 Jacobian: the residuals of a circle fit, (cx - x_i)^2 + (cy - y_i)^2 - r^2
for 50 points, against the three unknowns: one call of a compiled function's
jacobian, beside 50 backward passes from Python (one per residual, reading
the three gradients and clearing them) and a CasADi Function of the Jacobian.

Every library must give the same numbers (relative tolerance 1e-12) before
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
ROWS = 10_000 if QUICK else 1_000_000
REPEATS = 3 if QUICK else 15
MODEL = (0.1, 0.2, 0.3, 2.5)
CIRCLE_POINTS = 50
GUESS = (0.2, -0.1, 1.7)


def best_and_median(call, repeats=REPEATS):
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return {"min": min(times), "median": statistics.median(times)}


def close(a, b, tolerance=1e-12):
    a, b = np.asarray(a, dtype=float).ravel(), np.asarray(b, dtype=float).ravel()
    return a.shape == b.shape and bool(np.all(np.abs(a - b) <= tolerance * np.maximum(1.0, np.abs(b))))


# --- W4: batch evaluation of the W1 model -------------------------------------------

# Each W4 model three times: built from this library's expressions, written
# with NumPy arrays, and built from CasADi's symbols; `fn` is the module of
# sin, exp and sqrt (this package, NumPy or CasADi).
BATCH_MODELS = {
    "sin": ("a + b x + c sin(d x)", lambda fn, x, a, b, c, d: a + b * x + c * fn.sin(d * x)),
    "exp": ("a exp(-b x) + c sqrt(d + x)", lambda fn, x, a, b, c, d: a * fn.exp(-b * x) + c * fn.sqrt(d + x)),
}


def batch_contenders(xs, model="sin"):
    """name -> call for a W4 batch, each over the same rows."""
    build = BATCH_MODELS[model][1]
    x = zk.Undefined(name="x")
    parameters = [zk.Parameter(value) for value in MODEL]
    prediction = zarnik.function(x, build(zarnik, x, *parameters))
    contenders = {
        "zarnik function batch": lambda: prediction.batch(xs),
        "numpy": lambda: build(np, xs, *MODEL),
    }
    try:
        import casadi as ca
    except ImportError:
        return contenders
    sx, sp = ca.SX.sym("x"), ca.SX.sym("p", 4)
    mapped = ca.Function("f", [sx, sp], [build(ca, sx, sp[0], sp[1], sp[2], sp[3])]).map(len(xs))
    row, values = xs.reshape(1, -1), np.array(MODEL)
    contenders["casadi map"] = lambda: mapped(row, values)
    return contenders


def w4_batch(model="sin"):
    xs = np.linspace(0.0, 1.0, ROWS)
    contenders = batch_contenders(xs, model)
    reference = np.asarray(contenders["numpy"]())
    results = {}
    for name, call in contenders.items():
        results[name] = {"agrees": close(np.asarray(call()), reference), "times": None}
    # Interleaved: every contender once per round.
    rounds = {name: [] for name in contenders}
    for _ in range(REPEATS):
        for name, call in contenders.items():
            started = time.perf_counter()
            call()
            rounds[name].append(time.perf_counter() - started)
    for name, times in rounds.items():
        results[name]["times"] = {"min": min(times), "median": statistics.median(times)}
    return {"rows": ROWS, "model": BATCH_MODELS[model][0], "contenders": results}


# --- W5: the Jacobian of a circle fit's residuals ------------------------------------


def circle_points():
    return [
        (
            1.5 + 2.0 * math.cos(2 * math.pi * i / CIRCLE_POINTS),
            -0.5 + 2.0 * math.sin(2 * math.pi * i / CIRCLE_POINTS) + 0.01 * math.sin(7.0 * i),
        )
        for i in range(CIRCLE_POINTS)
    ]


def residuals_of(cx, cy, r, points):
    return [(cx - x) * (cx - x) + (cy - y) * (cy - y) - r * r for x, y in points]


def jacobian_contenders():
    points = circle_points()
    unknowns = [zk.Undefined(name=name) for name in ("cx", "cy", "r")]
    f = zarnik.function(unknowns, residuals_of(*unknowns, points))
    parameters = [zk.Parameter(value) for value in GUESS]
    residuals = residuals_of(*parameters, points)

    def backward_passes():
        rows = []
        for residual in residuals:
            residual.backward()
            rows.append([p.grad[0] for p in parameters])
            residual.zero_grad()
        return rows

    contenders = {
        "zarnik function jacobian": lambda: f.jacobian(*GUESS),
        "50 backward passes": backward_passes,
    }
    try:
        import casadi as ca
    except ImportError:
        return contenders
    u = ca.SX.sym("u", 3)
    jacobian = ca.Function("J", [u], [ca.jacobian(ca.vertcat(*residuals_of(u[0], u[1], u[2], points)), u)])
    contenders["casadi jacobian"] = lambda: jacobian(GUESS)
    return contenders


def w5_jacobian():
    contenders = jacobian_contenders()
    reference = np.asarray(contenders["50 backward passes"]())
    results = {name: {"agrees": close(np.asarray(call()), reference)} for name, call in contenders.items()}
    repeats = 200 if QUICK else 3000
    rounds = {name: [] for name in contenders}
    for _ in range(REPEATS):
        for name, call in contenders.items():
            started = time.perf_counter()
            for _ in range(repeats):
                call()
            rounds[name].append((time.perf_counter() - started) / repeats)
    for name, times in rounds.items():
        results[name]["times"] = {"min": min(times), "median": statistics.median(times)}
    return {"points": CIRCLE_POINTS, "unknowns": 3, "contenders": results}


def run(out_path):
    print(f"W4 batch, N = {ROWS:,}", file=sys.stderr, flush=True)
    report = {"batch": w4_batch()}
    print(f"W4e batch (exp and sqrt), N = {ROWS:,}", file=sys.stderr, flush=True)
    report["batch_elementary"] = w4_batch("exp")
    print(f"W5 Jacobian, {CIRCLE_POINTS} residuals", file=sys.stderr, flush=True)
    report["jacobian"] = w5_jacobian()
    sizes = [10_000, 100_000] if QUICK else [100_000, 1_000_000, 4_000_000]
    report["memory"] = [memory_in_a_process(rows) for rows in sizes]
    with open(out_path, "w") as out:
        json.dump(report, out, indent=1)


# --- the memory of one batch call -----------------------------------------------------


def resident_kib(field):
    """A field of /proc/self/status in KiB: VmRSS now, VmHWM the peak since the last reset."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"/proc/self/status has no {field}")


def memory(rows):
    """Peak resident memory added by one batch call, against the size of the array it returns (its
    input exists before the call). The process's peak is reset just before the call (writing 5 to
    /proc/self/clear_refs), so that the imports' or the input's own peak cannot hide the call's. One
    thread at every size: a batch takes more threads for more rows, each with a working set of its own
    that does not grow with the rows but would read as a slope between two sizes."""
    x = zk.Undefined(name="x")
    a, b, c, d = (zk.Parameter(value) for value in MODEL)
    f = zarnik.function(x, a + b * x + c * zk.sin(d * x))
    f.batch(np.zeros(10))  # whatever a first call sets up
    xs = np.random.default_rng(0).random(rows)
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = resident_kib("VmRSS")
    result = f.batch(xs, threads=1)
    peak = resident_kib("VmHWM")
    print(json.dumps({"rows": rows, "output_bytes": result.nbytes, "peak_growth": (peak - before) * 1024}))


def memory_in_a_process(rows):
    import subprocess

    done = subprocess.run([sys.executable, __file__, "memory", str(rows)], capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main(args):
    commands = {"run": (run, [str]), "memory": (memory, [int])}
    if not args or args[0] not in commands or len(args) - 1 != len(commands[args[0]][1]):
        sys.exit(__doc__)
    call, types = commands[args[0]]
    call(*(convert(value) for convert, value in zip(types, args[1:])))


if __name__ == "__main__":
    main(sys.argv[1:])
