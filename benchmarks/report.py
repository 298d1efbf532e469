"""Turns the benchmark results into benchmarks/RESULTS.md and a plot.

    python report.py RESULTS_DIR OUT.md

Reads core.json (Google Benchmark), shapes.json and deep.json (peers.py),
functions.json (functions.py), hessians.json (hessians.py) and travel.json
(travel.py) and writes the tables, the targets and whether each was met, and
fit.png.
"""

import datetime
import json
import os
import pathlib
import platform
import subprocess
import sys

from peers import PEERS

ORDER = [peer.name for peer in PEERS]
COLOURS = {peer.name: peer.colour for peer in PEERS}
PHASES = ["build", "eval", "backward", "step"]
PHASE_TITLES = {
    "build": "build from Python",
    "eval": "eval of the built graph",
    "backward": "backward of the built graph",
    "step": "one training step",
}


def version(module):
    try:
        imported = __import__(module)
        return getattr(imported, "__version__", "?")
    except ImportError:
        return "not installed"


def micrograd_version():
    try:
        from importlib.metadata import version as installed

        return installed("micrograd")
    except Exception:  # noqa: BLE001 - any failure means: not there
        return "not installed"


def machine():
    model = "?"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as meminfo:
        memory = int(meminfo.readline().split()[1]) // 1024 // 1024
    compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    return (
        f"{os.cpu_count()} cores ({model}), {memory} GiB, {platform.system()} {platform.release()}; "
        f"Python {platform.python_version()}, {compiler}"
    )


def us(seconds):
    return f"{seconds * 1e6:,.2f}"


def at_most(value, target, miss):
    """A ratio whose target is at most `target`; above `miss` it is a miss."""
    mark = "met" if value <= target else ("close" if value <= miss else "**missed**")
    return f"{value:.2f}x (target {target}x: {mark})"


def ratio_text(value, target):
    mark = "met" if value >= target else "**missed**"
    return f"{value:.1f}x (target {target}x: {mark})"


def shapes_section(shapes, lines):
    runs = shapes["runs"]
    for run in runs:
        points, nodes = run["points"], run["nodes"]
        title = "W1 fit" if run["workload"] == "fit" else "W2 vec3"
        lines.append(f"### {title}, M = {points:,} ({nodes:,} nodes in this library's graph)\n")
        lines.append(
            "Microseconds per data point, minimum / median of the repetitions; "
            "nanoseconds per node (minimum) in brackets. `—`: the library cannot do this.\n"
        )
        lines.append("| library | agrees | " + " | ".join(PHASE_TITLES[p] for p in PHASES) + " |")
        lines.append("|---" * (len(PHASES) + 2) + "|")
        for name in ORDER:
            peer = run["peers"].get(name)
            if peer is None:
                continue
            cells = []
            for phase in PHASES:
                timing = peer["times"].get(phase)
                if timing is None:
                    cells.append("—")
                else:
                    cells.append(
                        f"{us(timing['min'] / points)} / {us(timing['median'] / points)} "
                        f"({timing['min'] / nodes * 1e9:,.0f} ns)"
                    )
            lines.append(f"| {name} | {'yes' if peer['agrees'] else 'NO'} | " + " | ".join(cells) + " |")
        one_off = [
            ("casadi", "functions", "CasADi's Function creation (loss, gradient, both)"),
            ("zarnik compiled", "compile", "`zarnik.compile` of the loss"),
        ]
        notes = []
        for name, phase, what in one_off:
            timing = run["peers"].get(name, {}).get("times", {}).get(phase)
            if timing:
                notes.append(f"{what}: {timing['min'] * 1e3:,.1f} ms, {us(timing['min'] / points)} µs per point")
        if notes:
            lines.append("\nOne-off steps after building: " + "; ".join(notes) + ".\n")
        lines.append("")


