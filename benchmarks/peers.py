"""This library, per call and compiled into tapes, beside the peers users would
pick instead: micrograd (pure Python scalar autograd), PyTorch eager autograd
and CasADi SX graphs with their compiled Functions.

    python peers.py shapes OUT.json       W1 "fit" and W2 "vec3", peers interleaved in one process
    python peers.py deep PEER K           W3 "deep" for one peer and size; prints one JSON line
    python peers.py deep-all OUT.json     W3 for every peer and size, each in a process of its own

Every peer builds the same graph with one node per scalar operation, numbers
entering as constants, and must reproduce the same loss and gradients before
its times count. Set ZARNIK_BENCH_QUICK=1 for a smoke run (smallest sizes,
one repetition).
"""

import dataclasses
import gc
import importlib.util
import json
import math
import os
import resource
import statistics
import sys
import time
from collections.abc import Callable

import _zarnik as zk
import zarnik

QUICK = os.environ.get("ZARNIK_BENCH_QUICK") == "1"
START = (0.1, 0.2, 0.3, 2.5)  # a, b, c, d of the fit
START_P, START_S = (0.3, -0.2, 0.5), 0.7
FIT_SIZES = [100] if QUICK else [100, 1_000, 10_000, 100_000]
VEC3_SIZE = 100 if QUICK else 1_000
DEEP_SIZES = [1_000] if QUICK else [1_000, 10_000, 100_000, 1_000_000]


def repeats_for(points):
    if QUICK:
        return 1
    return 7 if points <= 1_000 else 3 if points <= 10_000 else 2


def samples(points):
    """x_i = i / M and t_i = sin(3 x_i) + 0.5."""
    return [(i / points, math.sin(3 * i / points) + 0.5) for i in range(points)]


# --- the models of each library --------------------------------------------------
# A model offers build(), eval(), backward(), step() and check() -> (loss,
# gradients); eval is None where the library has no way to re-evaluate a built
# graph. The peers' records below tie the models, workloads and set-up together.


class ZarnikModel:
    name = "zarnik"
    prepare_phase = None  # a one-off step after building, timed on its own

    def __init__(self, points, parameters, make):
        self.data = samples(points)
        self.parameters = [
            zk.Parameter(*value) if isinstance(value, tuple) else zk.Parameter(value) for value in parameters
        ]
        self.make = make
        self.loss = None

    def build(self):
        self.loss = None
        self.loss = self.make(self.parameters, self.data)

    def eval(self):
        return self.loss.eval()

    def backward(self):
        self.loss.backward()
        self.loss.zero_grad()

    def step(self):
        # A training step on the fixed graph: new parameter values, backward,
        # read the gradients, clear them.
        for parameter in self.parameters:
            parameter.set_value(parameter.value)
        self.loss.backward()
        gradients = [parameter.grad for parameter in self.parameters]
        self.loss.zero_grad()
        return gradients

    def check(self):
        self.loss.backward()
        gradients = [g for parameter in self.parameters for g in parameter.grad]
        self.loss.zero_grad()
        return self.loss.eval()[0], gradients


class ZarnikCompiledModel(ZarnikModel):
    """The same graph, compiled once into a tape that every call runs."""

    name = "zarnik compiled"
    prepare_phase = "compile"

    def build(self):
        self.tape = None
        super().build()

    def prepare(self):
        self.tape = zarnik.compile(self.loss)

    def eval(self):
        return self.tape.eval()

    def backward(self):
        self.tape.backward()
        self.tape.zero_grad()

    def step(self):
        for parameter in self.parameters:
            parameter.set_value(parameter.value)
        self.tape.backward()
        gradients = [parameter.grad for parameter in self.parameters]
        self.tape.zero_grad()
        return gradients

    def check(self):
        loss = self.tape.backward()
        gradients = [g for parameter in self.parameters for g in parameter.grad]
        self.tape.zero_grad()
        return loss[0], gradients


# The workloads, written once for every library: only the sine differs, and
# how the lanes of a 3-vector are added up.


