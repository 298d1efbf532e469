"""The package zarnik and its compiled tapes: a tape keeps the contract of the
expression it was compiled from, bit for bit, failures included."""

import math
import struct
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _zarnik
import zarnik as zk
from random_graphs import build_graph, leaf, operation


def bits(lanes):
    """Lanes as their bit patterns, so that NaN and -0.0 compare exactly."""
    return None if lanes is None else tuple(struct.pack("<d", v) for v in lanes)


def outcome(call):
    try:
        return "ok", bits(call())
    except Exception as error:  # noqa: BLE001 - the type and text are what is compared
        return type(error), str(error)


def gradients(parameters):
    return [bits(p.grad) for p in parameters]


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.lists(leaf, min_size=1, max_size=4),
    st.lists(operation, min_size=1, max_size=12),
    st.sampled_from([None, "scalar", "hinted"]),
)
def test_a_tape_agrees_with_its_expression(leaves, operations, placeholder):
    builder = build_graph(leaves, operations)
    output = builder.nodes[-1].expression
    if placeholder is not None:
        # A graph that cannot be evaluated, however its numbers turn out.
        output = output + (zk.Undefined() if placeholder == "scalar" else zk.Undefined(hint=1.5))
    parameters = [node.expression for node in builder.parameters]
    tape = zk.compile(output)
    assert outcome(tape.eval) == outcome(output.eval)

    seed = [1.0 + 0.25 * lane for lane in range(output.dim)]
    output.zero_grad()
    by_expression = outcome(lambda: (output.backward(seed), output.eval())[1])
    expected = gradients(parameters)
    output.zero_grad()
    by_tape = outcome(lambda: tape.backward(seed))
    assert by_tape == by_expression
    assert gradients(parameters) == expected
    # Gradients accumulate over passes alike.
    if by_tape[0] == "ok":
        output.backward(seed)
        twice = gradients(parameters)
        output.zero_grad()
        tape.backward(seed)
        tape.backward(seed)
        assert gradients(parameters) == twice
    tape.zero_grad()
    assert all(p.grad is None for p in parameters)


def test_the_package_offers_the_modules_names_and_tapes():
    for name in (
        "Expression",
        "Constant",
        "Parameter",
        "Undefined",
        "vec2",
        "vec3",
        "vec4",
        "sin",
        "cos",
        "__version__",
    ):
        assert getattr(zk, name) is getattr(_zarnik, name)
    assert set(zk.__all__) >= {"compile", "Tape"}
    # _zarnik itself gains nothing.
    assert not hasattr(_zarnik, "compile") and not hasattr(_zarnik, "Tape")


def test_a_tapes_repr_counts_its_nodes_and_parameters_in_words():
    p, q = zk.Parameter(1.0, name="p"), zk.Parameter(2.0, name="q")
    cases = [
        (p, "1 node, 1 parameter"),
        (zk.sin(zk.Undefined()), "2 nodes, 0 parameters"),
        (p * p, "2 nodes, 1 parameter"),
        (p * q, "3 nodes, 2 parameters"),
    ]
    for output, counts in cases:
        assert repr(zk.compile(output)) == f"<zarnik.Tape of {counts}, output {output!r}>"


def test_a_training_step_on_a_tape():
    a, b = zk.Parameter(0.5, name="a"), zk.Parameter(-1.0, name="b")
    loss = None
    for i in range(20):
        residual = a * (i / 10) + b - math.sin(i / 10)
        loss = residual * residual if loss is None else loss + residual * residual
    tape = zk.compile(loss)
    assert tape.parameters[0].id == a.id and tape.parameters[1].id == b.id
    assert tape.output.id == loss.id
    assert len(tape) == 20 * 7 + 1
    assert repr(tape) == f"<zarnik.Tape of {len(tape)} nodes, 2 parameters, output {loss!r}>"
    value = tape.backward()
    assert value == loss.eval()
    gradient = (a.grad, b.grad)
    tape.zero_grad()
    loss.backward()
    assert (a.grad, b.grad) == gradient
    tape.zero_grad()
    # A new value is read at the next call.
    a.set_value(2.0)
    assert tape.eval() == loss.eval() != value


def test_a_tape_holds_a_few_dozen_bytes_per_node():
    def chain(steps):
        p = zk.Parameter(1.0)
        y = p
        for _ in range(steps):
            y = zk.sin(y) * 0.5 + p
        return zk.compile(y)

    small, large = chain(1_000), chain(10_000)
    # What each further node costs, without the program object's fixed part.
    per_node = (large.nbytes - small.nbytes) / (len(large) - len(small))
    assert 16 <= per_node <= 64, per_node
    assert small.nbytes - per_node * len(small) <= 4096


@pytest.mark.parametrize(
    "seed, error, text",
    [
        ("1", TypeError, "backward seed must be a numeric sequence of length 1..4"),
        ([1.0, 2.0], ValueError, "backward seed dimension does not match output dimension"),
        ([], ValueError, "backward seed must contain 1..4 values"),
        (float("nan"), ValueError, "symbolic value lanes must be finite"),
    ],
)
def test_a_tape_takes_seeds_as_backward_does(seed, error, text):
    p = zk.Parameter(3.0)
    tape = zk.compile(p * p)
    with pytest.raises(error) as raised:
        tape.backward(seed)
    assert str(raised.value) == text
    assert p.grad is None
    assert tape.backward(seed=2.0) == (9.0,) and p.grad == (12.0,)
    with pytest.raises(TypeError):
        zk.compile(3.0)
    v = zk.compile(zk.Parameter(1.0, 2.0) * 2)
    with pytest.raises(ValueError, match="^backward\\(\\) without seed requires scalar output$"):
        v.backward()


def test_one_copy_of_the_core_makes_every_node():
    # Nodes made through _zarnik and through the package's native module draw
    # their ids from one counter.
    ids = []
    for _ in range(3):
        ids.append(zk.Constant(1.0).id)
        ids.append(zk._compiled._new_node_id())
    assert ids == list(range(ids[0], ids[0] + 6))
    # And the process maps one core library.
    with open("/proc/self/maps") as maps:
        cores = {line.split()[-1] for line in maps if "libzarnik_symbolic" in line}
    assert len(cores) == 1


def test_a_million_step_chain_compiles_in_a_process_of_its_own():
    script = """if True:
        import zarnik as zk
        p = zk.Parameter(1.0)
        y = p
        for _ in range(1_000_000):
            y = zk.sin(y) * 0.5 + p
        tape = zk.compile(y)
        value = tape.backward()
        assert value == y.eval(), (value, y.eval())
        print(len(tape), round(tape.nbytes / len(tape), 1))
    """
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    nodes, bytes_per_node = result.stdout.split()
    assert int(nodes) == 4_000_001
    assert float(bytes_per_node) < 64
