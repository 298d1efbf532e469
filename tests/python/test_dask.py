"""Batches over Dask arrays: lazy arrays whose every chunk is the in-process
batch's bits, computed here and on a local cluster of two worker processes
that listen on the loopback only and stop by themselves."""

import subprocess
import sys

import numpy as np
import pytest

import zarnik as zk

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

# A cluster that does not answer within these fails the test instead of hanging it.
START_TIMEOUT = 60
RESULT_TIMEOUT = 120


@pytest.fixture(scope="module")
def client():
    # The scheduler's own HTTP endpoints take a free port on the loopback too.
    with (distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                   dashboard_address=None, worker_dashboard_address=None,
                                   scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                                   timeout=START_TIMEOUT) as cluster,
          distributed.Client(cluster, timeout=START_TIMEOUT, set_as_default=False) as connected):
        yield connected


def computed(client, array):
    """What the cluster computes for a lazy array (or a list of them)."""
    futures = client.compute(array)
    if isinstance(futures, list):
        return [future.result(timeout=RESULT_TIMEOUT) for future in futures]
    return futures.result(timeout=RESULT_TIMEOUT)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def model():
    """A function of a scalar and a 2-lane input, with a parameter read at each call."""
    x = zk.Undefined(name="x")
    v = zk.Undefined(dim=2, name="v")
    a = zk.Parameter(0.75, name="a")
    return x, v, [a * zk.sin(x) * v + x, x * v[1] - zk.cos(v[0]), v[0] / (x + 3.0)]


ROWS = 10_001
xs = np.linspace(-2.0, 2.0, ROWS)
vs = np.stack([np.cos(xs * 3.0), xs * xs], axis=1)


def test_batches_of_dask_arrays_are_lazy_and_equal_the_batch_bit_for_bit(client):
    x, v, outputs = model()
    single = zk.function([x, v], outputs[0])
    several = zk.function([x, v], outputs)
    # Chunks of rows of different sizes in the two inputs, and lanes split in
    # chunks of their own: the batch aligns them by rows.
    lazy_x = da.from_array(xs, chunks=2_500)
    lazy_v = da.from_array(vs, chunks=(3_000, 1))
    cases = {
        "one output": (single.batch(lazy_x, lazy_v), single.batch(xs, vs)),
        "several outputs": (several.batch(lazy_x, lazy_v), several.batch(xs, vs)),
        "Jacobians": (several.batch_jacobian(lazy_x, lazy_v), several.batch_jacobian(xs, vs)),
        "a NumPy array beside a Dask array": (single.batch(xs, lazy_v), single.batch(xs, vs)),
    }
    for what, (lazy, expected) in cases.items():
        arrays = lazy if isinstance(lazy, list) else [lazy]
        assert all(isinstance(array, da.Array) for array in arrays), what
        assert [array.shape for array in arrays] == [e.shape for e in (expected if isinstance(expected, list)
                                                                         else [expected])], what
        result = computed(client, lazy)
        results = result if isinstance(result, list) else [result]
        assert all(same_bits(r, e) for r, e in zip(results, expected if isinstance(expected, list)
                                                     else [expected])), what
    # The threaded scheduler of this process gives the same bits.
    assert same_bits(single.batch(lazy_x, lazy_v).compute(scheduler="threads"), single.batch(xs, vs))


def test_tree_sums_of_chunks_on_the_cluster_match_the_batch(client):
    x, v, outputs = model()
    f = zk.function([x, v], outputs[1])
    lazy = f.batch(da.from_array(xs, chunks=1_000), da.from_array(vs, chunks=(1_000, 2)))
    total = computed(client, lazy.sum(axis=0, split_every=2))
    assert total == pytest.approx(f.batch(xs, vs).sum(axis=0), rel=1e-12)


def test_the_fit_over_chunks_sums_in_a_tree_and_keeps_each_rows_gradient(client):
    x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
    p = zk.Undefined(dim=2, name="p")
    residual = p[0] * zk.sin(p[1] * x) - y
    loss = zk.function([x, y, p], residual * residual)
    ys = np.cos(xs)
    lazy_x, lazy_y = da.from_array(xs, chunks=1_000), da.from_array(ys, chunks=3_000)
    value, gradients = loss.batch_value_and_grad(xs, ys, [0.5, 2.0], wrt=[p, x])
    for wrt in ([p, x], p):
        lazy_value, lazy_gradients = loss.batch_value_and_grad(lazy_x, lazy_y, [0.5, 2.0], wrt=wrt)
        assert isinstance(lazy_value, da.Array) and lazy_value.shape == ()
        assert [g.shape for g in lazy_gradients] == [g.shape for g in gradients[:len(lazy_gradients)]]
        total, *computed_gradients = computed(client, [lazy_value, *lazy_gradients])
        # Sums of chunks add in another order than the batch's; each row's own gradient keeps its bits.
        assert total == pytest.approx(value, rel=1e-12)
        np.testing.assert_allclose(computed_gradients[0], gradients[0], rtol=1e-12)
        if len(computed_gradients) > 1:
            assert same_bits(computed_gradients[1], gradients[1])
    with pytest.raises(ValueError, match="^batch_value_and_grad needs a function of one scalar output$"):
        zk.function([x, p], p * x).batch_value_and_grad(lazy_x, [0.5, 2.0])


