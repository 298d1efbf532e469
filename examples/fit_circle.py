"""Fit a circle to noisy points with Gauss-Newton steps through a compiled
Jacobian.

The unknowns are the centre (cx, cy) and the radius r, three placeholders. Each
of the points (x_i, y_i) gives one residual,

    residual_i = (cx - x_i)^2 + (cy - y_i)^2 - r^2,

zero when the point lies on the circle. The residuals are compiled once into a
function of the unknowns; each Gauss-Newton step then asks it for the
residuals and their Jacobian at the current guess, in one call each, and
solves the linear least-squares problem J delta = -residuals with NumPy.
"""

import math
import sys

import numpy as np

import zarnik as zk

TRUE_CENTER = (1.5, -0.5)
TRUE_RADIUS = 2.0
POINTS = 50


def noisy_points():
    """Points on the true circle, moved off it by a little deterministic noise."""
    points = []
    for i in range(POINTS):
        t = 2 * math.pi * i / POINTS
        noise = 0.02 * math.sin(12.9 * i)
        points.append(
            (TRUE_CENTER[0] + (TRUE_RADIUS + noise) * math.cos(t), TRUE_CENTER[1] + (TRUE_RADIUS + noise) * math.sin(t))
        )
    return points


def main():
    cx, cy, r = (zk.Undefined(hint=0.0, name=name) for name in ("cx", "cy", "r"))
    residuals = [(cx - x) * (cx - x) + (cy - y) * (cy - y) - r * r for x, y in noisy_points()]
    f = zk.function([cx, cy, r], residuals)
    print(f"compiled {f!r}")

    guess = np.array([0.0, 0.0, 1.0])
    for step in range(1, 30):
        values = np.array(f(*guess)).ravel()
        jacobian = f.jacobian(*guess)  # 50 x 3: each residual against each unknown
        delta = np.linalg.lstsq(jacobian, -values, rcond=None)[0]
        guess = guess + delta
        print(f"step {step:2d}  sum of squares {values @ values:.6e}  step length {np.linalg.norm(delta):.2e}")
        if np.linalg.norm(delta) < 1e-12:
            break

    centre, radius = guess[:2], abs(guess[2])
    print("fitted centre", tuple(round(float(v), 4) for v in centre), "true", TRUE_CENTER)
    print("fitted radius", round(float(radius), 4), "true", TRUE_RADIUS)
    converged = np.allclose(centre, TRUE_CENTER, atol=0.01) and abs(radius - TRUE_RADIUS) < 0.01
    print("converged" if converged else "did NOT converge")
    return 0 if converged else 1


if __name__ == "__main__":
    sys.exit(main())