def fit_targets(shapes, lines):
    fits = {run["points"]: run for run in shapes["runs"] if run["workload"] == "fit"}
    lines.append("## Targets\n")
    lines.append("Ratios are the peer's minimum time divided by this library's, from the same run.\n")
    lines.append(
        "| M | build vs micrograd | build vs PyTorch | build vs CasADi | step vs micrograd | step vs PyTorch |"
    )
    lines.append("|---|---|---|---|---|---|")
    for points, run in sorted(fits.items()):
        ours = run["peers"]["zarnik"]["times"]
        cells = []
        for peer, phase, target in [
            ("micrograd", "build", 3),
            ("pytorch", "build", 4),
            ("casadi", "build", 12),
            ("micrograd", "step", 20),
            ("pytorch", "step", 20),
        ]:
            theirs = run["peers"].get(peer, {}).get("times", {}).get(phase)
            cells.append(ratio_text(theirs["min"] / ours[phase]["min"], target) if theirs else "—")
        lines.append(f"| {points:,} | " + " | ".join(cells) + " |")
    if 1_000 in fits and 100_000 in fits:
        per_node = lambda run: run["peers"]["zarnik"]["times"]["build"]["min"] / run["nodes"]
        growth = per_node(fits[100_000]) / per_node(fits[1_000])
        mark = "met" if growth <= 1.3 else "**missed**"
        lines.append(
            f"\nBuild cost per node, M = 100,000 against M = 1,000: {growth:.2f}x (target at most 1.3x: {mark})."
        )
    lines.append("")
    rows = []
    for points, run in sorted(fits.items()):
        casadi = run["peers"].get("casadi", {}).get("times", {})
        compiled = run["peers"].get("zarnik compiled", {}).get("times", {})
        per_call = run["peers"]["zarnik"]["times"]
        if "eval" not in casadi or "eval" not in compiled:
            continue
        ratio = lambda ours, phase, casadi=casadi: ours[phase]["min"] / casadi[phase]["min"]
        rows.append(
            f"| {points:,} | {ratio(per_call, 'eval'):.1f}x | {ratio(per_call, 'step'):.1f}x | "
            f"{at_most(ratio(compiled, 'eval'), 1.0, 1.5)} | {at_most(ratio(compiled, 'step'), 1.0, 1.5)} | "
            f"{at_most(compiled['compile']['min'] / casadi['functions']['min'], 0.25, 0.25)} |"
        )
    if rows:
        lines.append(
            "Against CasADi's compiled Functions on a fixed graph: this library's time divided by "
            "CasADi's (below 1: faster than CasADi). The step sets the parameters, runs backward, reads "
            "every gradient and clears them; CasADi's is its loss-and-gradient Function. Compile "
            "against CasADi's gradient and Function creation.\n"
        )
        lines.append("| M | per-call eval | per-call step | compiled eval | compiled step | compile vs Functions |")
        lines.append("|---|---|---|---|---|---|")
        lines.extend(rows)
        lines.append("")


def deep_section(deep, lines):
    lines.append("## W3 deep: y(k+1) = sin(y(k)) * 0.5 + p, each size in a process of its own\n")
    lines.append("Nanoseconds per step (minimum of one run); peak resident memory of the process.\n")
    lines.append(
        "| K | library | fate | build | compile | eval | backward | free | peak memory | tape bytes per node |"
    )
    lines.append("|---|---|---|---|---|---|---|---|---|---|")
    for run in deep["runs"]:
        steps = run["steps"]
        times = run.get("times", {})
        cell = lambda phase, times=times, steps=steps: f"{times[phase] / steps * 1e9:,.0f}" if phase in times else "—"
        peak = f"{run['peak_bytes'] / 2**20:,.0f} MiB" if "peak_bytes" in run else "—"
        tape = f"{run['tape_bytes_per_node']:.1f}" if "tape_bytes_per_node" in run else "—"
        lines.append(
            f"| {steps:,} | {run['peer']} | {run['fate']} | {cell('build')} | {cell('compile')} | "
            f"{cell('eval')} | {cell('backward')} | {cell('free')} | {peak} | {tape} |"
        )
    zarnik_peak = [
        run for run in deep["runs"] if run["peer"] == "zarnik" and run["steps"] == 1_000_000 and "peak_bytes" in run
    ]
    if zarnik_peak:
        peak = zarnik_peak[0]["peak_bytes"] / 2**30
        mark = "met" if peak <= 1.2 else "**missed**"
        lines.append(
            f"\nPeak memory of this library's 1,000,000-step chain: {peak:.2f} GiB (target at most 1.2 GiB: {mark})."
        )
    lines.append("")


