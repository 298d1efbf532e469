"""Batches as users of array libraries expect them: inputs given once for
every row, Jacobians with respect to chosen inputs, the summed value and
gradient of a loss over data, threads, and the approximate arithmetic."""

import math
import subprocess
import sys

import numpy as np
import pytest

import zarnik as zk

ROWS = 5_000  # several chunks of rows, and a tail


def bits(array):
    return np.ascontiguousarray(np.asarray(array, dtype=np.float64)).view(np.uint64)


def model():
    """A function of a per-row scalar x, a per-row 2-lane v and a 3-lane parameter p."""
    x = zk.Undefined(name="x")
    v = zk.Undefined(dim=2, name="v")
    p = zk.Undefined(dim=3, name="p")
    y = p.x + v.x * zk.sin(p.y * x) + zk.exp(-p.z * v.y * v.y)
    return (x, v, p), [y, zk.vec2(y * x, v.y / (1.0 + p.x * p.x))]


def rows_of(seed=1):
    rng = np.random.default_rng(seed)
    return rng.uniform(-1.0, 1.0, ROWS), rng.uniform(-1.0, 1.0, (ROWS, 2))


# Every form of one value for every row, for a 1-lane and a 3-lane input.
SCALAR_FORMS = [0.75, np.float64(0.75), np.array(0.75), 1]
VECTOR_FORMS = [[0.5, -1.25, 0.75], (0.5, -1.25, 0.75), np.array([0.5, -1.25, 0.75]), np.array([[0.5, -1.25, 0.75]])]


@pytest.mark.parametrize("form", range(4))
def test_a_value_given_once_gives_the_bits_of_it_tiled(form):
    (x, v, p), outputs = model()
    f = zk.function([x, v, p], outputs)
    scalar = zk.function([x, v, p], outputs[0])
    xs, vs = rows_of()
    once, tiled = VECTOR_FORMS[form], np.tile(np.asarray(VECTOR_FORMS[form], dtype=float).reshape(1, 3), (ROWS, 1))
    x_once, x_tiled = SCALAR_FORMS[form], np.full(ROWS, float(SCALAR_FORMS[form]))
    for given, expanded in [((xs, vs, once), (xs, vs, tiled)), ((x_once, vs, once), (x_tiled, vs, tiled))]:
        for a, b in zip(f.batch(*given), f.batch(*expanded)):
            assert np.array_equal(bits(a), bits(b))
        assert np.array_equal(bits(f.batch_jacobian(*given)), bits(f.batch_jacobian(*expanded)))
        value, gradients = scalar.batch_value_and_grad(*given, wrt=[1])
        tiled_value, tiled_gradients = scalar.batch_value_and_grad(*expanded, wrt=[1])
        assert value == tiled_value and np.array_equal(bits(gradients[0]), bits(tiled_gradients[0]))
    # With no input of rows, rows= says how many; (1, lanes) alone is one row, as NumPy broadcasts.
    assert np.array_equal(
        bits(f.batch(x_once, vs[0], once, rows=7)[0]),
        bits(f.batch(np.full(7, x_tiled[0]), np.tile(vs[0], (7, 1)), tiled[:7])[0]),
    )
    assert f.batch([[0.5]], [[1.0, 2.0]], [[0.5, -1.25, 0.75]])[1].shape == (1, 2)


def test_the_lanes_of_a_one_lane_input_are_a_value_given_once_as_a_vector_inputs_are():
    # (1,) is a one-lane input's (lanes,), and broadcasts against any number of rows, as in NumPy.
    (x, v, p), outputs = model()
    f = zk.function([x, v, p], outputs)
    scalar = zk.function([x, v, p], outputs[0])
    xs, vs = rows_of()
    at = [0.5, -1.25, 0.75]
    for once in (np.array([0.75]), [0.75]):
        for a, b in zip(f.batch(once, vs, at), f.batch(np.full(ROWS, 0.75), vs, at)):
            assert np.array_equal(bits(a), bits(b))
        assert np.array_equal(bits(f.batch_jacobian(once, vs, at)), bits(f.batch_jacobian(np.full(ROWS, 0.75), vs, at)))
        value, (dx,) = scalar.batch_value_and_grad(once, vs, at, wrt=[x])
        tiled_value, (tiled_dx,) = scalar.batch_value_and_grad(np.full(ROWS, 0.75), vs, at, wrt=[x])
        assert value == tiled_value and dx.shape == (1,)
        assert math.isclose(dx[0], math.fsum(tiled_dx), rel_tol=1e-12)
        assert f.batch(once, vs[0], at, rows=3)[1].shape == (3, 2)
        assert f.batch(once, vs[0], at)[1].shape == (1, 2)  # alone, one row