def test_a_failing_row_names_its_row_in_the_whole_array(client):
    x = zk.Undefined(name="x")
    f = zk.function(x, 1.0 / x)
    values = np.linspace(1.0, 2.0, 100)
    values[57] = 0.0
    lazy = f.batch(da.from_array(values, chunks=25))
    with pytest.raises(ValueError) as raised:
        computed(client, lazy)
    assert str(raised.value) == "symbolic value lanes must be finite (row 57)"
    with pytest.raises(ValueError) as in_process:
        f.batch(values)
    assert str(in_process.value) == str(raised.value)


def test_values_given_once_reach_every_chunk_with_the_batch_keywords(client):
    x, v, outputs = model()
    single = zk.function([x, v], outputs[0])
    lazy_x = da.from_array(xs, chunks=2_500)
    once = [0.5, -1.5]
    assert same_bits(computed(client, single.batch(lazy_x, once)), single.batch(xs, once))
    # wrt by expression travels as a position; approximate reaches every chunk's batch.
    lazy = single.batch_jacobian(lazy_x, np.array([[0.5, -1.5]]), wrt=[v], approximate=True)
    assert lazy.shape == (ROWS, 2, 2)
    assert same_bits(computed(client, lazy), single.batch_jacobian(xs, once, wrt=[1], approximate=True))
    # One input expression alone names that input, not its lanes; rows= agreeing with the arrays is taken.
    lazy = single.batch_jacobian(lazy_x, once, wrt=v, rows=ROWS)
    assert lazy.shape == (ROWS, 2, 2)
    assert same_bits(computed(client, lazy), single.batch_jacobian(xs, once, wrt=v))


def test_what_a_batch_refuses_is_refused_before_anything_runs():
    x, v, outputs = model()
    f = zk.function([x, v], outputs[0])
    lazy_x = da.from_array(xs, chunks=1_000)
    real = "must hold real numbers (booleans, integers or floats), not"
    # Each call, and the arrays whose in-process batch must refuse it alike.
    cases = [
        (lambda: f.batch(lazy_x), None, TypeError, "the function takes 2 input arrays, not 1"),
        (lambda: f.batch(lazy_x, lazy_x), None, ValueError,
         "input array 1 must have the shape (rows, 2), or (2,) or (1, 2) for one value for every row"),
        (lambda: f.batch(lazy_x, vs[:5]), None, ValueError,
         "input arrays 0 and 1 have different numbers of rows (10001 and 5)"),
        (lambda: f.batch_jacobian(lazy_x, [[1.0], [2.0, 3.0]]), None, TypeError,
         "input array 1 must be convertible to an array of floats"),
        (lambda: f.batch_jacobian(lazy_x, "rows"), None, TypeError,
         "input array 1 must hold real numbers (booleans, integers or floats), not <U4"),
        (lambda: f.batch(lazy_x[lazy_x > 0], da.from_array(vs)), None, ValueError,
         "input array 0 has chunks of unknown size: call its compute_chunk_sizes() first"),
        # The keywords as the batch reads them: wrt by the one rule, rows=, threads=, approximate=.
        (lambda: f.batch_jacobian(lazy_x, vs, wrt=[2]), None, ValueError,
         "wrt names input 2 of a function of 2 inputs"),
        (lambda: f.batch_jacobian(lazy_x, vs, wrt=[1, v]), None, ValueError, "wrt names input 1 twice"),
        (lambda: f.batch_jacobian(lazy_x, vs, wrt=1), None, TypeError,
         "wrt must be None, an input Expression or a sequence of input positions or input Expressions"),
        (lambda: f.batch(lazy_x, vs, rows=5), None, ValueError, "input array 0 has 10001 rows, not rows=5"),
        (lambda: f.batch(lazy_x, vs, threads=0), None, ValueError, "threads must be at least 1, not 0"),
        (lambda: f.batch_jacobian(lazy_x, vs, approximate=1), None, TypeError, "approximate must be True or False"),
        # A value given once holds real numbers, as in the batch: no imaginary part dropped, no text read.
        (lambda: f.batch(lazy_x, [1.0 + 2.0j, 0.5]), None, TypeError,
         "input array 1 must hold real numbers (booleans, integers or floats), not complex128"),
        (lambda: f.batch(lazy_x, ["1.0", "0.5"]), None, TypeError,
         "input array 1 must hold real numbers (booleans, integers or floats), not <U3"),
        # What a cast to floats would quietly reinterpret, in a Dask array or beside one.
        (lambda: f.batch(lazy_x + 1j, vs), (xs + 1j, vs), TypeError, f"input array 0 {real} complex128"),
        (lambda: f.batch(lazy_x, vs.astype(str)), (xs, vs.astype(str)), TypeError, f"input array 1 {real} <U32"),
        (lambda: f.batch_jacobian(lazy_x, vs.astype(object)), (xs, vs.astype(object)), TypeError,
         f"input array 1 {real} object"),
        (lambda: f.batch(xs.astype("m8[s]"), da.from_array(vs)), (xs.astype("m8[s]"), vs), TypeError,
         f"input array 0 {real} timedelta64[s]"),
    ]
    for call, in_process, error, text in cases:
        with pytest.raises(error) as raised:
            call()
        assert str(raised.value) == text
        if in_process is not None:
            with pytest.raises(error) as raised:
                f.batch(*in_process)
            assert str(raised.value) == text


def test_dask_is_imported_only_for_a_dask_array():
    program = (
        "import sys, numpy as np, zarnik as zk\n"
        "x = zk.Undefined(name='x')\n"
        "f = zk.function(x, x * x)\n"
        "f.batch(np.arange(4.0)); f.batch_jacobian(np.arange(4.0))\n"
        "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))\n"
    )
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"
