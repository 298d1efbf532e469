"""Generated C code: the time to generate and compile a loss and its gradient.

    python generate_c.py [NODES...]

For each size (default 12,000 and 120,000 nodes), the loss of a curve fit,
sum((a * sin(b * x_i) + c - y_i)^2) over points (x_i, y_i) held as constants,
as a function of the 3-lane parameter vector (a, b, c); Function.generate
writes its value and gradient, and the system's C compiler compiles the files
at -O2, one process per core (they are independent), then links them into a
shared library. Prints, per size, the nodes, the files and lines, the seconds
to generate, to compile and in all (wall clock), the compiler's processor
seconds (which another load on the machine does not stretch), and checks that the compiled gradient is
the function's own bits. The compile time should grow linearly with the
graph: the generated code is cut into functions and files of bounded size.
"""

import concurrent.futures
import ctypes
import math
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import zarnik as zk

COMPILER = shutil.which("cc") or shutil.which("gcc")


def fit_loss(points):
    p = zk.Undefined(dim=3, name="p")
    total = zk.Constant(0.0)
    for i in range(points):
        x = -1.0 + 2.0 * i / points
        y = 1.5 * math.sin(2.0 * x) + 0.25
        miss = p.x * zk.sin(p.y * x) + p.z - y
        total = total + miss * miss
    return zk.function([p], total), len(zk.compile(total))


def measure(nodes_wanted, folder):
    points = max(1, nodes_wanted // 10)  # each point adds about ten nodes
    f, nodes = fit_loss(points)
    start = time.perf_counter()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    _, sources = f.generate(folder, "loss", derivatives=("gradient",))
    generated = time.perf_counter()
    objects = [source.with_suffix(".o") for source in sources]

    def compile_one(pair):
        source, target = pair
        subprocess.run([COMPILER, "-std=c99", "-O2", "-fPIC", "-c", str(source), "-o", str(target)], check=True)

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        list(pool.map(compile_one, zip(sources, objects)))
    library = folder / "loss.so"
    subprocess.run([COMPILER, "-shared", "-o", str(library), *map(str, objects), "-lm"], check=True)
    compiled = time.perf_counter()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    compiler_seconds = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)

    loaded = ctypes.CDLL(str(library))
    work = (ctypes.c_double * loaded.loss_work_size())()
    at = (ctypes.c_double * 3)(1.2, 1.8, 0.1)
    inputs = (ctypes.POINTER(ctypes.c_double) * 1)(ctypes.cast(at, ctypes.POINTER(ctypes.c_double)))
    value, gradient = ctypes.c_double(), (ctypes.c_double * 3)()
    assert loaded.loss_gradient(inputs, None, ctypes.byref(value), gradient, work) == 0
    expected_value, expected_gradient = f.value_and_grad([1.2, 1.8, 0.1])
    assert value.value == expected_value and list(gradient) == list(expected_gradient), "the bits differ"
    lines = sum(len(source.read_text().splitlines()) for source in sources)
    return nodes, len(sources), lines, generated - start, compiled - generated, compiler_seconds


def main():
    if COMPILER is None:
        sys.exit("needs a C compiler (cc)")
    sizes = [int(n) for n in sys.argv[1:]] or [12_000, 120_000]
    print(f"{'nodes':>8} {'files':>6} {'lines':>8} {'generate s':>11} {'compile s':>10} {'total s':>8} {'cpu s':>7}")
    for size in sizes:
        with tempfile.TemporaryDirectory() as folder:
            nodes, files, lines, generate, compile_, cpu = measure(size, Path(folder))
        total = generate + compile_
        print(f"{nodes:>8} {files:>6} {lines:>8} {generate:>11.2f} {compile_:>10.2f} {total:>8.2f} {cpu:>7.2f}")


if __name__ == "__main__":
    main()
