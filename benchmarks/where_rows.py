"""where and comparisons against the same models written with minimum and maximum.

    python where_rows.py [ROWS]              times per row
    python where_rows.py count MODEL SIDE    one batch of 100,000 rows, to run under
                                             valgrind --tool=callgrind --toggle-collect='*evaluate_rows*'
                                             (SIDE: where or minmax), where the clock is too noisy

Two piecewise models over ROWS rows (default 1,000,000) of one input x, with
parameters given once:

  clamp   where(x < lo, lo, where(x > hi, hi, x)) * a     against  minimum(maximum(x, lo), hi) * a
  hinge   where(x > 0, x * a, x * b)                      against  maximum(x * a, x * b)   (a > b > 0)

and a guarded one, whose branch not taken is not finite on half the rows:

  safe_log  where(x > 0, log(x), 0) * a                 against  log(maximum(x, 1e-300)) * a on x > 0

Each pair must give the same values before its times count. Prints the
median time per row of batch and of batch_value_and_grad (the gradient in
the parameters), and their ratio, where against minimum/maximum.
"""

import statistics
import sys
import time

import numpy as np

import zarnik as zk

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 and sys.argv[1] != "count" else 1_000_000
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
        "safe_log": (log_where, log_max),
    }


def timed(call):
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times) / ROWS * 1e9


def per_row(f, mode, rows, given):
    """The median time of one batch call per row, in nanoseconds."""
    if mode == "batch":
        return timed(lambda: f.batch(rows, *given))
    return timed(lambda: f.batch_value_and_grad(rows, *given, wrt=[1, 2, 3, 4]))


def main():
    rng = np.random.default_rng(7)
    x = rng.uniform(-2.0, 2.0, ROWS)
    defined = np.abs(x) + 0.5  # where the log of both is defined
    given = [-1.0, 1.0, 1.5, 0.25]
    inputs, pairs = models()
    print(f"{ROWS} rows, ns per row (median of {REPEATS})")
    print(f"{'model':10} {'mode':22} {'where':>8} {'min/max':>8} {'ratio':>6}")
    for name, (with_where, with_minmax) in pairs.items():
        f = zk.function(inputs, with_where)
        g = zk.function(inputs, with_minmax)
        rows = defined if name == "safe_log" else x
        np.testing.assert_allclose(f.batch(rows, *given), g.batch(rows, *given), rtol=1e-15)
        # The safe log's where runs over rows half of which take the branch
        # whose log is not finite; its counterpart cannot, and runs over rows
        # where it is defined.
        where_rows = x
        for mode in ("batch", "batch_value_and_grad"):
            t_where, t_minmax = per_row(f, mode, where_rows, given), per_row(g, mode, rows, given)
            print(f"{name:10} {mode:22} {t_where:8.2f} {t_minmax:8.2f} {t_where / t_minmax:6.2f}")


def count(model, side):
    """One batch of one side of a model, for an instruction count."""
    inputs, pairs = models()
    f = zk.function(inputs, pairs[model][0 if side == "where" else 1])
    x = np.random.default_rng(7).uniform(-2.0, 2.0, 100_000)
    f.batch(x if side == "where" or model != "safe_log" else np.abs(x) + 0.5, -1.0, 1.0, 1.5, 0.25, threads=1)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "count":
        count(sys.argv[2], sys.argv[3])
    else:
        main()