def contender_table(contenders, scale, lines, rows=None):
    """One line per contender: whether it agrees, its minimum / median time times `scale`, and with `rows`
    its nanoseconds per row."""
    per_row = rows is not None
    lines.append("| contender | agrees | time |" + (" per row |" if per_row else ""))
    lines.append("|---|---|---|" + ("---|" if per_row else ""))
    for name, result in contenders.items():
        times = result["times"]
        line = (
            f"| {name} | {'yes' if result['agrees'] else 'NO'} | {times['min'] * scale:,.2f} / "
            f"{times['median'] * scale:,.2f} |"
        )
        if per_row:
            line += f" {times['min'] / rows * 1e9:,.2f} |"
        lines.append(line)


def functions_section(functions, lines):
    lines.append("## Compiled functions of inputs (`zarnik.function`)\n")
    for key, label in (("batch", "W4: the W1 model's prediction"), ("batch_elementary", "W4e: the prediction")):
        if key not in functions:
            continue
        batch = functions[key]
        rows = batch["rows"]
        model = batch.get("model", "a + b x + c sin(d x)")
        lines.append(
            f"{label} {model} over N = {rows:,} rows of x "
            "(`benchmarks/functions.py`, the contenders interleaved in one process). Milliseconds, "
            "minimum / median; nanoseconds per row (minimum).\n"
        )
        contenders = batch["contenders"]
        contender_table(contenders, 1e3, lines, rows)
        ours = contenders["zarnik function batch"]["times"]["min"]
        for name in ("numpy", "casadi map"):
            if name in contenders:
                lines.append(
                    f"\n{name} time divided by this library's: "
                    f"{ratio_text(contenders[name]['times']['min'] / ours, 1.0)}."
                )
        lines.append("")
    jacobian = functions["jacobian"]
    lines.append(
        f"W5: the Jacobian of a circle fit's {jacobian['points']} residuals against its "
        f"{jacobian['unknowns']} unknowns. Microseconds per call, minimum / median.\n"
    )
    contenders = jacobian["contenders"]
    contender_table(contenders, 1e6, lines)
    ours = contenders["zarnik function jacobian"]["times"]["min"]
    passes = contenders["50 backward passes"]["times"]["min"]
    lines.append(f"\n50 backward passes from Python against one Jacobian call: {ratio_text(passes / ours, 10)}.")
    if "casadi jacobian" in contenders:
        casadi = contenders["casadi jacobian"]["times"]["min"]
        lines.append(f"This library's call against CasADi's Jacobian Function: {at_most(ours / casadi, 1.5, 1.5)}.")
    lines.append("")
    lines.append(
        "Memory of one batch call (W4's function, each size in a process of its own): the peak "
        "resident memory the call adds, beside the array it returns.\n"
    )
    lines.append("| rows | returned array | peak growth | beyond the returned array |")
    lines.append("|---|---|---|---|")
    for run in functions["memory"]:
        lines.append(
            f"| {run['rows']:,} | {run['output_bytes'] / 2**20:,.1f} MiB | "
            f"{run['peak_growth'] / 2**20:,.1f} MiB | "
            f"{(run['peak_growth'] - run['output_bytes']) / 2**10:,.0f} KiB |"
        )
    lines.append("")


