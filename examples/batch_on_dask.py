"""Fits y = a + b x + c sin(d x) to noisy samples held in chunks on a Dask
cluster, with Gauss-Newton steps whose sums are computed where the data are.

The residual r = a + b x + c sin(d x) - y is compiled once as a function of
the sample (x, y) and of the four unknowns, which every row gets as one
4-lane input. Its batch and batch_jacobian take the Dask arrays of the
samples and give lazy arrays chunk by chunk; the gradient of the summed loss
J^T r and the Gauss-Newton matrix J^T J are per-chunk sums, combined in a
tree, so that only 4 + 16 numbers per chunk leave a worker.

    python batch_on_dask.py                          # a local cluster of two worker processes
    python batch_on_dask.py --scheduler tcp://HOST:8786   # a running cluster (zarnik installed on its workers)
"""

import argparse

import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster

import zarnik as zk

TRUE = (0.5, -1.2, 2.0, 3.0)  # a, b, c, d of the samples
START = (0.0, 0.0, 1.0, 2.8)  # where the fit starts
NOISE = 0.05


def residual_function():
    x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
    unknowns = zk.Undefined(dim=4, name="unknowns")
    a, b, c, d = unknowns.x, unknowns.y, unknowns.z, unknowns.w
    return zk.function([x, y, unknowns], a + b * x + c * zk.sin(d * x) - y)


def samples(rows, chunks, seed=20261210):
    """The samples, made by the workers chunk by chunk: nothing here holds them."""
    rng = da.random.default_rng(seed)
    size = -(-rows // chunks)
    x = rng.uniform(-2.0, 2.0, size=rows, chunks=size)
    y = TRUE[0] + TRUE[1] * x + TRUE[2] * da.sin(TRUE[3] * x) + rng.normal(0.0, NOISE, size=rows, chunks=size)
    return x, y


def sums(f, x, y, unknowns):
    """The loss sum r^2, the gradient J^T r and J^T J at `unknowns`, as per-chunk sums combined in a tree."""
    r = f.batch(x, y, unknowns)  # the unknowns given once, for every row
    jacobian = f.batch_jacobian(x, y, unknowns, wrt=[2])[:, 0, :]  # d r / d (a, b, c, d) alone
    loss = (r * r).sum(split_every=2)
    gradient = (jacobian * r[:, None]).sum(axis=0, split_every=2)
    normal = (jacobian[:, :, None] * jacobian[:, None, :]).sum(axis=0, split_every=2)
    return dask.compute(loss, gradient, normal)


def fit(client, rows, chunks, steps=30):
    f = residual_function()
    x, y = client.persist(samples(rows, chunks))  # kept on the workers between steps
    unknowns = np.array(START)
    for step in range(steps):
        loss, gradient, normal = sums(f, x, y, unknowns)
        move = np.linalg.solve(normal, gradient)
        unknowns = unknowns - move
        print(f"step {step}: loss {loss:.6f}, unknowns {np.round(unknowns, 5).tolist()}")
        if np.max(np.abs(move)) < 1e-9:
            return unknowns
    raise SystemExit(f"no convergence in {steps} steps")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="the address of a running cluster's scheduler (default: a local one)")
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--chunks", type=int, default=8)
    args = parser.parse_args()
    if args.scheduler:
        with Client(args.scheduler) as client:
            unknowns = fit(client, args.rows, args.chunks)
    else:
        # Two single-thread worker processes on this machine, reached over
        # the loopback only; the scheduler's HTTP endpoints take a free port.
        with (
            LocalCluster(
                n_workers=2,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address=None,
                worker_dashboard_address=None,
                scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
            ) as cluster,
            Client(cluster) as client,
        ):
            unknowns = fit(client, args.rows, args.chunks)
    # The noise is small: the fit lands close to the model that made the samples.
    assert np.allclose(unknowns, TRUE, atol=0.01), unknowns
    print(f"a, b, c, d = {np.round(unknowns, 4).tolist()} (samples made with {list(TRUE)}): converged")


if __name__ == "__main__":
    main()
