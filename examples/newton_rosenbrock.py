"""Minimise the extended Rosenbrock function of 12 unknowns with Newton's
method through a compiled Hessian, beside gradient descent.

    f(x) = sum over the pairs (x[2j], x[2j+1]) of
           100 (x[2j+1] - x[2j]^2)^2 + (1 - x[2j])^2

has its minimum 0 at x = (1, ..., 1), at the end of long curved valleys that
first-order methods crawl along. The unknowns are three 4-lane placeholders;
one compiled function gives the value and gradient (`value_and_grad`) and the
12 x 12 Hessian (`hessian`, compiled on its first call) at any point.

Both methods take the same backtracking line search (Armijo's condition) from
the classic start (-1.2, 1, -1.2, 1, ...). Newton's direction solves
H d = -g; where H is not positive definite, a multiple of the identity is
added until a Cholesky factorisation succeeds. Gradient descent steps along
-g. The iteration counts tell the difference.
"""

import sys

import numpy as np

import zarnik as zk

LANES = 12
START = np.tile([-1.2, 1.0], LANES // 2)


def rosenbrock(parts):
    x = [part[i] for part in parts for i in range(part.dim)]
    total = zk.Constant(0.0)
    for j in range(0, len(x), 2):
        bend = x[j + 1] - x[j] * x[j]
        slope = 1.0 - x[j]
        total = total + 100.0 * bend * bend + slope * slope
    return total


def split(x):
    """The 12 numbers as the three 4-lane inputs of the function."""
    return x[0:4], x[4:8], x[8:12]


def line_search(f, x, value, gradient, direction):
    """The longest step 1, 1/2, 1/4, ... along `direction` that lowers f enough."""
    slope = gradient @ direction
    step = 1.0
    while step > 1e-16:
        candidate = x + step * direction
        if f(*split(candidate))[0] <= value + 1e-4 * step * slope:
            return candidate
        step *= 0.5
    return x


def newton(f, x, tolerance=1e-10, limit=200):
    for iteration in range(1, limit + 1):
        value, gradient = f.value_and_grad(*split(x))
        if np.linalg.norm(gradient) < tolerance:
            return x, value, iteration - 1
        hessian = f.hessian(*split(x))
        shift = 0.0
        while True:
            try:
                factor = np.linalg.cholesky(hessian + shift * np.eye(LANES))
                break
            except np.linalg.LinAlgError:
                shift = max(2.0 * shift, 1e-3)
        direction = -np.linalg.solve(factor.T, np.linalg.solve(factor, gradient))
        x = line_search(f, x, value, gradient, direction)
    return x, f(*split(x))[0], limit


def gradient_descent(f, x, tolerance=1e-4, limit=100_000):
    for iteration in range(1, limit + 1):
        value, gradient = f.value_and_grad(*split(x))
        if np.linalg.norm(gradient) < tolerance:
            return x, value, iteration - 1
        x = line_search(f, x, value, gradient, -gradient)
    return x, f(*split(x))[0], limit


def main():
    parts = [zk.Undefined(dim=4, name=name) for name in ("p", "q", "r")]
    f = zk.function(parts, rosenbrock(parts))
    print(f"compiled {f!r}")

    x_newton, value_newton, steps_newton = newton(f, START.copy())
    print(f"Newton's method:  {steps_newton:6d} iterations to |gradient| < 1e-10, f = {value_newton:.3e}")
    x_descent, value_descent, steps_descent = gradient_descent(f, START.copy())
    print(f"gradient descent: {steps_descent:6d} iterations to |gradient| < 1e-4,  f = {value_descent:.3e}")

    hessian = f.hessian(*split(x_newton))
    print(
        "Hessian at the minimum: symmetric",
        bool(np.array_equal(hessian, hessian.T)),
        " smallest eigenvalue",
        f"{np.linalg.eigvalsh(hessian)[0]:.4f}",
    )
    converged = np.allclose(x_newton, 1.0, atol=1e-8) and steps_newton < steps_descent
    print("converged" if converged else "did NOT converge")
    return 0 if converged else 1


if __name__ == "__main__":
    sys.exit(main())
