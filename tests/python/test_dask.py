"""Batches over Dask arrays: lazy arrays whose every chunk is the in-process
batch's bits, computed here and on a local cluster of two worker processes
that listen on the loopback only and stop by themselves."""

import re
import subprocess
import sys

import numpy as np
import pytest

import zarnik as zk

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

# A cluster that does not answer within these fails the test instead of hanging it.
START_TIMEOUT = 60
RESULT_TIMEOUT = 120


@pytest.fixture(scope="module")
def client():
    # The scheduler's own HTTP endpoints take a free port on the loopback too.
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            worker_dashboard_address=None,
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
            timeout=START_TIMEOUT,
        ) as cluster,
        distributed.Client(cluster, timeout=START_TIMEOUT, set_as_default=False) as connected,
    ):
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
        assert [array.shape for array in arrays] == [
            e.shape for e in (expected if isinstance(expected, list) else [expected])
        ], what
        result = computed(client, lazy)
        results = result if isinstance(result, list) else [result]
        assert all(same_bits(r, e) for r, e in zip(results, expected if isinstance(expected, list) else [expected])), (
            what
        )
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
        assert [g.shape for g in lazy_gradients] == [g.shape for g in gradients[: len(lazy_gradients)]]
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
    # The node is named by its id in the copy of the function that the worker ran.
    assert re.fullmatch(
        r"symbolic value lanes must be finite \(row 57\): Divide gave inf at node #\d+", str(raised.value)
    )
    with pytest.raises(ValueError) as in_process:
        f.batch(values)
    assert str(in_process.value) == str(raised.value).rpartition("#")[0] + f"#{f.outputs[0].id}"


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
        (
            lambda: f.batch(lazy_x, lazy_x),
            None,
            ValueError,
            "input array 1 must have the shape (rows, 2), or (2,) or (1, 2) for one value for every row",
        ),
        (
            lambda: f.batch(lazy_x, vs[:5]),
            None,
            ValueError,
            "input arrays 0 and 1 have different numbers of rows (10001 and 5)",
        ),
        (
            lambda: f.batch_jacobian(lazy_x, [[1.0], [2.0, 3.0]]),
            None,
            TypeError,
            "input array 1 must be convertible to an array of floats",
        ),
        (
            lambda: f.batch_jacobian(lazy_x, "rows"),
            None,
            TypeError,
            "input array 1 must hold real numbers (booleans, integers or floats), not <U4",
        ),
        (
            lambda: f.batch(lazy_x[lazy_x > 0], da.from_array(vs)),
            None,
            ValueError,
            "input array 0 has chunks of unknown size: call its compute_chunk_sizes() first",
        ),
        # The keywords as the batch reads them: wrt by the one rule, rows=, threads=, approximate=.
        (
            lambda: f.batch_jacobian(lazy_x, vs, wrt=[2]),
            None,
            ValueError,
            "wrt names input 2 of a function of 2 inputs",
        ),
        (lambda: f.batch_jacobian(lazy_x, vs, wrt=[1, v]), None, ValueError, "wrt names input 1 twice"),
        (
            lambda: f.batch_jacobian(lazy_x, vs, wrt=1),
            None,
            TypeError,
            "wrt must be None, an input Expression or a sequence of input positions or input Expressions",
        ),
        (lambda: f.batch(lazy_x, vs, rows=5), None, ValueError, "input array 0 has 10001 rows, not rows=5"),
        (lambda: f.batch(lazy_x, vs, threads=0), None, ValueError, "threads must be at least 1, not 0"),
        (lambda: f.batch_jacobian(lazy_x, vs, approximate=1), None, TypeError, "approximate must be True or False"),
        # A value given once holds real numbers, as in the batch: no imaginary part dropped, no text read.
        (
            lambda: f.batch(lazy_x, [1.0 + 2.0j, 0.5]),
            None,
            TypeError,
            "input array 1 must hold real numbers (booleans, integers or floats), not complex128",
        ),
        (
            lambda: f.batch(lazy_x, ["1.0", "0.5"]),
            None,
            TypeError,
            "input array 1 must hold real numbers (booleans, integers or floats), not <U3",
        ),
        # What a cast to floats would quietly reinterpret, in a Dask array or beside one.
        (lambda: f.batch(lazy_x + 1j, vs), (xs + 1j, vs), TypeError, f"input array 0 {real} complex128"),
        (lambda: f.batch(lazy_x, vs.astype(str)), (xs, vs.astype(str)), TypeError, f"input array 1 {real} <U32"),
        (
            lambda: f.batch_jacobian(lazy_x, vs.astype(object)),
            (xs, vs.astype(object)),
            TypeError,
            f"input array 1 {real} object",
        ),
        (
            lambda: f.batch(xs.astype("m8[s]"), da.from_array(vs)),
            (xs.astype("m8[s]"), vs),
            TypeError,
            f"input array 0 {real} timedelta64[s]",
        ),
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