def fit_loss(sin, parameters, data):
    """W1: sum over i of (a + b x_i + c sin(d x_i) - t_i)^2, left to right."""
    a, b, c, d = parameters
    loss = None
    for x, t in data:
        residual = a + b * x + c * sin(d * x) - t
        square = residual * residual
        loss = square if loss is None else loss + square
    return loss


def vec3_loss(sin, add_lanes, parameters, data):
    """W2: sum over i of (sum of the lanes of P s + sin(P x_i) - t_i)^2."""
    p, s = parameters
    loss = None
    for x, t in data:
        error = add_lanes(p * s + sin(p * x)) - t
        square = error * error
        loss = square if loss is None else loss + square
    return loss


def index_lanes(vector):
    return vector[0] + vector[1] + vector[2]


def zarnik_fit(parameters, data):
    return fit_loss(zk.sin, parameters, data)


def zarnik_vec3(parameters, data):
    return vec3_loss(zk.sin, index_lanes, parameters, data)


class MicrogradModel:
    name = "micrograd"
    prepare_phase = None

    def __init__(self, points, values, make):
        from micrograd.engine import Value

        self.Value = Value
        self.data = samples(points)
        self.parameters = [Value(v) for v in values]
        self.make = make
        self.loss = None

    def build(self):
        self.loss = None
        self.loss = self.make(self.Value, self.parameters, self.data)

    eval = None

    def backward(self):
        self.loss.backward()

    def step(self):
        # micrograd users rebuild the graph from the parameters each step.
        for parameter in self.parameters:
            parameter.grad = 0.0
        self.build()
        self.loss.backward()
        return [parameter.grad for parameter in self.parameters]

    def check(self):
        for parameter in self.parameters:
            parameter.grad = 0.0
        self.build()
        self.loss.backward()
        return self.loss.data, [parameter.grad for parameter in self.parameters]


def micrograd_sin(Value, v):
    # micrograd has no sine; users add operations like this one.
    out = Value(math.sin(v.data), (v,), "sin")

    def _backward():
        v.grad += math.cos(v.data) * out.grad

    out._backward = _backward
    return out


def micrograd_fit(Value, parameters, data):
    return fit_loss(lambda v: micrograd_sin(Value, v), parameters, data)


def micrograd_vec3(Value, parameters, data):
    *p, s = parameters
    loss = None
    for x, t in data:
        lanes = [p_j * s + micrograd_sin(Value, p_j * x) for p_j in p]
        error = lanes[0] + lanes[1] + lanes[2] - t
        square = error * error
        loss = square if loss is None else loss + square
    return loss


class TorchModel:
    name = "pytorch"
    prepare_phase = None

    def __init__(self, points, values, make):
        import torch

        self.torch = torch
        self.data = samples(points)
        self.parameters = [torch.tensor(v, dtype=torch.float64, requires_grad=True) for v in values]
        self.make = make
        self.loss = None

    def build(self):
        self.loss = None
        self.loss = self.make(self.torch, self.parameters, self.data)

    eval = None

    def backward(self):
        self.loss.backward(retain_graph=True)
        for parameter in self.parameters:
            parameter.grad = None

    def step(self):
        # Eager autograd: every step rebuilds the graph and differentiates it.
        for parameter in self.parameters:
            parameter.grad = None
        self.build()
        self.loss.backward()
        return [parameter.grad.tolist() for parameter in self.parameters]

    def check(self):
        gradients = self.step()
        flat = [g for gradient in gradients for g in (gradient if isinstance(gradient, list) else [gradient])]
        return self.loss.item(), flat


def torch_fit(torch, parameters, data):
    return fit_loss(torch.sin, parameters, data)


def torch_vec3(torch, parameters, data):
    # Size-3 tensors, their lanes added as PyTorch users do.
    return vec3_loss(torch.sin, lambda vector: vector.sum(), parameters, data)


