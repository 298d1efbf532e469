"""Swing a pendulum up from hanging to upright with the least control effort,
by direct multiple shooting: the state (angle, angular velocity) at each of
N + 1 instants and the torque over each of N intervals are the variables, and
each interval's end, integrated by RK4 in 4 steps, must meet the next state.

    python swing_up.py [--intervals N] [--solver ipopt|trust-constr]

At N = 1,000 the problem has 3,002 variables and 2,004 constraints; its
constraints' Jacobian and its Lagrangian's Hessian are sparse, and IPOPT
solves it from a standing start in a few dozen iterations.
"""

import argparse
import math
import time

import numpy as np

import zarnik as zk

GRAVITY = 9.81  # over the pendulum's length, 1/s^2
DAMPING = 0.1  # 1/s
HORIZON = 3.0  # s
MAX_TORQUE = 6.0  # per unit inertia, 1/s^2
SUBSTEPS = 4


def dynamics(state, torque):
    angle, velocity = state[0], state[1]
    return zk.vec2(velocity, torque - GRAVITY * zk.sin(angle) - DAMPING * velocity)


def interval_end(state, torque, step):
    """The state one interval on, by SUBSTEPS steps of RK4."""
    h = step / SUBSTEPS
    for _ in range(SUBSTEPS):
        k1 = dynamics(state, torque)
        k2 = dynamics(state + k1 * (h / 2), torque)
        k3 = dynamics(state + k2 * (h / 2), torque)
        k4 = dynamics(state + k3 * h, torque)
        state = state + (k1 + k2 * 2.0 + k3 * 2.0 + k4) * (h / 6)
    return state


def swing_up(intervals):
    """The problem: its variables' lanes interleave x0 (2 lanes), u0, x1, u1, ..., xN."""
    step = HORIZON / intervals
    states = [zk.Undefined(dim=2, name=f"x{k}") for k in range(intervals + 1)]
    torques = [zk.Undefined(name=f"u{k}") for k in range(intervals)]
    effort = zk.Constant(0.0)
    gaps = []
    for k in range(intervals):
        effort = effort + torques[k] * torques[k] * step
        gaps.append(states[k + 1] - interval_end(states[k], torques[k], step))
    constraints = [states[0] - zk.vec2(0.0, 0.0), *gaps, states[-1] - zk.vec2(math.pi, 0.0)]
    variables = [v for k in range(intervals) for v in (states[k], torques[k])] + [states[-1]]
    return zk.nlp(variables, effort, constraints)


def start_and_bounds(intervals):
    """A start on the straight line from hanging to upright with no torque,
    the torques' bounds, and where the torques sit among the variables."""
    variables = 3 * intervals + 2
    torque_lanes = np.arange(intervals) * 3 + 2
    lower = np.full(variables, -np.inf)
    upper = np.full(variables, np.inf)
    lower[torque_lanes], upper[torque_lanes] = -MAX_TORQUE, MAX_TORQUE
    start = np.zeros(variables)
    angle_lanes = np.append(np.arange(intervals) * 3, 3 * intervals)
    start[angle_lanes] = math.pi * np.arange(intervals + 1) / intervals
    start[angle_lanes + 1] = math.pi / HORIZON
    return start, lower, upper, torque_lanes


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--intervals", type=int, default=1000)
    parser.add_argument("--solver", default="ipopt", choices=["ipopt", "trust-constr"])
    arguments = parser.parse_args()

    started = time.perf_counter()
    problem = swing_up(arguments.intervals)
    start, lower, upper, torque_lanes = start_and_bounds(arguments.intervals)
    built = time.perf_counter()
    print(f"{problem}: built in {built - started:.2f} s")
    result = problem.solve(start, lbx=lower, ubx=upper, solver=arguments.solver)
    solved = time.perf_counter()
    print(f"{result.solver}: {result.message}")
    print(f"{result.iterations} iterations in {solved - built:.2f} s, effort {result.objective:.6f}")
    largest_torque = np.abs(result.x[torque_lanes]).max()
    print(f"largest torque {largest_torque:.3f}, largest gap {np.abs(result.constraints).max():.2e}")
    if not result.success:
        raise SystemExit("the swing-up did not converge")
    print("converged")


if __name__ == "__main__":
    main()