def test_wrt_gives_the_columns_of_the_inputs_named_in_their_order():
    (x, v, p), outputs = model()
    f = zk.function([x, v, p], outputs)
    xs, vs = rows_of()
    at = (0.3, [0.1, -0.4], [0.5, 1.5, 2.0])
    full = f.batch_jacobian(xs, vs, at[2])
    columns = {0: [0], 1: [1, 2], 2: [3, 4, 5]}
    for wrt in ([2], [p], [1, 0], [p, x, v], (v,), [np.int64(2)], [x]):
        positions = [[x, v, p].index(item) if isinstance(item, zk.Expression) else int(item) for item in wrt]
        chosen = [c for k in positions for c in columns[k]]
        jacobian = f.batch_jacobian(xs, vs, at[2], wrt=wrt)
        if len(chosen) >= f.output_lanes:
            # Reverse sweeps, one per output lane: the bits of the full Jacobian's.
            assert np.array_equal(bits(jacobian), bits(full[:, :, chosen]))
        else:
            # Forward sweeps, one per column: the same numbers to rounding (of terms of order 1), and the
            # same zeros.
            assert np.array_equal(jacobian == 0.0, full[:, :, chosen] == 0.0)
            np.testing.assert_allclose(jacobian, full[:, :, chosen], rtol=1e-13, atol=1e-15)
        assert np.array_equal(bits(f.jacobian(*at, wrt=wrt)), bits(f.jacobian(*at)[:, chosen]))
    assert f.batch_jacobian(xs, vs, at[2], wrt=[]).shape == (ROWS, 3, 0)
    # One input Expression names that input alone.
    assert np.array_equal(bits(f.batch_jacobian(xs, vs, at[2], wrt=v)), bits(f.batch_jacobian(xs, vs, at[2], wrt=[v])))


def test_the_fit_gradient_is_the_sum_of_the_jacobian_rows():
    x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
    a, b = zk.Undefined(name="a"), zk.Undefined(dim=2, name="b")
    residual = a + b.x * x + zk.sin(b.y * x) - y
    loss = zk.function([x, y, a, b], residual * residual)
    xs = np.linspace(-2.0, 2.0, ROWS)
    ys = np.cos(xs)
    value, (da, db, dx) = loss.batch_value_and_grad(xs, ys, 0.25, [0.5, 1.5], wrt=[a, b, x])
    jacobians = loss.batch_jacobian(xs, ys, 0.25, [0.5, 1.5])
    assert da.shape == (1,) and db.shape == (2,) and dx.shape == (ROWS,)
    assert value == pytest.approx(math.fsum(loss.batch(xs, ys, 0.25, [0.5, 1.5])), rel=1e-13)
    assert da == pytest.approx([math.fsum(jacobians[:, 0, 2])], rel=1e-12)
    assert db == pytest.approx([math.fsum(jacobians[:, 0, 3]), math.fsum(jacobians[:, 0, 4])], rel=1e-12)
    # A row input's gradient is each row's, bit for bit its Jacobian column.
    assert np.array_equal(bits(dx), bits(jacobians[:, 0, 0]))
    # Every input by default, in order.
    _, everything = loss.batch_value_and_grad(xs, ys, 0.25, [0.5, 1.5])
    assert [g.shape for g in everything] == [(ROWS,), (ROWS,), (1,), (2,)]
    with pytest.raises(ValueError, match="^batch_value_and_grad needs a function of one scalar output$"):
        zk.function([x, b], b * x).batch_value_and_grad(xs, [1.0, 2.0])