def in_process_and_lazy(method, f, in_process, lazy, **keywords):
    """The batch method's answer for the NumPy arrays and the Dask arrays,
    the lazy one as (lazy arrays, what the threaded scheduler computes)."""
    expected = getattr(f, method)(*in_process, **keywords)
    answer = getattr(f, method)(*lazy, **keywords)
    if method == "batch_value_and_grad":
        expected, answer = [expected[0], *expected[1]], [answer[0], *answer[1]]
    elif isinstance(expected, np.ndarray):
        expected, answer = [expected], [answer]
    return expected, answer, list(dask.compute(*answer, scheduler="threads"))


def test_every_chunking_of_rows_gives_the_batchs_shapes_and_bits():
    # A batch reads a block of one row, (1, lanes) or a one-lane (1,), as a
    # value given once: chunks of one row, of none, uneven, alone or beside
    # a one-lane input's rows.
    v = zk.Undefined(dim=3, name="v")
    x = zk.Undefined(name="x")
    f = zk.function([x, v], zk.squared_norm(v) * zk.sin(x) - x)
    rows_v = np.arange(15.0).reshape(5, 3) - 7.0
    rows_x = np.linspace(-1.0, 1.0, 5)
    for chunks in [(4, 1), (1, 4), (2, 1, 2), (1, 1, 1, 1, 1), (0, 5), (2, 0, 3), (5, 0), (3, 2)]:
        lazy_v = da.from_array(rows_v, chunks=(chunks, 3))
        lazy_x = da.from_array(rows_x, chunks=chunks)
        for lazy in ([rows_x, lazy_v], [lazy_x, rows_v], [lazy_x, lazy_v], [lazy_x, [1.0, 2.0, 3.0]]):
            in_process = [
                rows_x if isinstance(a, da.Array) and a.ndim == 1 else rows_v if isinstance(a, da.Array) else a
                for a in lazy
            ]
            for method in ("batch", "batch_jacobian", "batch_value_and_grad"):
                expected, answer, results = in_process_and_lazy(method, f, in_process, lazy)
                what = (chunks, method, [type(a).__name__ for a in lazy])
                assert [a.shape for a in answer] == [np.shape(e) for e in expected], what
                # Each chunk sums its own rows: the sum itself agrees to rounding.
                exact = results[1:] if method == "batch_value_and_grad" else results
                assert all(same_bits(r, e) for r, e in zip(exact, expected[-len(exact) :])), what
                assert results[0] == pytest.approx(expected[0], rel=1e-12, abs=1e-12), what
    # No rows at all: empty lazy arrays of the batch's shapes.
    for method in ("batch", "batch_jacobian", "batch_value_and_grad"):
        expected, answer, results = in_process_and_lazy(
            method, f, [rows_x[:0], rows_v[:0]], [rows_x[:0], da.from_array(rows_v[:0])]
        )
        assert [r.shape for r in results] == [a.shape for a in answer] == [np.shape(e) for e in expected], method


