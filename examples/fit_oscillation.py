"""Fit a damped oscillation to noisy samples with Gauss-Newton steps.

The model of a decaying signal is

    y(t) = A exp(-k t) cos(w t + phi),

with four unknowns: the amplitude A, the decay rate k, the angular frequency w
and the phase phi. The samples t_i are a placeholder and the unknowns are
parameters, so one compiled function gives, for every sample at once, the
model's value and its Jacobian against the four unknowns (`batch` and
`batch_jacobian`); each Gauss-Newton step solves J delta = -residuals with
NumPy and writes the new estimate back with `set_value`.
"""

import sys

import numpy as np

import zarnik as zk

TRUE = {"A": 1.5, "k": 0.3, "w": 2.0, "phi": 0.4}
SAMPLES = 200


def samples():
    """The true signal at SAMPLES times, with a little deterministic noise."""
    t = np.linspace(0.0, 10.0, SAMPLES)
    noise = 0.01 * np.sin(37.0 * t)
    signal = TRUE["A"] * np.exp(-TRUE["k"] * t) * np.cos(TRUE["w"] * t + TRUE["phi"])
    return t, signal + noise


def main():
    t_data, y_data = samples()
    t = zk.Undefined(name="t")
    unknowns = [zk.Parameter(value, name=name) for name, value in (("A", 1.0), ("k", 0.1), ("w", 1.9), ("phi", 0.0))]
    amplitude, decay, frequency, phase = unknowns
    model = amplitude * zk.exp(-decay * t) * zk.cos(frequency * t + phase)
    f = zk.function([t, *unknowns], model)
    print(f"compiled {f!r}")

    for step in range(1, 40):
        guess = [p.value[0] for p in unknowns]
        columns = [t_data, *(np.full(SAMPLES, v) for v in guess)]
        residuals = f.batch(*columns) - y_data
        jacobian = f.batch_jacobian(*columns)[:, 0, 1:]  # each sample against A, k, w, phi
        delta = np.linalg.lstsq(jacobian, -residuals, rcond=None)[0]
        for parameter, value in zip(unknowns, np.add(guess, delta)):
            parameter.set_value(float(value))
        print(f"step {step:2d}  sum of squares {residuals @ residuals:.6e}  step length {np.linalg.norm(delta):.2e}")
        if np.linalg.norm(delta) < 1e-12:
            break

    fitted = {p.name: p.value[0] for p in unknowns}
    for name, value in fitted.items():
        print(f"{name:>3} fitted {value:.4f}  true {TRUE[name]}")
    converged = all(abs(fitted[name] - TRUE[name]) < 0.01 for name in TRUE)
    print("converged" if converged else "did NOT converge")
    return 0 if converged else 1


if __name__ == "__main__":
    sys.exit(main())