def test_every_thread_count_gives_the_same_bits():
    (x, v, p), outputs = model()
    f = zk.function([x, v, p], outputs)
    scalar = zk.function([x, v, p], outputs[0])
    xs, vs = rows_of()
    xs, vs = np.tile(xs, 20), np.tile(vs, (20, 1))  # 100,000 rows: work for every thread
    at = [0.5, 1.5, 2.0]
    reference = None
    for threads in (1, 2, 3, 8, None):
        for approximate in (False, True):
            batch = f.batch(xs, vs, at, threads=threads, approximate=approximate)
            jacobian = f.batch_jacobian(xs, vs, at, threads=threads, approximate=approximate, wrt=[p, x])
            # Fewer columns than output lanes: forward sweeps.
            columns = f.batch_jacobian(xs, vs, at, threads=threads, approximate=approximate, wrt=[x])
            value, gradients = scalar.batch_value_and_grad(xs, vs, at, threads=threads, approximate=approximate)
            result = [bits(batch[0]), bits(batch[1]), bits(jacobian), bits(columns), bits(value), *map(bits, gradients)]
            if reference is None:
                reference = {}
            if approximate not in reference:
                reference[approximate] = result
            assert all(np.array_equal(a, b) for a, b in zip(result, reference[approximate])), (threads, approximate)


# Each transcendental function over a wide range of its domain.
DOMAINS = [
    ("sin", zk.sin, -1e5, 1e5),
    ("cos", zk.cos, -1e5, 1e5),
    ("tan", zk.tan, -1e3, 1e3),
    ("asin", zk.asin, -1.0, 1.0),
    ("acos", zk.acos, -1.0, 1.0),
    ("atan", zk.atan, -1e8, 1e8),
    ("exp", zk.exp, -700.0, 700.0),
    ("expm1", zk.expm1, -700.0, 700.0),
    ("log", zk.log, 1e-300, 1e300),
    ("log1p", zk.log1p, -0.999, 1e300),
    ("sinh", zk.sinh, -700.0, 700.0),
    ("cosh", zk.cosh, -700.0, 700.0),
    ("tanh", zk.tanh, -20.0, 20.0),
    ("pow", lambda t: zk.pow(t, 2.5), 1e-100, 1e100),
    ("atan2", lambda t: zk.atan2(t, 0.5), -1e10, 1e10),
]


@pytest.mark.parametrize("name, function, low, high", DOMAINS, ids=[case[0] for case in DOMAINS])
def test_the_approximate_mode_stays_within_two_ulp_of_the_exact_one(name, function, low, high):
    t = zk.Undefined(name="t")
    f = zk.function(t, function(t))
    rng = np.random.default_rng(7)
    if low > 0 and high / low > 1e6:
        ts = np.exp(rng.uniform(math.log(low), math.log(high), 50_001))
    else:
        ts = rng.uniform(low, high, 50_001)
    exact = f.batch(ts)
    approximate = f.batch(ts, approximate=True)
    distance = np.abs(exact.view(np.int64) - approximate.view(np.int64))
    assert np.all(np.sign(exact) == np.sign(approximate))
    assert distance.max() <= 2, f"{name}: {distance.max()} ULP at {ts[distance.argmax()]}"
    if name in DIFFERING:
        # The vectorised functions really ran: they round some rows otherwise than the C library.
        assert np.count_nonzero(distance) > 10, name


# Up to where each function's exact value overflows: the last stretch before the largest double.
OVERFLOW_EDGES = [
    ("exp", zk.exp, 709.0, 709.782712893384),
    ("expm1", zk.expm1, 709.0, 709.782712893384),
    ("sinh", zk.sinh, 709.0, 710.4758600739439),
    ("sinh below", zk.sinh, -710.4758600739439, -709.0),
    ("cosh", zk.cosh, 709.0, 710.4758600739439),
    ("cosh below", zk.cosh, -710.4758600739439, -709.0),
    ("pow", lambda t: zk.pow(2.0, t), 1023.0, 1023.9999999999999),
]