def hessians_section(hessians, lines):
    lines.append("## Second derivatives (`benchmarks/hessians.py`)\n")
    w6 = hessians["rosenbrock"]
    versions = ", ".join(f"{name} {version}" for name, version in sorted(w6["versions"].items()))
    lines.append(
        f"W6: the Hessian of the extended Rosenbrock function of {w6['lanes']} scalars (three 4-lane "
        f"placeholders) at one point ({versions}). Microseconds per call, minimum / median; the "
        "contenders interleaved in one process.\n"
    )
    contenders = w6["contenders"]
    contender_table(contenders, 1e6, lines)
    ours = contenders["zarnik hessian"]["times"]["min"]
    lines.append("")
    lines.append(f"Exactly symmetric: {'yes' if w6['symmetric'] else 'NO'}.")
    if "casadi hessian Function" in contenders:
        casadi = contenders["casadi hessian Function"]["times"]["min"]
        lines.append(f"This library's call against CasADi's Function of `hessian`: {at_most(ours / casadi, 1.0, 1.0)}.")
    if "jax jit hessian" in contenders:
        jax = contenders["jax jit hessian"]["times"]["min"]
        lines.append(f"This library's call against JAX's jitted `hessian`: {at_most(ours / jax, 0.2, 0.2)}.")
    lines.append("")
    lines.append("Building, from the loss expression to a Hessian. Milliseconds, minimum / median.\n")
    lines.append("| contender | time |")
    lines.append("|---|---|")
    for name, times in w6["builds"].items():
        lines.append(f"| {name} | {times['min'] * 1e3:,.3f} / {times['median'] * 1e3:,.3f} |")
    builds = w6["builds"]
    if "casadi hessian and Function" in builds:
        ratio = builds["zarnik function and first hessian"]["min"] / builds["casadi hessian and Function"]["min"]
        lines.append(
            f"\nThis library's build (with its first call) against CasADi's `hessian` and Function: "
            f"{at_most(ratio, 1.0, 1.0)}."
        )
    lines.append("")
    lines.append(
        "W1 gradient graphs: `zarnik.grad` of the W1 loss against a, b, c, d; the nodes of each "
        "graph, building, and a call of the gradient graphs compiled into a function against "
        "`backward` on a tape of the loss (both evaluate the loss, both give the same bits).\n"
    )
    lines.append(
        "| M | loss nodes | gradient nodes | ratio | same bits | `grad` | `function` of it | "
        "`compile` of the loss | call of the function (µs) | tape backward (µs) | call / backward |"
    )
    lines.append("|---" * 11 + "|")
    for run in hessians["fit_gradients"]:
        ratio = run["gradient_nodes"] / run["loss_nodes"]
        call = run["times"]["zarnik function of grad"]["min"]
        backward = run["times"]["zarnik tape backward"]["min"]
        build = run["build"]
        lines.append(
            f"| {run['points']:,} | {run['loss_nodes']:,} | {run['gradient_nodes']:,} | "
            f"{at_most(ratio, 3.0, 3.0)} | {'yes' if run['agrees'] else 'NO'} | "
            f"{build['grad'] * 1e3:,.1f} ms | {build['function of grad'] * 1e3:,.1f} ms | "
            f"{build['compile'] * 1e3:,.1f} ms | {us(call)} | {us(backward)} | "
            f"{at_most(call / backward, 1.5, 1.5)} |"
        )
    lines.append("")
    fit = hessians["fit_hessian"]
    lines.append(f"W1 Hessian (4 x 4) at M = {fit['points']:,}: microseconds per call, minimum / median.\n")
    contender_table(fit["contenders"], 1e6, lines)
    lines.append("")


def travel_section(travel, lines):
    lines.append("## Graphs that travel: files and Dask (`benchmarks/travel.py`)\n")
    files = travel["files"]
    times = files["times"]
    compile_time = times["compile"]["min"]
    lines.append(
        f"Graph files of the W1 loss, M = {files['points']:,} ({files['nodes']:,} nodes): "
        "`zarnik.compile` of the graph, `zarnik.save` of it to a file and `zarnik.load` of the file, "
        "interleaved in one process; milliseconds, minimum / median. The loaded graph evaluates to the "
        f"original's bits: {'yes' if files['agrees'] else 'NO'}.\n"
    )
    lines.append("| step | time | against compile |")
    lines.append("|---|---|---|")
    for name in ("compile", "save", "load"):
        ratio = times[name]["min"] / compile_time
        against = "—" if name == "compile" else at_most(ratio, 1.0, 1.0)
        lines.append(f"| {name} | {times[name]['min'] * 1e3:,.1f} / {times[name]['median'] * 1e3:,.1f} | {against} |")
    per_node = files["bytes"] / files["nodes"]
    mark = "met" if per_node <= 40 else "**missed**"
    lines.append(f"\nThe file: {files['bytes']:,} bytes, {per_node:.2f} bytes per node (target at most 40: {mark}).\n")
    dask = travel.get("dask")
    if dask is None:
        lines.append("Dask is not installed: no Dask figures.\n")
        return
    lines.append(
        f"Dask W4: the W1 model's prediction over {dask['rows']:,} rows of x in {dask['chunks']} chunks, "
        "made and summed on the workers of a LocalCluster of single-thread worker processes; in "
        "process: the same rows made, predicted by one batch on every core and summed here. "
        "Milliseconds, minimum / median.\n"
    )
    lines.append("| where | agrees | time |")
    lines.append("|---|---|---|")
    for name in ("in process", "1 workers", "2 workers"):
        run = dask[name]
        label = name.replace("1 workers", "1 worker process").replace("2 workers", "2 worker processes")
        lines.append(
            f"| {label} | {'yes' if run['agrees'] else 'NO'} | {run['times']['min'] * 1e3:,.1f} / "
            f"{run['times']['median'] * 1e3:,.1f} |"
        )
    one, two = dask["1 workers"]["times"]["min"], dask["2 workers"]["times"]["min"]
    inside = dask["in process"]["times"]["min"]
    within = two / inside
    lines.append(
        f"\n2 worker processes against 1: {ratio_text(one / two, 1.5)}. "
        f"2 worker processes against the batch in process on every core: {within:.2f}x its time "
        f"(target at most 1.3x: {'met' if within <= 1.3 else '**missed**'}).\n"
    )


