"""Fit an ellipse to sampled points with gradient descent.

The model is the parametric curve

    point(t) = center + radii * (cos(t + phase), sin(t + phase))

with a 2-lane parameter `center`, a 2-lane parameter `radii` and a scalar
`phase`. The loss, the mean squared distance between the model's points and
the samples, is built once as a graph; each step of gradient descent then only
evaluates it, runs backward, reads the gradients, moves the parameters with
set_value and clears the gradients with zero_grad.

    python fit_curve.py [--plot PATH]

With --plot, it also saves a picture of the fitted curve over the samples and
of the loss against the step (it needs matplotlib).
"""

import argparse
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
        points.append(
            (
                TRUE_CENTER[0] + TRUE_RADII[0] * math.cos(t + TRUE_PHASE) + jitter,
                TRUE_CENTER[1] + TRUE_RADII[1] * math.sin(t + TRUE_PHASE) - jitter,
            )
        )
    return points


def build_loss(center, radii, phase, points):
    loss = zk.Constant(0.0)
    for i, target in enumerate(points):
        angle = phase + 2 * math.pi * i / SAMPLES
        predicted = center + radii * zk.vec2(zk.cos(angle), zk.sin(angle))
        error = predicted - target  # a tuple operand becomes a 2-lane constant
        loss = loss + error.x * error.x + error.y * error.y
    return loss / len(points)


def plot(path, points, center, radii, phase, losses):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (curve, history) = plt.subplots(1, 2, figsize=(11, 4.5))
    angles = [2 * math.pi * i / 200 for i in range(201)]
    curve.plot(
        [center[0] + radii[0] * math.cos(t + phase) for t in angles],
        [center[1] + radii[1] * math.sin(t + phase) for t in angles],
        label="fitted ellipse",
    )
    curve.scatter([x for x, _ in points], [y for _, y in points], s=12, color="C1", label="samples")
    curve.set_aspect("equal")
    curve.legend()
    curve.set_title("the fitted curve over the samples")
    history.semilogy(range(len(losses)), losses)
    history.set_xlabel("step")
    history.set_ylabel("loss")
    history.set_title("the loss against the step")
    history.grid(True, which="both", alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=100)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", metavar="PATH", help="save a picture of the fit and of the loss to PATH")
    arguments = parser.parse_args()
    if arguments.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("--plot needs matplotlib, which is not installed (pip install matplotlib)", file=sys.stderr)
            return 2

    center = zk.Parameter(0.0, 0.0, name="center")
    radii = zk.Parameter(1.0, 1.0, name="radii")
    phase = zk.Parameter(0.0, name="phase")
    points = sample_points()
    loss = build_loss(center, radii, phase, points)
    print(f"loss graph built: {loss!r}")

    losses = []
    for step in range(STEPS + 1):
        loss.backward()
        losses.append(loss.eval()[0])
        if step % 25 == 0:
            print(f"step {step:4d}  loss {losses[-1]:.6f}")
        for parameter in (center, radii, phase):
            parameter.set_value([v - LEARNING_RATE * g for v, g in zip(parameter.value, parameter.grad)])
        loss.zero_grad()

    final = loss.eval()[0]
    print("fitted center", tuple(round(v, 3) for v in center.value), "true", TRUE_CENTER)
    print("fitted radii ", tuple(round(v, 3) for v in radii.value), "true", TRUE_RADII)
    print("fitted phase ", round(phase.value[0], 3), "true", TRUE_PHASE)
    converged = final < 1e-3 and all(
        abs(v - t) < 0.02
        for v, t in zip(center.value + radii.value + phase.value, TRUE_CENTER + TRUE_RADII + (TRUE_PHASE,))
    )
    if arguments.plot:
        plot(arguments.plot, points, center.value, radii.value, phase.value[0], losses)
        print(f"saved the picture to {arguments.plot}")
    print(f"final loss {final:.2e}: {'converged' if converged else 'did NOT converge'}")
    return 0 if converged else 1


if __name__ == "__main__":
    sys.exit(main())
