"""Random graphs over every operation and dimension, checked against a
reference evaluator written here, central finite differences and PyTorch."""

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, example, given, settings
from hypothesis import strategies as st

import _zarnik as zk
from independent_ad import import_torch, needs_torch
from random_graphs import (
    LANES_FINITE,
    assert_sweeps_agree,
    build_graph,
    leaf,
    operation,
    sweep_tolerance,
    values_by_eval,
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(leaf, min_size=1, max_size=4), st.lists(operation, min_size=1, max_size=14))
# A component of a packed vector is the scalar packed there, which evaluates
# where another lane of the vector (0/0) fails.
@example(
    leaves=[("Parameter", [0.0]), ("Parameter", [0.0])],
    operations=[("/", 0, 0, 0, 0.0), ("vec", 0, 1, 1, 0.0), ("component", 3, 0, 1, 0.0)],
)
def test_evaluation_matches_the_reference_exactly(leaves, operations):
    builder = build_graph(leaves, operations)
    for node in builder.nodes:
        if node.lanes is None:
            with pytest.raises(ValueError) as raised:
                node.expression.eval()
            assert str(raised.value) == LANES_FINITE
        else:
            # The same IEEE operations and the same libm: equal to the bit.
            assert node.expression.eval() == tuple(node.lanes)


def seeded_sum(node, seed):
    return sum(s * v for s, v in zip(seed, node.expression.eval()))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
@given(st.lists(leaf, min_size=1, max_size=3), st.lists(operation, min_size=1, max_size=10))
# maximum(0.016, sin(0.016)): the operands are 7e-7 apart, closer than the
# step, so the differences straddle the kink without a tie at the point.
@example(
    leaves=[("Parameter", [0.0, 0.016, 0.0]), ("Parameter", [1.0, 0.016, 1.0])],
    operations=[("sin", 0, 0, 0, 0.0), ("fn2", 1, 5, 1, 0.0)],
)
def test_gradients_match_central_differences(leaves, operations):
    builder = build_graph(leaves, operations)
    output = builder.nodes[-1]
    assume(output.lanes is not None and builder.parameters and not builder.kinked)
    assume(all(abs(v) < 1e3 for v in output.lanes))
    seed = [1.0 + 0.25 * lane for lane in range(output.dim)]
    output.expression.backward(seed)
    middle = seeded_sum(output, seed)
    step = 1e-6
    for parameter in builder.parameters:
        base = list(parameter.expression.value)
        analytic = parameter.expression.grad or tuple(0.0 for _ in base)
        for lane, value in enumerate(base):
            sums = []
            for delta in (step, -step):
                moved = list(base)
                moved[lane] = value + delta
                parameter.expression.set_value(moved)
                try:
                    sums.append(seeded_sum(output, seed))
                except ValueError:
                    sums.append(None)
            parameter.expression.set_value(base)
            # Near a pole the finite difference means nothing.
            assume(None not in sums)
            numeric = (sums[0] - sums[1]) / (2 * step)
            assume(abs(numeric) < 1e4)
            # A kink within the step (a near-tie of minimum or maximum, abs
            # near 0) pulls the central difference away from either slope by
            # up to half the gap between the one-sided differences; where
            # they agree within the tolerance, so does the central one.
            gap = abs((sums[0] - middle) - (middle - sums[1])) / step
            assume(gap <= max(1e-4, 1e-4 * abs(numeric)))
            assert analytic[lane] == pytest.approx(numeric, rel=1e-4, abs=1e-4)


@needs_torch
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
@given(st.lists(leaf, min_size=1, max_size=3), st.lists(operation, min_size=1, max_size=10))
# 1 - tanh(3)^2 computed from a tanh rounded in the last bit: 2 eps apart,
# relative to a slope of 0.01.
@example(leaves=[("Parameter", [3.0])], operations=[("fn", 0, 0, 38, 0.0)])
def test_gradients_match_pytorch(leaves, operations):
    torch = import_torch()
    builder = build_graph(leaves, operations, torch)
    output = builder.nodes[-1]
    # Where a function has no derivative, the libraries' conventions differ.
    assume(output.lanes is not None and output.torch_value is not None and not builder.kinked)
    seed = [1.0 + 0.25 * lane for lane in range(output.dim)]
    output.expression.backward(seed)
    trainable = [p for p in builder.parameters if p.torch_value.requires_grad]
    assume(output.torch_value.requires_grad)
    gradients = torch.autograd.grad(
        output.torch_value,
        [p.torch_value for p in trainable],
        grad_outputs=torch.tensor(seed, dtype=torch.float64),
        allow_unused=True,
    )
    # The same derivative multiplied out in another order: equal as far as the graph's
    # conditioning lets rounding go.
    inputs = [p.expression for p in trainable]
    bounds = np.abs(seed) @ sweep_tolerance([output.expression], inputs, values_by_eval)[0]
    start = 0
    for parameter, expected in zip(trainable, gradients):
        expected = np.zeros(parameter.dim) if expected is None else expected.numpy()
        actual = np.array(parameter.expression.grad or [0.0] * parameter.dim)
        finite = np.isfinite(actual) & np.isfinite(expected)
        assert np.array_equal(actual[~finite], expected[~finite], equal_nan=True)
        assert_sweeps_agree(actual, expected, bounds[start : start + parameter.dim])
        start += parameter.dim


def test_errors_are_the_documented_types():
    """A sample of misuse, each met with its documented exception and text."""
    p = zk.Parameter(1.0, 2.0)
    cases = [
        (lambda: p + zk.Parameter(1, 2, 3), ValueError, "cannot combine symbolic values with dimensions 2 and 3"),
        (lambda: p[2], IndexError, "symbolic component index out of range"),
        (lambda: zk.vec2(p, 1), ValueError, "vec2 expression inputs must be scalar symbolic values"),
        (lambda: (p / zk.Parameter(0.0)).eval(), ValueError, LANES_FINITE),
        (
            lambda: (p * zk.Undefined(dim=2)).eval(),
            RuntimeError,
            "cannot evaluate symbolic graph with Undefined values",
        ),
        (lambda: p.backward(), ValueError, "backward() without seed requires scalar output"),
        (lambda: zk.Constant(1.0) / 0, ValueError, LANES_FINITE),
    ]
    for call, error, text in cases:
        with pytest.raises(error) as raised:
            call()
        assert type(raised.value) is error and str(raised.value) == text