def test_values_given_once_are_read_by_their_shapes_as_numpy_arrays_are():
    x, v, outputs = model()
    f = zk.function([x, v], outputs[1])
    lazy_x, lazy_v = da.from_array(xs[:100], chunks=30), da.from_array(vs[:100], chunks=(40, 2))
    # A one-lane input's (1,) and a 2-lane input's (2,) or (1, 2), as NumPy or Dask arrays beside rows, and
    # every input given once with rows= or as one row.
    cases = [
        ([np.array([0.25]), lazy_v], [np.array([0.25]), vs[:100]], {}),
        ([da.from_array(np.array([0.25])), lazy_v], [np.array([0.25]), vs[:100]], {}),
        ([da.from_array(np.array([[0.25]])), lazy_v], [np.array([[0.25]]), vs[:100]], {}),
        ([lazy_x, da.from_array(np.array([0.5, -1.5]))], [xs[:100], np.array([0.5, -1.5])], {}),
        ([lazy_x, da.from_array(np.array([[0.5, -1.5]]))], [xs[:100], np.array([[0.5, -1.5]])], {}),
        ([da.from_array(np.array(0.25)), da.from_array(np.array([0.5, -1.5]))], [0.25, [0.5, -1.5]], {"rows": 7}),
        ([da.from_array(np.array([0.25])), da.from_array(np.array([0.5, -1.5]))], [[0.25], [0.5, -1.5]], {}),
    ]
    for lazy, in_process, keywords in cases:
        for method in ("batch", "batch_jacobian", "batch_value_and_grad"):
            if method == "batch_value_and_grad":
                g = zk.function([x, v], outputs[0][0])
                expected, answer, results = in_process_and_lazy(method, g, in_process, lazy, **keywords)
            else:
                expected, answer, results = in_process_and_lazy(method, f, in_process, lazy, **keywords)
            what = (method, [np.shape(a) for a in in_process], keywords)
            assert [a.shape for a in answer] == [np.shape(e) for e in expected], what
            assert all(r == pytest.approx(e, rel=1e-12) for r, e in zip(results, expected) if np.ndim(e) == 0), what
            assert all(
                same_bits(r, e)
                for r, e in zip(results, expected)
                if np.ndim(e) > 0 and (method != "batch_value_and_grad" or np.shape(e)[0] == 100)
            ), what
    with pytest.raises(ValueError, match="^a batch needs rows: an input array of rows, or rows= the number of rows$"):
        f.batch(0.25, da.from_array(np.array([0.5, -1.5])))


def test_the_parameters_values_are_those_of_the_call():
    x, v = zk.Undefined(name="x"), zk.Undefined(dim=2, name="v")
    a = zk.Parameter(0.75, name="a")
    f = zk.function([x, v], a * zk.sin(x) * v + x)
    g = zk.function([x, v], a * zk.sin(x) * v[0] + x)
    lazy_x = da.from_array(xs[:100], chunks=30)
    expected = [
        f.batch(xs[:100], vs[:100]),
        f.batch_jacobian(xs[:100], vs[:100]),
        g.batch_value_and_grad(xs[:100], vs[:100]),
    ]
    lazy = [f.batch(lazy_x, vs[:100]), f.batch_jacobian(lazy_x, vs[:100]), g.batch_value_and_grad(lazy_x, vs[:100])]
    a.set_value(2.0)
    results = dask.compute(*lazy, scheduler="threads")
    assert same_bits(results[0], expected[0]) and same_bits(results[1], expected[1])
    assert results[2][0] == pytest.approx(expected[2][0], rel=1e-12)
    assert same_bits(results[2][1][1], expected[2][1][1])
    # The new value is what a batch called now reads.
    assert same_bits(f.batch(lazy_x, vs[:100]).compute(scheduler="threads"), f.batch(xs[:100], vs[:100]))
    assert not same_bits(f.batch(xs[:100], vs[:100]), expected[0])


def test_approximate_reaches_the_chunks_of_the_summed_gradients():
    x, v, outputs = model()
    g = zk.function([x, v], outputs[0][0] * zk.exp(x))
    lazy_x = da.from_array(xs, chunks=2_500)
    exact = g.batch_value_and_grad(xs, vs)
    approximate = g.batch_value_and_grad(xs, vs, approximate=True)
    # Unless the two differ somewhere, the check below could not tell them apart.
    assert not same_bits(exact[1][0], approximate[1][0])
    value, gradients = g.batch_value_and_grad(lazy_x, vs, approximate=True)
    value, rows_x, rows_v = dask.compute(value, *gradients, scheduler="threads")
    assert same_bits(rows_x, approximate[1][0]) and same_bits(rows_v, approximate[1][1])
    assert value == pytest.approx(approximate[0], rel=1e-12)