class CasadiModel:
    name = "casadi"
    prepare_phase = "functions"

    def __init__(self, points, sizes, values, make):
        import casadi

        self.casadi = casadi
        self.data = samples(points)
        self.sizes = sizes
        self.values = values
        self.make = make

    def build(self):
        ca = self.casadi
        self.symbols = [ca.SX.sym(f"v{i}", size) for i, size in enumerate(self.sizes)]
        self.loss = self.make(ca, self.symbols, self.data)

    def prepare(self):
        """The one-off step of turning the built graph into Functions."""
        ca = self.casadi
        variables = ca.vertcat(*self.symbols)
        self.f = ca.Function("f", self.symbols, [self.loss])
        self.g = ca.Function("g", self.symbols, [ca.gradient(self.loss, variables)])
        self.fg = ca.Function("fg", self.symbols, [self.loss, ca.gradient(self.loss, variables)])

    def eval(self):
        return self.f(*self.values)

    def backward(self):
        return self.g(*self.values)

    def step(self):
        loss, gradient = self.fg(*self.values)
        return gradient.full()

    def check(self):
        loss, gradient = self.fg(*self.values)
        return float(loss), [float(g) for g in gradient.full().ravel()]


def casadi_fit(ca, symbols, data):
    return fit_loss(ca.sin, symbols, data)


def casadi_vec3(ca, symbols, data):
    return vec3_loss(ca.sin, index_lanes, symbols, data)


# --- the peers, one record each -----------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Peer:
    """Everything about one peer: adding a peer means adding one record here."""

    name: str  # its key in the results and its row label
    module: str  # what must be importable for it to run
    colour: str  # its colour in the plot
    fit: Callable  # points -> a model of W1
    vec3: Callable  # points -> a model of W2
    deep: Callable  # steps -> (times, value, gradient) of W3
    setup: Callable = lambda: None  # once per process, before anything is timed

    def available(self):
        return importlib.util.find_spec(self.module) is not None


def no_thread_pool():
    import torch

    torch.set_num_threads(1)


def deep_recursion():
    # micrograd's backward pass recurses once per level of the graph.
    sys.setrecursionlimit(10_000_000)


# In report order.
PEERS = [
    Peer(
        "zarnik",
        "_zarnik",
        "C0",
        fit=lambda points: ZarnikModel(points, START, zarnik_fit),
        vec3=lambda points: ZarnikModel(points, [START_P, START_S], zarnik_vec3),
        deep=lambda steps: deep_zarnik(steps),
    ),
    Peer(
        "zarnik compiled",
        "zarnik",
        "C4",
        fit=lambda points: ZarnikCompiledModel(points, START, zarnik_fit),
        vec3=lambda points: ZarnikCompiledModel(points, [START_P, START_S], zarnik_vec3),
        deep=lambda steps: deep_zarnik_compiled(steps),
    ),
    Peer(
        "micrograd",
        "micrograd",
        "C1",
        fit=lambda points: MicrogradModel(points, START, micrograd_fit),
        vec3=lambda points: MicrogradModel(points, list(START_P) + [START_S], micrograd_vec3),
        deep=lambda steps: deep_micrograd(steps),
        setup=deep_recursion,
    ),
    Peer(
        "pytorch",
        "torch",
        "C2",
        fit=lambda points: TorchModel(points, START, torch_fit),
        vec3=lambda points: TorchModel(points, [list(START_P), START_S], torch_vec3),
        deep=lambda steps: deep_torch(steps),
        setup=no_thread_pool,
    ),
    Peer(
        "casadi",
        "casadi",
        "C3",
        fit=lambda points: CasadiModel(points, [1, 1, 1, 1], list(START), casadi_fit),
        vec3=lambda points: CasadiModel(points, [3, 1], [list(START_P), START_S], casadi_vec3),
        deep=lambda steps: deep_casadi(steps),
    ),
]
BY_NAME = {peer.name: peer for peer in PEERS}


def ready_peers():
    """The installed peers, each set up once."""
    peers = [peer for peer in PEERS if peer.available()]
    for peer in peers:
        peer.setup()
    return peers


# --- timing -----------------------------------------------------------------------


