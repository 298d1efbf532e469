"""Graphs that travel: graph files beside compiling, and batches on a Dask cluster.

    python travel.py run OUT.json

Files: the W1 loss of M = 100,000 points (1,200,003 nodes), built as
peers.py builds it; zarnik.compile, zarnik.save to a file and zarnik.load of
it, interleaved in one process; the file's bytes per node. The loaded graph
must evaluate to the original's bits before the times count.

Dask W4: the W1 model's prediction over 40,000,000 rows of x in 8 chunks,
the rows made on the workers (da.linspace) and the predictions summed there,
on a LocalCluster of 2 single-thread worker processes and of 1, beside the
same rows made, predicted and summed by one batch in this process. Each
cluster computes once before its times count (the function reaches the
workers then). Set ZARNIK_BENCH_QUICK=1 for a smoke run.
"""

import json
import os
import pathlib
import statistics
import sys
import tempfile
import time

import numpy as np
from peers import START, fit_loss, samples

import _zarnik as zk
import zarnik

QUICK = os.environ.get("ZARNIK_BENCH_QUICK") == "1"
POINTS = 1_000 if QUICK else 100_000
FILE_REPEATS = 3 if QUICK else 7
ROWS = 400_000 if QUICK else 40_000_000
CHUNKS = 8
DASK_REPEATS = 2 if QUICK else 5
MODEL = (0.1, 0.2, 0.3, 2.5)


def summary(times):
    return {"min": min(times), "median": statistics.median(times)}


def files():
    parameters = [zk.Parameter(value) for value in START]
    loss = fit_loss(zk.sin, parameters, samples(POINTS))
    nodes = len(zarnik.compile(loss))
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "w1.zg"
        zarnik.save(loss, path)
        size = path.stat().st_size
        agrees = zarnik.load(path).eval() == loss.eval()
        steps = {
            "compile": lambda: zarnik.compile(loss),
            "save": lambda: zarnik.save(loss, path),
            "load": lambda: zarnik.load(path),
        }
        rounds = {name: [] for name in steps}
        for _ in range(FILE_REPEATS):
            for name, step in steps.items():
                started = time.perf_counter()
                made = step()
                rounds[name].append(time.perf_counter() - started)
                del made  # released outside the timed call
    return {
        "points": POINTS,
        "nodes": nodes,
        "bytes": size,
        "agrees": agrees,
        "times": {name: summary(times) for name, times in rounds.items()},
    }


def prediction():
    x = zk.Undefined(name="x")
    a, b, c, d = (zk.Parameter(value) for value in MODEL)
    return zarnik.function(x, a + b * x + c * zk.sin(d * x))


def in_process(f):
    return float(f.batch(np.linspace(0.0, 1.0, ROWS)).sum())


def on_cluster(f, workers):
    import dask.array as da
    from distributed import Client, LocalCluster

    with (
        LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            worker_dashboard_address=None,
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
        ) as cluster,
        Client(cluster, set_as_default=False) as client,
    ):

        def total():
            rows = da.linspace(0.0, 1.0, ROWS, chunks=ROWS // CHUNKS)
            return float(client.compute(f.batch(rows).sum()).result(timeout=600))

        first = total()  # the function reaches the workers
        times = []
        for _ in range(DASK_REPEATS):
            started = time.perf_counter()
            total()
            times.append(time.perf_counter() - started)
    return first, summary(times)


def dask_w4():
    try:
        import distributed  # noqa: F401
    except ImportError:
        return None
    f = prediction()
    reference = in_process(f)
    times = []
    for _ in range(DASK_REPEATS):
        started = time.perf_counter()
        in_process(f)
        times.append(time.perf_counter() - started)
    result = {"rows": ROWS, "chunks": CHUNKS, "in process": {"times": summary(times), "agrees": True}}
    for workers in (1, 2):
        total, cluster_times = on_cluster(f, workers)
        # Sums of chunks add in another order than one sum over all rows.
        agrees = abs(total - reference) <= 1e-9 * abs(reference)
        result[f"{workers} workers"] = {"times": cluster_times, "agrees": agrees}
    return result


def run(out_path):
    print(f"graph files, W1 M = {POINTS:,}", file=sys.stderr, flush=True)
    report = {"files": files()}
    print(f"Dask W4, {ROWS:,} rows in {CHUNKS} chunks", file=sys.stderr, flush=True)
    report["dask"] = dask_w4()
    with open(out_path, "w") as out:
        json.dump(report, out, indent=1)


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "run":
        sys.exit(__doc__)
    run(sys.argv[2])