def jax_section(jax, lines):
    """The four workloads beside JAX: each contender's times, then this library's time divided by JAX's
    (the faster of JAX's contenders where it has two), exact and approximate, against the targets."""
    w4 = jax["w4"]
    lines.append(f"## Beside JAX (`benchmarks/against_jax.py`, JAX {jax['jax']}, jit, float64, CPU)\n")
    lines.append(
        f"W4's model a + b x + c sin(d x) over N = {w4['rows']:,} rows of x, its four parameters given "
        "once for every row; each workload's contenders interleaved in one process, this library's "
        "batches on every core. Milliseconds (W5: microseconds), minimum / median.\n"
    )
    workloads = [
        ("batch", "W4 batch", "jax", 1.5, 1.0, 1e3),
        ("batch_jacobian", "W4 Jacobian wrt the four parameters", "jax", 1.5, 1.0, 1e3),
        ("fit", "Fit: summed squared residuals and their gradient", "jax", 1.5, 1.0, 1e3),
    ]
    ratios = []
    for key, title, prefix, exact_target, approximate_target, scale in workloads:
        contenders = w4[key]
        lines.append(f"{title}:\n")
        contender_table(contenders, scale, lines, w4["rows"])
        lines.append("")
        theirs = min(result["times"]["min"] for name, result in contenders.items() if name.startswith(prefix))
        ratios.append(
            (
                title,
                contenders["zarnik"]["times"]["min"] / theirs,
                exact_target,
                contenders["zarnik approximate"]["times"]["min"] / theirs,
                approximate_target,
            )
        )
    if "pendulum" in jax:
        pendulum = jax["pendulum"]
        for key, title in (("batch", "Pendulum batch"), ("batch_jacobian", "Pendulum Jacobian wrt the initial state")):
            contenders = pendulum[key]
            lines.append(
                f"{title} ({pendulum['steps']} unrolled RK4 steps, {pendulum['rows']:,} initial conditions):\n"
            )
            contender_table(contenders, 1e3, lines, pendulum["rows"])
            lines.append("")
            theirs = min(result["times"]["min"] for name, result in contenders.items() if name.startswith("jax"))
            exact = contenders["zarnik"]["times"]["min"]
            approximate = contenders["zarnik approximate"]["times"]["min"]
            # The approximate mode must never be slower than the exact one.
            ratios.append((title, exact / theirs, 1.5, approximate / theirs, exact / theirs))
    w5 = jax["w5"]["contenders"]
    lines.append(f"W5: the Jacobian of a circle fit's {jax['w5']['points']} residuals, one call:\n")
    contender_table(w5, 1e6, lines)
    lines.append("")
    w5_ratio = w5["zarnik jacobian"]["times"]["min"] / w5["jax jit(jacrev)"]["times"]["min"]
    lines.append(
        "This library's time divided by JAX's (the faster of JAX's contenders), exact (the default) "
        "and `approximate=True`:\n"
    )
    lines.append("| workload | exact | approximate |")
    lines.append("|---|---|---|")
    for title, exact, exact_target, approximate, approximate_target in ratios:
        lines.append(
            f"| {title} | {at_most(exact, exact_target, exact_target)} | "
            f"{at_most(approximate, approximate_target, approximate_target)} |"
        )
    lines.append(f"| W5 small Jacobian | {at_most(w5_ratio, 0.2, 0.2)} | — |")
    lines.append("")


