"""where and comparisons against the same models written with minimum and maximum.

    python where_rows.py [ROWS]

Two piecewise models over ROWS rows (default 1,000,000) of one input x, with
parameters given once:

  clamp   where(x < lo, lo, where(x > hi, hi, x)) * a     against  minimum(maximum(x, lo), hi) * a
  hinge   where(x > 0, x * a, x * b)                      against  maximum(x * a, x * b)   (a > b > 0)

and a guarded one, whose branch not taken is not finite on half the rows:

  safe log  where(x > 0, log(x), 0) * a                 against  log(maximum(x, 1e-300)) * a on x > 0

Each pair must give the same values before its times count. Prints the
median time per row of batch and of batch_value_and_grad (the gradient in
the parameters), and their ratio, where against minimum/maximum.
"""

import statistics
import sys
import time

import numpy as np

import zarnik as zk

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
REPEATS = 9


def models():
    x = zk.Undefined(name="x")
    lo, hi, a, b = (zk.Undefined(name=n) for n in ("lo", "hi", "a", "b"))
    inputs = [x, lo, hi, a, b]
    clamp_where = zk.where(zk.less(x, lo), lo, zk.where(zk.greater(x, hi), hi, x)) * a + 0.0 * b
    clamp_minmax = zk.minimum(zk.maximum(x, lo), hi) * a + 0.0 * b
    hinge_where = zk.where(zk.greater(x, 0.0), x * a, x * b) + 0.0 * (lo + hi)
    hinge_minmax = zk.maximum(x * a, x * b) + 0.0 * (lo + hi)
    log_where = zk.where(zk.greater(x, 0.0), zk.log(x), 0.0) * a + 0.0 * (lo + hi + b)
    log_max = zk.log(zk.maximum(x, 1e-300)) * a + 0.0 * (lo + hi + b)
    return inputs, {
        "clamp": (clamp_where, clamp_minmax),
        "hinge": (hinge_where, hinge_minmax),
        "safe log": (log_where, log_max),
    }


def timed(call):
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times) / ROWS * 1e9


def main():
    rng = np.random.default_rng(7)
    x = rng.uniform(-2.0, 2.0, ROWS)
    given = [-1.0, 1.0, 1.5, 0.25]
    inputs, pairs = models()
    print(f"{ROWS} rows, ns per row (median of {REPEATS})")
    print(f"{'model':10} {'mode':22} {'where':>8} {'min/max':>8} {'ratio':>6}")
    for name, (with_where, with_minmax) in pairs.items():
        f = zk.function(inputs, with_where)
        g = zk.function(inputs, with_minmax)
        rows = x if name != "safe log" else np.abs(x) + 0.5  # where both are defined
        expected = g.batch(rows, *given)
        np.testing.assert_allclose(f.batch(rows, *given), expected, rtol=1e-15)
        if name == "safe log":
            rows = x  # half of them take the branch whose log is not finite
        wrt = [1, 2, 3, 4]
        for mode, call_f, call_g in (
            ("batch", lambda: f.batch(rows, *given), lambda: g.batch(rows, *given)),
            (
                "batch_value_and_grad",
                lambda: f.batch_value_and_grad(rows, *given, wrt=wrt),
                lambda: g.batch_value_and_grad(rows, *given, wrt=wrt),
            ),
        ):
            if name == "safe log":
                call_g = {"batch": lambda: g.batch(np.abs(rows) + 0.5, *given)}.get(
                    mode, lambda: g.batch_value_and_grad(np.abs(rows) + 0.5, *given, wrt=wrt)
                )
            t_where, t_minmax = timed(call_f), timed(call_g)
            print(f"{name:10} {mode:22} {t_where:8.2f} {t_minmax:8.2f} {t_where / t_minmax:6.2f}")


if __name__ == "__main__":
    main()