def timed(call):
    started = time.perf_counter()
    call()
    return time.perf_counter() - started


def agree(reference, other, tolerance=1e-8):
    loss_a, grads_a = reference
    loss_b, grads_b = other
    close = lambda x, y: abs(x - y) <= tolerance * max(1.0, abs(x), abs(y))
    return close(loss_a, loss_b) and len(grads_a) == len(grads_b) and all(map(close, grads_a, grads_b))


def count_nodes(model):
    """Distinct nodes of this library's graph: what "per node" divides by."""
    seen = set()
    stack = [model.loss]
    while stack:
        node = stack.pop()
        if node.id in seen:
            continue
        seen.add(node.id)
        stack.extend(node.inputs)
    return len(seen)


def run_shape(workload, points, peers):
    """Times every phase of every peer, interleaved, for one workload and size."""
    make = lambda peer: getattr(peer, workload)(points)
    models = {peer.name: make(peer) for peer in peers}
    # Agreement first: a peer whose numbers differ is reported, not timed.
    results = {}
    reference = None
    for name, model in models.items():
        model.build()
        if model.prepare_phase:
            model.prepare()
        value = model.check()
        reference = reference or value
        results[name] = {"agrees": agree(reference, value), "loss": value[0], "times": {}}
    nodes = count_nodes(models["zarnik"])
    phases = ("build", "compile", "functions", "eval", "backward", "step")
    timings = {name: {phase: [] for phase in phases} for name in models}
    for _ in range(repeats_for(points)):
        for name, model in models.items():
            if not results[name]["agrees"]:
                continue
            model.loss = None
            gc.collect()
            timings[name]["build"].append(timed(model.build))
            if model.prepare_phase:
                timings[name][model.prepare_phase].append(timed(model.prepare))
            if model.eval is not None:
                timings[name]["eval"].append(timed(model.eval))
            timings[name]["backward"].append(timed(model.backward))
            timings[name]["step"].append(timed(model.step))
    for name, phases in timings.items():
        results[name]["times"] = {
            phase: {"min": min(values), "median": statistics.median(values)}
            for phase, values in phases.items()
            if values
        }
    return {"workload": workload, "points": points, "nodes": nodes, "peers": results}


def shapes(out_path):
    peers = ready_peers()
    report = {"peers": [peer.name for peer in peers], "runs": []}
    for points in FIT_SIZES:
        print(f"W1 fit, M = {points}", file=sys.stderr, flush=True)
        report["runs"].append(run_shape("fit", points, peers))
    print(f"W2 vec3, M = {VEC3_SIZE}", file=sys.stderr, flush=True)
    report["runs"].append(run_shape("vec3", VEC3_SIZE, peers))
    with open(out_path, "w") as out:
        json.dump(report, out, indent=1)


# --- W3: one peer, one depth, in a process of its own ---------------------------


def chain(sin, p, steps):
    """y(0) = p, y(k+1) = sin(y(k)) * 0.5 + p."""
    y = p
    for _ in range(steps):
        y = sin(y) * 0.5 + p
    return y


def deep_zarnik(steps):
    p = zk.Parameter(1.0)
    times = {}
    started = time.perf_counter()
    y = chain(zk.sin, p, steps)
    times["build"] = time.perf_counter() - started
    times["eval"] = timed(y.eval)
    times["backward"] = timed(y.backward)
    value, gradient = y.eval()[0], p.grad[0]
    started = time.perf_counter()
    del y
    times["free"] = time.perf_counter() - started
    return times, value, gradient


def deep_zarnik_compiled(steps):
    p = zk.Parameter(1.0)
    times = {}
    started = time.perf_counter()
    y = chain(zk.sin, p, steps)
    times["build"] = time.perf_counter() - started
    started = time.perf_counter()
    tape = zarnik.compile(y)
    times["compile"] = time.perf_counter() - started
    times["eval"] = timed(tape.eval)
    times["backward"] = timed(tape.backward)
    value, gradient = tape.eval()[0], p.grad[0]
    tape_bytes = tape.nbytes / len(tape)
    started = time.perf_counter()
    del y, tape
    times["free"] = time.perf_counter() - started
    return times, value, gradient, {"tape_bytes_per_node": tape_bytes}