@pytest.mark.parametrize("name, function, low, high", OVERFLOW_EDGES, ids=[case[0] for case in OVERFLOW_EDGES])
def test_the_approximate_mode_is_finite_wherever_the_exact_one_is(name, function, low, high):
    t = zk.Undefined(name="t")
    ts = np.append(np.random.default_rng(13).uniform(low, high, 20_001), [low, high])
    for f in (zk.function(t, function(t)), zk.function(t, function(t) * 0.5)):
        exact = f.batch(ts)
        approximate = f.batch(ts, approximate=True)
        assert np.abs(exact.view(np.int64) - approximate.view(np.int64)).max() <= 2, name
        # The derivatives (cosh's is sinh, and so on) are past the largest double only where the exact ones are.
        exact_slopes = f.batch_jacobian(ts)[:, 0, 0]
        approximate_slopes = f.batch_jacobian(ts, approximate=True)[:, 0, 0]
        assert np.array_equal(np.isfinite(exact_slopes), np.isfinite(approximate_slopes)), name


# Functions whose vectorised form rounds otherwise than the C library in some of 50,001 rows.
DIFFERING = {"sin", "cos", "tan", "exp", "expm1", "sinh", "cosh", "tanh", "pow"}

# Derivatives that call a transcendental function (sin's cos, cosh's sinh, expm1's and tanh's exp,
# pow's power and logarithm) or are the result itself (exp's), by reverse sweeps (one column) and forward ones (two
# outputs): within a few ULP of the exact ones, and not the same bits in every row.
DERIVATIVES = [
    ("sin", zk.sin, -1e5, 1e5),
    ("cos", zk.cos, -1e5, 1e5),
    ("exp", zk.exp, -700.0, 700.0),
    ("sinh", zk.sinh, -700.0, 700.0),
    ("cosh", zk.cosh, -700.0, 700.0),
    ("expm1", zk.expm1, -700.0, 700.0),
    ("tanh", zk.tanh, -20.0, 20.0),
    ("pow", lambda t: zk.pow(t, 2.5), 1e-3, 1e3),
]


@pytest.mark.parametrize("name, function, low, high", DERIVATIVES, ids=[case[0] for case in DERIVATIVES])
def test_approximate_derivatives_stay_within_a_few_ulp_of_the_exact_ones(name, function, low, high):
    t = zk.Undefined(name="t")
    ts = np.random.default_rng(11).uniform(low, high, 50_001)
    for outputs in ([function(t)], [function(t), function(t) * 2.0]):
        f = zk.function(t, outputs)
        exact = f.batch_jacobian(ts)[:, 0, 0]
        approximate = f.batch_jacobian(ts, approximate=True)[:, 0, 0]
        distance = np.abs(exact.view(np.int64) - approximate.view(np.int64))
        assert np.all(np.sign(exact) == np.sign(approximate))
        # pow's derivative b a^(b-1) multiplies one more rounding in.
        assert distance.max() <= 3, f"{name}: {distance.max()} ULP at {ts[distance.argmax()]}"
        assert np.count_nonzero(distance) > 10, name


def test_the_approximate_mode_leaves_the_other_operations_exact():
    x, y = zk.Undefined(name="x"), zk.Undefined(dim=2, name="y")
    q = zk.Undefined(name="q")
    out = zk.sqrt(zk.abs(x * y.x - y.y / (1.0 + x * x))) + zk.maximum(x, y.y) * zk.minimum(q, y.x) - q
    f = zk.function([x, y, q], [out, zk.vec2(out * x, y.y - q)])
    scalar = zk.function([x, y, q], out)
    rng = np.random.default_rng(5)
    xs, ys = rng.uniform(-3.0, 3.0, ROWS), rng.uniform(-3.0, 3.0, (ROWS, 2))
    for call in (
        f.batch,
        f.batch_jacobian,
        lambda *a, **k: f.batch_jacobian(*a, wrt=[q], **k),
        lambda *a, **k: scalar.batch_value_and_grad(*a, **k)[1],
    ):
        exact, approximate = call(xs, ys, 0.5), call(xs, ys, 0.5, approximate=True)
        for a, b in zip(
            exact if isinstance(exact, (list, tuple)) else [exact],
            approximate if isinstance(approximate, (list, tuple)) else [approximate],
        ):
            assert np.array_equal(bits(a), bits(b))


def sine_chain(links):
    """y after `links` links of 5 lanes each: blocks of about 65536 / (5 links) rows."""
    x = zk.Undefined(name="x")
    y = x
    for _ in range(links):
        y = zk.sin(y) * 2.0 - y * 0.25 + 0.5
    return x, y


