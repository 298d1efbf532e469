"""What users write, which mypy --strict must accept and which runs."""

import copy
import pathlib

import numpy as np
import numpy.typing as npt

import _zarnik
import zarnik as zk

# A compiled function of one output, named by its type.
Single = zk.Function[tuple[float, ...], npt.NDArray[np.float64]]


def lanes_of(f: zk.Function, *values: float) -> int:
    # A bare Function: a function of either shape.
    return f.input_lanes + len(f(*values))


def fit_step(tape: zk.Tape, parameters: tuple[zk.Expression, ...], rate: float) -> float:
    loss = tape.backward()[0]
    for parameter in parameters:
        grad = parameter.grad
        if grad is not None:
            parameter.set_value([v - rate * g for v, g in zip(parameter.value, grad)])
    tape.zero_grad()
    return loss


def main() -> None:
    a = zk.Parameter(0.5, name="a")
    b = zk.Parameter([1.0, 2.0], name=b"b")
    x = zk.Undefined(hint=0.25, name="x")
    v = zk.Undefined(dim=3)
    y = a * x + zk.sin(x) - 1
    z = 2.0 * b + (1, 2) + np.float64(0.5)
    w = zk.vec3(z.x, z[1], a) / v
    lanes: tuple[float, ...] = zk.Constant(1.0, 2.0).eval()
    print(lanes, w.inputs[0].kind, w.op, w.dim == w.dimension, x.hint, -a)
    hint = x.hint
    if hint is not None:
        print(hint[0])
    (a * a).backward()
    b.zero_grad()
    a.set_value(np.float64(1.5))

    tape = zk.compile(a * a)
    print(fit_step(tape, tape.parameters, 0.1), len(tape), tape.nbytes, tape.output.id)

    f: Single = zk.function([x, a], y)
    value: tuple[float, ...] = f(0.5, 1.0)
    jacobian: npt.NDArray[np.float64] = f.jacobian(0.5, [1.0])
    loss, gradient = f.value_and_grad(0.5, 1.0)
    rows: npt.NDArray[np.float64] = f.batch(np.linspace(0, 1, 5), np.ones(5))
    several = zk.function(x, [y, y * y])
    pair: tuple[tuple[float, ...], ...] = several(0.5)
    arrays: list[npt.NDArray[np.float64]] = several.batch(np.zeros(3))
    print(value, jacobian.shape, loss, gradient, rows, pair, arrays, f.inputs, f.output_lanes)
    header, sources = f.generate("generated", "model", wrt=[x], derivatives=("jacobian", "gradient"))
    print(header.name, [source.name for source in sources])

    print(lanes_of(f, 0.5, 1.0), lanes_of(several, 0.5))

    # Derivatives: gradient graphs, Hessians, directional derivatives.
    dx: zk.Expression = zk.grad(y, x)
    gradients: list[zk.Expression] = zk.grad(y, [x, a])
    hessian: npt.NDArray[np.float64] = f.hessian(0.5, 1.0, wrt=[x])
    hessians: npt.NDArray[np.float64] = f.batch_hessian(np.zeros(3), np.ones(3), wrt=a)
    at, along = f.jvp([0.5, 1.0], [1.0, 0.0])
    pairs: tuple[tuple[tuple[float, ...], ...], tuple[tuple[float, ...], ...]] = several.jvp([0.5], [1.0])
    product: npt.NDArray[np.float64] = f.hvp([0.5, 1.0], np.array([1.0, 0.0]))
    print(dx, gradients, hessian, hessians, at, along, pairs, product, f.hessian(0.5, 1.0))

    # NumPy arrays wherever lanes are taken, a 0-d array as a number.
    hinted = zk.Undefined(hint=np.array([1.0, 2.0]))
    print(hinted.hint)
    (b * b).backward(seed=np.array([1.0, 0.5]))
    print(tape.backward(seed=np.array([2.0])), f(np.array(0.5), np.array([1.0])), zk.Constant(np.arange(3.0)))
    b.set_value(np.array([0.5, 0.25]))
    zk.save(f, "f.zg")
    zk.save([y, y * y], pathlib.Path("graphs.zg"))
    with open("tape.zg", "wb") as out:
        zk.save(tape, out)
    loaded = zk.load("f.zg")
    if isinstance(loaded, zk.Function):
        print(loaded.input_lanes, copy.deepcopy(loaded).inputs)

    text: str = zk.to_dot(y, values=True, gradients=True)
    print(zk.to_dot(y, True, False, "fit"))
    zk.draw(y, "graph.svg")
    zk.draw(y, pathlib.Path("values.svg"), True)
    print(text, zk.__version__ == _zarnik.__version__)


if __name__ == "__main__":
    main()