def swing_up_section(swing, lines):
    """The swing-up solved by IPOPT beside CasADi's nlpsol, then the derivatives beside JAX's dense ones."""
    lines.append("## Nonlinear programs (`benchmarks/swing_up.py`)\n")
    lines.append(
        "The pendulum swing-up of `examples/swing_up.py` (direct multiple shooting, RK4 in 4 steps per "
        f"interval), solved by IPOPT from the same start with the same options, this library's problem "
        f"through cyipopt beside CasADi {swing.get('casadi_version', '(not installed)')}'s SX graph through "
        "`nlpsol`, on the same IPOPT library. Seconds; *callbacks* is the time in derivative callbacks "
        "(this library's as cyipopt calls them, CasADi's `t_wall_nlp_*`); each the best of the interleaved "
        "rounds (column *rounds*). Loading IPOPT through cyipopt "
        f"took {swing['cyipopt_import']:.2f} s once per process, not counted.\n"
    )
    lines.append("| N | variables | rounds | contender | build | solve | callbacks | iterations | optimum | agrees |")
    lines.append("|---" * 10 + "|")
    for run in swing["runs"]:
        ours = run["zarnik"]
        for name, result in (("zarnik", ours), ("casadi", run.get("casadi"))):
            if result is None:
                continue
            agrees = "yes" if name == "zarnik" or result["agrees"] else "NO"
            lines.append(
                f"| {run['intervals']:,} | {ours['variables']:,} | {run.get('rounds', 1)} | {name} | "
                f"{result['build']:.3f} | "
                f"{result['solve']:.3f} | {result['callbacks']:.3f} | {result['iterations']} | "
                f"{result['objective']:.9g} | {agrees} |"
            )
    lines.append("")
    lines.append("This library divided by CasADi:\n")
    lines.append("| N | build | solve | callbacks |")
    lines.append("|---|---|---|---|")
    for run in swing["runs"]:
        if "casadi" not in run:
            continue
        ours, theirs = run["zarnik"], run["casadi"]
        lines.append(
            f"| {run['intervals']:,} | {at_most(ours['build'] / theirs['build'], 0.2, 0.2)} | "
            f"{at_most(ours['solve'] / theirs['solve'], 1.0, 1.0)} | "
            f"{at_most(ours['callbacks'] / theirs['callbacks'], 0.5, 0.5)} |"
        )
    lines.append("")
    runs = [run for run in swing["runs"] if "evaluations" in run["zarnik"]]
    if runs:
        lines.append(
            "One evaluation of this library's sparse Jacobian of the constraints and Hessian of the "
            "Lagrangian at the solution (best of 10, milliseconds), and the process's peak memory after the "
            "size's rounds:\n"
        )
        lines.append("| N | Jacobian | Hessian | peak memory |")
        lines.append("|---|---|---|---|")
        for run in runs:
            evaluations = run["zarnik"]["evaluations"]
            lines.append(
                f"| {run['intervals']:,} | {evaluations['jacobian']['min'] * 1e3:,.2f} | "
                f"{evaluations['hessian']['min'] * 1e3:,.2f} | {run['zarnik']['peak_rss_bytes'] / 2**20:,.0f} MiB |"
            )
        if len(runs) >= 2:
            first, last = runs[0], runs[-1]
            growth = last["intervals"] / first["intervals"]
            for key in ("jacobian", "hessian"):
                ratio = last["zarnik"]["evaluations"][key]["min"] / first["zarnik"]["evaluations"][key]["min"]
                lines.append(
                    f"\nThe {key} from N = {first['intervals']:,} to {last['intervals']:,} ({growth:.0f}x): "
                    f"{at_most(ratio, 1.2 * growth, 1.2 * growth)}."
                )
        lines.append("")
    if "dense" in swing:
        dense = swing["dense"]
        lines.append(
            f"One evaluation of the constraints' Jacobian and of the Lagrangian's Hessian at N = "
            f"{dense['intervals']:,}: this library's sparse ones beside JAX {dense['jax_version']}'s dense "
            f"jitted `jacfwd` and `hessian` (agree: {'yes' if dense['agrees'] else 'NO'}; JAX's first calls, "
            f"tracing and compiling: {dense['jax_first_calls']:.1f} s). Milliseconds, minimum / median.\n"
        )
        lines.append("| contender | time |")
        lines.append("|---|---|")
        for name, times in dense["times"].items():
            lines.append(f"| {name} | {times['min'] * 1e3:,.2f} / {times['median'] * 1e3:,.2f} |")
        times = dense["times"]
        jacobian = times["zarnik sparse jacobian"]["min"] / times["jax jit jacfwd"]["min"]
        hessian = times["zarnik sparse hessian"]["min"] / times["jax jit hessian"]["min"]
        lines.append(f"\nThis library divided by JAX: Jacobian {jacobian:.4f}, Hessian {hessian:.4f}.")
        lines.append("")