@pytest.mark.parametrize("links, exact_bits", [(300, False), (1_200, True)])
def test_graphs_too_large_for_blocks_of_vectors_compute_exactly(links, exact_bits):
    # Over blocks of a few rows the vectorised functions are slower than the C library's, so
    # there the approximate mode computes exactly: in values, reverse sweeps (one output) and
    # forward sweeps (two outputs of one input).
    x, y = sine_chain(links)
    one, two = zk.function(x, y), zk.function(x, [y, y * 2.0])
    xs = np.random.default_rng(17).uniform(-3.0, 3.0, 300)
    for call in (one.batch, one.batch_jacobian, two.batch_jacobian):
        same = np.array_equal(bits(call(xs)), bits(call(xs, approximate=True)))
        assert same == exact_bits, call


def test_build_info_names_the_kernels_that_approximate_batches_run():
    info = zk.build_info()
    assert info["version"] == zk.__version__
    kernels = info["approximate_kernels"]
    t = zk.Undefined(name="t")
    f = zk.function(t, zk.sin(t))
    ts = np.random.default_rng(3).uniform(-1e5, 1e5, 10_001)
    differs = not np.array_equal(bits(f.batch(ts)), bits(f.batch(ts, approximate=True)))
    # None exactly when approximate batches are the exact arithmetic.
    assert differs == (kernels is not None)
    if kernels is not None:
        flags = set()
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    break
        widest = "avx512f" if "avx512f" in flags else "avx2" if {"avx2", "fma"} <= flags else "sse2"
        assert kernels == widest


def test_what_a_batch_refuses():
    (x, v, p), outputs = model()
    f = zk.function([x, v, p], outputs)
    xs, vs = rows_of()
    at = [0.5, 1.5, 2.0]
    cases = [
        (
            lambda: f.batch(xs, vs[:10], at),
            ValueError,
            "input arrays 0 and 1 have different numbers of rows (5000 and 10)",
        ),
        (lambda: f.batch(xs, vs, at, rows=4), ValueError, "input array 0 has 5000 rows, not rows=4"),
        (
            lambda: f.batch(0.5, [1.0, 2.0], at),
            ValueError,
            "a batch needs rows: an input array of rows, or rows= the number of rows",
        ),
        (
            lambda: f.batch(xs, vs, [1.0, 2.0]),
            ValueError,
            "input array 2 must have the shape (rows, 3), or (3,) or (1, 3) for one value for every row",
        ),
        (
            lambda: f.batch(xs, vs, 1.0),
            ValueError,
            "input array 2 must have the shape (rows, 3), or (3,) or (1, 3) for one value for every row",
        ),
        (
            lambda: f.batch(xs.reshape(-1, 2), vs, at),
            ValueError,
            "input array 0 must have the shape (rows,) or (rows, 1), or be one number for every row",
        ),
        (lambda: f.batch(xs, vs, at, rows=-1), ValueError, "rows must be at least 0, not -1"),
        (lambda: f.batch(xs, vs, at, rows=2.0), TypeError, "rows must be an integer or None"),
        (lambda: f.batch(xs, vs, at, threads=0), ValueError, "threads must be at least 1, not 0"),
        (lambda: f.batch(xs, vs, at, threads="2"), TypeError, "threads must be an integer or None"),
        (lambda: f.batch(xs, vs, at, approximate=1), TypeError, "approximate must be True or False"),
        (lambda: f.batch_jacobian(xs, vs, at, wrt=[3]), ValueError, "wrt names input 3 of a function of 3 inputs"),
        (lambda: f.batch_jacobian(xs, vs, at, wrt=[1, v]), ValueError, "wrt names input 1 twice"),
        (
            lambda: f.batch_jacobian(xs, vs, at, wrt=2),
            TypeError,
            "wrt must be None, an input Expression or a sequence of input positions or input Expressions",
        ),
        (
            lambda: f.jacobian(0.5, [1.0, 2.0], at, wrt=["p"]),
            TypeError,
            "wrt must be None, an input Expression or a sequence of input positions or input Expressions",
        ),
        (lambda: f.batch(xs, vs, [1.0, math.inf, 1.0]), ValueError, "symbolic value lanes must be finite (row 0)"),
    ]
    for call, error, text in cases:
        with pytest.raises(error) as raised:
            call()
        assert type(raised.value) is error and str(raised.value) == text
    stranger = zk.Undefined(name="stranger")
    with pytest.raises(ValueError, match="which is not an input of the function$"):
        f.batch_jacobian(xs, vs, at, wrt=[stranger])


