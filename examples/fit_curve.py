"""Fit an ellipse to sampled points with gradient descent.

The model is the parametric curve

    point(t) = center + radii * (cos(t + phase), sin(t + phase))

with a 2-lane parameter `center`, a 2-lane parameter `radii` and a scalar
`phase`. The loss, the mean squared distance between the model's points and
the samples, is built once as a graph; each step of gradient descent then only
evaluates it, runs backward, reads the gradients, moves the parameters with
set_value and clears the gradients with zero_grad.
"""

import math
import sys

import _zarnik as zk

TRUE_CENTER = (1.0, -0.5)
TRUE_RADII = (2.0, 0.75)
TRUE_PHASE = 0.4
SAMPLES = 48
STEPS = 200
LEARNING_RATE = 0.1


def sample_points():
    """Points on the true ellipse, with a little deterministic jitter."""
    points = []
    for i in range(SAMPLES):
        t = 2 * math.pi * i / SAMPLES
        jitter = 0.01 * math.sin(7.3 * i)
        points.append((TRUE_CENTER[0] + TRUE_RADII[0] * math.cos(t + TRUE_PHASE) + jitter,
                       TRUE_CENTER[1] + TRUE_RADII[1] * math.sin(t + TRUE_PHASE) - jitter))
    return points


def build_loss(center, radii, phase, points):
    loss = zk.Constant(0.0)
    for i, target in enumerate(points):
        angle = phase + 2 * math.pi * i / SAMPLES
        predicted = center + radii * zk.vec2(zk.cos(angle), zk.sin(angle))
        error = predicted - target          # a tuple operand becomes a 2-lane constant
        loss = loss + error.x * error.x + error.y * error.y
    return loss / len(points)


def main():
    center = zk.Parameter(0.0, 0.0, name="center")
    radii = zk.Parameter(1.0, 1.0, name="radii")
    phase = zk.Parameter(0.0, name="phase")
    loss = build_loss(center, radii, phase, sample_points())
    print(f"loss graph built: {loss!r}")

    for step in range(STEPS + 1):
        loss.backward()
        if step % 25 == 0:
            print(f"step {step:4d}  loss {loss.eval()[0]:.6f}")
        for parameter in (center, radii, phase):
            parameter.set_value([v - LEARNING_RATE * g for v, g in zip(parameter.value, parameter.grad)])
        loss.zero_grad()

    final = loss.eval()[0]
    print("fitted center", tuple(round(v, 3) for v in center.value), "true", TRUE_CENTER)
    print("fitted radii ", tuple(round(v, 3) for v in radii.value), "true", TRUE_RADII)
    print("fitted phase ", round(phase.value[0], 3), "true", TRUE_PHASE)
    converged = final < 1e-3 and all(abs(v - t) < 0.02 for v, t in zip(center.value + radii.value + phase.value,
                                                                       TRUE_CENTER + TRUE_RADII + (TRUE_PHASE,)))
    print(f"final loss {final:.2e}: {'converged' if converged else 'did NOT converge'}")
    return 0 if converged else 1


if __name__ == "__main__":
    sys.exit(main())