def core_section(core, lines):
    per_node = {}
    plain = {}
    for bench in core["benchmarks"]:
        if bench.get("run_type") == "aggregate":
            continue
        if "per_node" in bench:
            per_node[bench["name"]] = (bench["per_node"] * 1e9, int(bench["nodes"]))
        else:
            plain[bench["name"]] = bench["real_time"]
    lines.append("## C++ core, nanoseconds per node\n")
    lines.append(
        "`tape` is the flat-tape baseline of `benchmarks/tape.hpp`: the graph recorded once into a "
        "struct of arrays (one array per lane), then straight loops with a one-lane fast path and a "
        "finite check per result; it stands for what the hardware can do.\n"
    )
    lines.append("Per call (`Value::evaluate`, `backward`, `zero_grad`, each walking the graph):\n")
    lines.append(
        "| graph | nodes | build | evaluate | zero_grad | tape forward | evaluate / tape | backward | "
        "tape forward+reverse | backward / tape |"
    )
    lines.append("|---|---|---|---|---|---|---|---|---|---|")
    # Ratio targets by graph size.
    targets = {"M:1000": (15, 8), "M:10000": (30, 18), "M:100000": (40, 18)}
    cell = lambda name: per_node.get(name, (float("nan"), 0))[0]
    number = lambda value: "—" if value != value else f"{value:.1f}"

    def ratio(value, target):
        if target is None:
            return f"{value:.1f}x"
        return f"{value:.1f}x (at most {target}x: {'met' if value <= target else '**missed**'})"

    def row(label, prefix, size, with_tape_forward):
        key = lambda name: f"{prefix}_{name}/{size}"
        if key("evaluate") not in per_node:
            return
        evaluate, nodes = per_node[key("evaluate")]
        backward = cell(key("backward"))
        reverse = cell(key("tape_forward_reverse"))
        evaluate_target, backward_target = targets.get(size, (None, None))
        if with_tape_forward:
            forward = cell(key("tape_forward"))
            tape_cells = f"{forward:.1f} | {ratio(evaluate / forward, evaluate_target)}"
        else:
            tape_cells = "— | —"
        lines.append(
            f"| {label} | {nodes:,} | {number(cell(key('build')))} | {evaluate:.1f} | "
            f"{number(cell(key('zero_grad')))} | {tape_cells} | {backward:.1f} | {reverse:.1f} | "
            f"{ratio(backward / reverse, backward_target)} |"
        )

    for size in ["M:100", "M:730", "M:1000", "M:7300", "M:10000", "M:100000"]:
        row(f"fit {size}", "fit", size, with_tape_forward=True)
    for size in ["K:1000", "K:10000", "K:100000", "K:1000000"]:
        free = per_node.get(f"deep_free/{size}", (float("nan"), 0))[0]
        row(f"deep {size} (free {free:.1f})", "deep", size, with_tape_forward=False)

    lines.append("\nCompiled (`zarnik::symbolic::Tape`, recorded once):\n")
    lines.append(
        "| graph | compile | evaluate | evaluate / tape forward | backward | backward / tape forward+reverse |"
    )
    lines.append("|---|---|---|---|---|---|")
    for size in ["M:100", "M:730", "M:1000", "M:7300", "M:10000", "M:100000"]:
        key = lambda name, size=size: f"fit_{name}/{size}"
        if key("compiled_evaluate") not in per_node:
            continue
        evaluate, backward = cell(key("compiled_evaluate")), cell(key("compiled_backward"))
        lines.append(
            f"| fit {size} | {cell(key('compile')):.1f} | {evaluate:.2f} | "
            f"{ratio(evaluate / cell(key('tape_forward')), 1.5)} | {backward:.2f} | "
            f"{ratio(backward / cell(key('tape_forward_reverse')), 1.5)} |"
        )
    if "node_create_release" in plain:
        lines.append(f"\nMaking and releasing one Add node over two parameters: {plain['node_create_release']:.1f} ns.")
    if "diamond_backward/40" in per_node:
        value, nodes = per_node["diamond_backward/40"]
        lines.append(
            f"\nDiamond of 2^40 paths through {nodes} nodes: backward {value:.1f} ns per node, "
            f"{value * nodes / 1e3:.1f} µs in all.\n"
        )