def test_a_failing_row_is_named_whatever_the_thread_count():
    x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
    log = zk.log(x)
    f = zk.function([x, y], log * y)
    xs = np.linspace(1.0, 2.0, 100_000)
    xs[61_234] = -1.0
    xs[90_000] = 0.0
    for threads in (1, 2, 4):
        for call in (f.batch, f.batch_jacobian, f.batch_value_and_grad):
            with pytest.raises(ValueError) as raised:
                call(xs, 2.0, threads=threads)
            assert (
                str(raised.value) == f"symbolic value lanes must be finite (row 61234): Log gave nan at node #{log.id}"
            )


def test_the_summed_gradient_of_many_rows_takes_memory_bounded_by_the_threads_not_the_rows():
    # Ten billion rows of values given once: the batch stops at its first row (the value is NaN), after
    # setting up whatever it keeps per block of rows. Peak memory is measured in a process of its own.
    program = (
        "import resource, zarnik as zk\n"
        "x, v = zk.Undefined(name='x'), zk.Undefined(dim=4, name='v')\n"
        "f = zk.function([x, v], x * v.x + v.y * v.z - v.w)\n"
        "f.batch_value_and_grad(0.5, [1.0, 2.0, 3.0, 4.0], rows=1_000, threads=2)\n"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "try:\n"
        "    f.batch_value_and_grad(float('nan'), [1.0, 2.0, 3.0, 4.0], rows=10**10, threads=2)\n"
        "except ValueError as error:\n"
        "    print(error)\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)\n"
    )
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    message, growth = done.stdout.splitlines()
    assert message == "symbolic value lanes must be finite (row 0)"
    assert int(growth) < 16 * 1024, f"peak memory grew by {int(growth) / 1024:.0f} MiB"  # KiB


@pytest.mark.parametrize("rows", [2048 * 1024 - 1, 2048 * 1024, 2048 * 1024 + 1, 2 * 2048 * 1024 + 2049])
def test_the_summed_gradient_counts_every_row_past_a_window_of_chunks(rows):
    # The sums are kept a window of 1024 chunks of 2048 rows at a time: counts of rows around a
    # window's end, all of them values given once, so every row adds the same exact numbers.
    x, w = zk.Undefined(name="x"), zk.Undefined(name="w")
    f = zk.function([x, w], x * w + 1.0)
    value, (dx, dw) = f.batch_value_and_grad(2.0, 0.5, rows=rows)
    assert (value, dx.tolist(), dw.tolist()) == (2.0 * rows, [0.5 * rows], [2.0 * rows])


def test_approximate_derivatives_add_every_use_of_an_input():
    # x used several times, also through a vector: an adjoint written instead of added loses terms.
    x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
    v = zk.vec2(x, y)
    f = zk.function([x, y], zk.sin(x) * zk.cos(x) + x * x + zk.exp(y * x) + zk.dot(v, v))
    g = zk.function([x, y], [zk.sin(x) * zk.cos(x) + x * x, zk.exp(y * x) * y, zk.sin(x * y) + x])
    rng = np.random.default_rng(5)
    xs, ys = rng.uniform(-2.0, 2.0, ROWS), rng.uniform(-1.0, 1.0, ROWS)
    # One output: reverse sweeps; three outputs of two input lanes: forward sweeps.
    for h in (f, g):
        np.testing.assert_allclose(
            h.batch_jacobian(xs, ys, approximate=True), h.batch_jacobian(xs, ys), rtol=1e-13, atol=1e-13
        )
    exact_value, exact_grads = f.batch_value_and_grad(xs, ys)
    value, grads = f.batch_value_and_grad(xs, ys, approximate=True)
    assert value == pytest.approx(exact_value, rel=1e-13)
    for approximate, exact in zip(grads, exact_grads, strict=True):
        np.testing.assert_allclose(approximate, exact, rtol=1e-13, atol=1e-13)
    # Given once, the same input's adjoints are summed over rows too.
    value, grads = f.batch_value_and_grad(0.7, ys, approximate=True)
    exact_value, exact_grads = f.batch_value_and_grad(0.7, ys)
    np.testing.assert_allclose(grads[0], exact_grads[0], rtol=1e-12)