def deep_micrograd(steps):
    from micrograd.engine import Value

    p = Value(1.0)
    times = {}
    started = time.perf_counter()
    y = chain(lambda v: micrograd_sin(Value, v), p, steps)
    times["build"] = time.perf_counter() - started
    times["backward"] = timed(y.backward)
    value, gradient = y.data, p.grad
    started = time.perf_counter()
    del y
    gc.collect()
    times["free"] = time.perf_counter() - started
    return times, value, gradient


def deep_torch(steps):
    import torch

    p = torch.tensor(1.0, dtype=torch.float64, requires_grad=True)
    times = {}
    started = time.perf_counter()
    y = chain(torch.sin, p, steps)
    times["build"] = time.perf_counter() - started
    times["backward"] = timed(y.backward)
    value, gradient = y.item(), p.grad.item()
    started = time.perf_counter()
    del y
    times["free"] = time.perf_counter() - started
    return times, value, gradient


def deep_casadi(steps):
    import casadi as ca

    p = ca.SX.sym("p")
    times = {}
    started = time.perf_counter()
    y = chain(ca.sin, p, steps)
    times["build"] = time.perf_counter() - started
    started = time.perf_counter()
    f = ca.Function("f", [p], [y])
    g = ca.Function("g", [p], [ca.gradient(y, p)])
    times["functions"] = time.perf_counter() - started
    times["eval"] = timed(lambda f=f: f(1.0))
    times["backward"] = timed(lambda g=g: g(1.0))
    value, gradient = float(f(1.0)), float(g(1.0))
    started = time.perf_counter()
    del y, f, g
    times["free"] = time.perf_counter() - started
    return times, value, gradient


def deep(name, steps):
    peer = BY_NAME[name]
    peer.setup()
    times, value, gradient, *extra = peer.deep(steps)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(
        json.dumps(
            {
                "peer": name,
                "steps": steps,
                "times": times,
                "value": value,
                "gradient": gradient,
                "peak_bytes": peak,
                **(extra[0] if extra else {}),
            }
        )
    )


def deep_all(out_path, time_limit=600):
    """Runs every (peer, K) in its own process, so that a crash is a result, not the end."""
    import signal
    import subprocess

    # Found, not imported: each child's peak memory must not start from this process's.
    peers = [peer.name for peer in PEERS if peer.available()]
    runs = []
    for steps in DEEP_SIZES:
        for peer in peers:
            print(f"W3 deep, K = {steps}, {peer}", file=sys.stderr, flush=True)
            try:
                done = subprocess.run(
                    [sys.executable, __file__, "deep", peer, str(steps)],
                    capture_output=True,
                    text=True,
                    timeout=time_limit,
                )
            except subprocess.TimeoutExpired:
                runs.append({"peer": peer, "steps": steps, "fate": f"did not finish within {time_limit} s"})
                continue
            if done.returncode == 0:
                runs.append({**json.loads(done.stdout.strip().splitlines()[-1]), "fate": "survived"})
            else:
                if done.returncode < 0:
                    fate = f"crashed: {signal.Signals(-done.returncode).name}"
                else:
                    last = (done.stderr.strip().splitlines() or ["exit status " + str(done.returncode)])[-1]
                    fate = f"failed: {last[:160]}"
                runs.append({"peer": peer, "steps": steps, "fate": fate})
    with open(out_path, "w") as out:
        json.dump({"peers": peers, "runs": runs}, out, indent=1)


def main(args):
    commands = {"shapes": (shapes, [str]), "deep": (deep, [str, int]), "deep-all": (deep_all, [str])}
    if not args or args[0] not in commands or len(args) - 1 != len(commands[args[0]][1]):
        sys.exit(__doc__)
    run, types = commands[args[0]]
    run(*(convert(value) for convert, value in zip(types, args[1:])))


if __name__ == "__main__":
    main(sys.argv[1:])