def plot(shapes, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fits = sorted((run for run in shapes["runs"] if run["workload"] == "fit"), key=lambda run: run["points"])
    figure, axes = plt.subplots(1, len(PHASES), figsize=(18, 4.6), sharey=True)
    for axis, phase in zip(axes, PHASES):
        for name in ORDER:
            xs, ys = [], []
            for run in fits:
                timing = run["peers"].get(name, {}).get("times", {}).get(phase)
                if timing:
                    xs.append(run["points"])
                    ys.append(timing["min"] / run["points"] * 1e6)
            if xs:
                axis.plot(xs, ys, marker="o", label=name, color=COLOURS[name])
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_title(PHASE_TITLES[phase])
        axis.set_xlabel("M (data points)")
        axis.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("µs per data point (minimum)")
    axes[0].legend()
    figure.suptitle("W1 fit: time per data point against M")
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def main():
    results = pathlib.Path(sys.argv[1])
    out = pathlib.Path(sys.argv[2])
    shapes = json.loads((results / "shapes.json").read_text())
    deep = json.loads((results / "deep.json").read_text())
    functions = json.loads((results / "functions.json").read_text())
    core = json.loads((results / "core.json").read_text())
    hessians = json.loads((results / "hessians.json").read_text())
    travel_path = results / "travel.json"
    travel = json.loads(travel_path.read_text()) if travel_path.exists() else None
    jax_path = results / "jax.json"
    jax = json.loads(jax_path.read_text()) if jax_path.exists() else None
    swing_path = results / "swing_up.json"
    swing = json.loads(swing_path.read_text()) if swing_path.exists() else None
    plot(shapes, results / "fit.png")
    lines = [
        "# Benchmarks",
        "",
        f"Written on {datetime.date.today().isoformat()} from the results in `benchmarks/results/*.json`, each "
        "made by its benchmark as `tools/dev bench` runs them all (when each last ran: the git log of those files): "
        "the C++ benchmarks (`benchmarks/core_benchmarks.cpp`), then `benchmarks/peers.py` for W1 and W2 "
        "(peers interleaved in one process) and W3 (every size and peer in a process of its own), "
        "`benchmarks/functions.py` for W4 and W5 (compiled functions), `benchmarks/hessians.py` for W6 and the "
        "W1 gradient graphs (second derivatives), `benchmarks/travel.py` for graph files and Dask, "
        "`benchmarks/against_jax.py` for batches beside JAX, `benchmarks/swing_up.py` for nonlinear "
        "programs beside CasADi's nlpsol and JAX, then this report "
        "(`benchmarks/report.py`). Raw numbers: `benchmarks/results/*.json`.",
        "",
        f"Machine: {machine()}.",
        "",
        f"Versions: zarnik {version('_zarnik')}, micrograd {micrograd_version()} (PyPI), "
        f"PyTorch {version('torch')} (Debian, one thread), CasADi {version('casadi')} (Debian), "
        f"NumPy {version('numpy')}, JAX {version('jax')} (PyPI).",
        "",
        "Every graph has one node per scalar operation, numbers entering as constants. Each peer's loss "
        "and gradients are compared with this library's (relative tolerance 1e-8) before its times count "
        "(column `agrees`). Phases: *build* constructs the loss graph from Python; *eval* recomputes a "
        "built graph (micrograd and PyTorch compute while building and cannot); *backward* differentiates "
        "a built graph; a *training step* is what each library's users write: here `set_value` of the "
        "parameters, `backward`, reading the gradients and `zero_grad` on the fixed graph; micrograd and "
        "PyTorch rebuild and differentiate; CasADi calls its loss-and-gradient Function.",
        "",
        "![W1: time per point against M](results/fit.png)",
        "",
        "## W1 and W2\n",
    ]
    shapes_section(shapes, lines)
    fit_targets(shapes, lines)
    deep_section(deep, lines)
    functions_section(functions, lines)
    hessians_section(hessians, lines)
    if travel is not None:
        travel_section(travel, lines)
    if jax is not None:
        jax_section(jax, lines)
    if swing is not None:
        swing_up_section(swing, lines)
    core_section(core, lines)
    notes = pathlib.Path(__file__).with_name("RESULTS-notes.md")
    if notes.exists():
        lines.append(notes.read_text())
    out.write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