# The approximate mode against the true values (mpmath at 256 bits): SLEEF's functions within 1 ULP
# (measured at most 0.8), sinh and cosh past |x| = 709 the C library's (measured 1.7): a fixed-seed
# sample over each function's range and its hard points.
def _log_span(low, high, signed):
    def draw(rng, count):
        magnitudes = np.exp(rng.uniform(math.log(low), math.log(high), count))
        return magnitudes * (rng.choice([-1.0, 1.0], count) if signed else 1.0)

    return draw


def _uniform(low, high):
    return lambda rng, count: rng.uniform(low, high, count)


_LARGEST = np.finfo(np.float64).max
TRUE_VALUE_CASES = [
    ("sin", zk.sin, "sin", _log_span(1e-300, _LARGEST, True), [5.3e255, 1e22, 3.0e-8]),
    ("cos", zk.cos, "cos", _log_span(1e-300, _LARGEST, True), [5.3e255, 1e22, 2.37e-8]),
    ("tan", zk.tan, "tan", _log_span(1e-300, _LARGEST, True), [5.3e255, 1e22, 1.5707963267948966]),
    ("asin", zk.asin, "asin", _uniform(-1.0, 1.0), [1.0, -1.0, 0.5]),
    ("acos", zk.acos, "acos", _uniform(-1.0, 1.0), [1.0, -1.0, 0.5]),
    ("atan", zk.atan, "atan", _log_span(1e-300, _LARGEST, True), [1.0, 1e300]),
    ("exp", zk.exp, "exp", _uniform(-745.0, 709.78), [709.78, -745.0, -708.5]),
    ("expm1", zk.expm1, "expm1", _uniform(-745.0, 709.78), [709.78, 1e-10, -1e-300]),
    ("log", zk.log, "log", _log_span(5e-324, _LARGEST, False), [5e-324, 1.0000001, _LARGEST]),
    ("log1p", zk.log1p, "log1p", _log_span(1e-300, _LARGEST, False), [-0.999999, 1e-300, _LARGEST]),
    ("sinh", zk.sinh, "sinh", _uniform(-710.47, 710.47), [709.5, 710.4, -710.4, 1e-300]),
    ("cosh", zk.cosh, "cosh", _uniform(-710.47, 710.47), [709.5, 710.4, -710.4]),
    ("tanh", zk.tanh, "tanh", _uniform(-25.0, 25.0), [1e-300, 19.0, -0.385]),
]


def _ulp_error(values, truths):
    import mpmath

    return np.array(
        [
            float(abs(mpmath.mpf(float(v)) - t) / math.ulp(float(t)))
            if float(t) != 0.0
            else (0.0 if v == 0.0 else math.inf)
            for v, t in zip(values, truths)
        ]
    )


@pytest.mark.parametrize(
    "name, function, true_name, draw, hard", TRUE_VALUE_CASES, ids=[case[0] for case in TRUE_VALUE_CASES]
)
def test_the_approximate_mode_keeps_the_stated_bounds_against_the_true_values(name, function, true_name, draw, hard):
    mpmath = pytest.importorskip("mpmath")
    mpmath.mp.prec = 256
    t = zk.Undefined(name="t")
    f = zk.function(t, function(t))
    xs = np.concatenate([draw(np.random.default_rng(29), 400), hard])
    truths = [getattr(mpmath, true_name)(mpmath.mpf(float(x))) for x in xs]
    approximate = f.batch(xs, approximate=True)
    error = _ulp_error(approximate, truths)
    # Past |x| = 709 sinh and cosh are the C library's.
    bound = np.where(np.abs(xs) > 709.0, 2.0, 1.0) if name in ("sinh", "cosh") else 1.0
    assert np.all(error <= bound), f"{name}: {error.max()} ULP at {xs[error.argmax()]}"
    # Against the exact mode: the sum of both errors, never more than 2 ULP at these points.
    exact = f.batch(xs)
    assert np.abs(exact.view(np.int64) - approximate.view(np.int64)).max() <= 2, name
