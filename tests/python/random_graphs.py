"""Random graphs over every operation and dimension for the property tests,
with the lanes that a reference evaluator written here predicts for every node
(None where evaluation fails), and optionally the same graph in PyTorch."""

import math

import numpy as np
import pytest
from hypothesis import strategies as st

import _zarnik as zk
import zarnik

FINITE_MAX = 1.7976931348623157e308
LANES_FINITE = "symbolic value lanes must be finite"

numbers = st.floats(min_value=-3.0, max_value=3.0, allow_nan=False).map(lambda v: round(v, 3))
leaf = st.tuples(st.sampled_from(["Parameter", "Constant"]), st.lists(numbers, min_size=1, max_size=4))
operation = st.tuples(
    st.sampled_from(["+", "-", "*", "/", "neg", "sin", "cos", "component", "vec", "number", "fn", "fn", "fn2"]),
    st.integers(0, 1000),
    st.integers(0, 1000),
    st.integers(0, 1000),
    numbers,
)


def _libm(function):
    """A math function whose domain errors and overflows give the non-finite
    result the C library gives, which is what evaluation must refuse."""

    def call(*args):
        try:
            return function(*args)
        except ValueError, OverflowError, ZeroDivisionError:
            return math.nan

    return call


# The elementary functions: the package's builder, the C library's value
# (through Python's math module, the same libm), and the PyTorch counterpart.
UNARY = {
    "sqrt": math.sqrt,
    "exp": math.exp,
    "log": math.log,
    "log1p": math.log1p,
    "expm1": math.expm1,
    "tanh": math.tanh,
    "sinh": math.sinh,
    "cosh": math.cosh,
    "tan": math.tan,
    "asin": math.asin,
    "acos": math.acos,
    "atan": math.atan,
    "abs": math.fabs,
    "cbrt": math.cbrt,
    "logical_not": lambda x: float(x == 0.0),
}
BINARY = {
    "pow": math.pow,
    "atan2": math.atan2,
    "minimum": lambda a, b: b if b < a else a,
    "maximum": lambda a, b: b if a < b else a,
    "less": lambda a, b: float(a < b),
    "less_equal": lambda a, b: float(a <= b),
    "greater": lambda a, b: float(a > b),
    "greater_equal": lambda a, b: float(a >= b),
    "equal": lambda a, b: float(a == b),
    "not_equal": lambda a, b: float(a != b),
    "logical_and": lambda a, b: float(a != 0.0 and b != 0.0),
    "logical_or": lambda a, b: float(a != 0.0 or b != 0.0),
}
# The comparisons and logical operations: 1.0 or 0.0, flat everywhere, with a
# jump where an operand crosses the other (or zero).
LOGIC = {"less", "less_equal", "greater", "greater_equal", "equal", "not_equal", "logical_and", "logical_or"}
LOGIC_NAMES = {"Less", "LessEqual", "Greater", "GreaterEqual", "Equal", "NotEqual", "LogicalAnd", "LogicalOr"}
# The order in which a step draws them: the functions drawn before the
# comparisons came, in the order they had, so that a drawn index keeps
# naming the function it named.
DRAWN_UNARY = sorted(set(UNARY) - {"logical_not"}) + ["logical_not"]
DRAWN_BINARY = [*sorted(set(BINARY) - LOGIC), *sorted(LOGIC), "where"]


def torch_unary(torch, name, t):
    if name == "abs":  # the derivative +1 at 0, as here
        return torch.where(t >= 0, t, -t)
    if name == "cbrt":  # PyTorch has no cube root of negative numbers
        return torch.sign(t) * torch.pow(torch.abs(t), 1.0 / 3.0)
    if name == "logical_not":
        return torch.logical_not(t).to(t.dtype)
    return getattr(torch, name)(t)


def torch_binary(torch, name, a, b):
    a, b = torch.broadcast_tensors(a, b)
    if name in LOGIC:
        return getattr(
            torch,
            {
                "less": "lt",
                "less_equal": "le",
                "greater": "gt",
                "greater_equal": "ge",
                "equal": "eq",
                "not_equal": "ne",
            }.get(name, name),
        )(a, b).to(a.dtype)
    if name in ("minimum", "maximum"):  # a tie shares the gradient evenly, as here
        a_wins = a < b if name == "minimum" else a > b
        b_wins = b < a if name == "minimum" else b > a
        return torch.where(a_wins, a, torch.where(b_wins, b, (a + b) / 2))
    return getattr(torch, name)(a, b)


class Node:
    """A node of the graph under test and its reference lanes (None: evaluation fails)."""

    def __init__(self, expression, lanes, constant, torch_value=None):
        self.expression = expression
        self.lanes = lanes
        self.constant = constant
        self.torch_value = torch_value
        self.parts = None  # the scalars a vector packs, which its components are

    @property
    def dim(self):
        return self.expression.dim


def finite(lanes):
    return lanes is not None and all(abs(v) <= FINITE_MAX for v in lanes)


def broadcast(op, left, right):
    size = max(len(left), len(right))
    pick = lambda lanes, i: lanes[0] if len(lanes) == 1 else lanes[i]
    out = []
    for i in range(size):
        a, b = pick(left, i), pick(right, i)
        if op == "/" and b == 0.0:
            out.append(math.copysign(math.inf, a) * math.copysign(1.0, b) if a != 0.0 else math.nan)
        else:
            out.append({"+": a + b, "-": a - b, "*": a * b, "/": a / b if b else 0.0}[op])
    return out


class Builder:
    """Builds a random graph step by step and predicts every outcome."""

    def __init__(self, torch=None):
        self.nodes = []
        self.parameters = []
        self.torch = torch
        # Whether a node sits where a function is not smooth (abs at 0, sqrt at
        # 0, asin and acos at 1 and -1, atan2 at the origin, a tie of minimum or
        # maximum, pow of a base that is not positive or at an exponent of 0),
        # where a finite difference is not the derivative and libraries choose
        # different conventions.
        self.kinked = False

    def leaf(self, kind, values):
        expression = getattr(zk, kind)(values)
        tensor = None
        if self.torch is not None:
            tensor = self.torch.tensor(values, dtype=self.torch.float64, requires_grad=kind == "Parameter")
        node = Node(expression, [float(v) for v in values], kind == "Constant", tensor)
        if kind == "Parameter":
            self.parameters.append(node)
        self.nodes.append(node)

    def expect(self, build, lanes, constant, error=None, torch_build=None):
        """Builds a node whose reference lanes are `lanes`, or expects `error` (type, text)."""
        if error is None and constant and not finite(lanes):
            error = (ValueError, LANES_FINITE)  # a folded constant is checked as it is built
        if error is not None:
            with pytest.raises(error[0]) as raised:
                build()
            assert str(raised.value) == error[1]
            return
        expression = build()
        tensor = torch_build() if self.torch is not None and torch_build else None
        self.nodes.append(Node(expression, lanes if finite(lanes) else None, constant, tensor))

    def step(self, name, i, j, k, number):
        a = self.nodes[i % len(self.nodes)]
        b = self.nodes[j % len(self.nodes)]
        torch = self.torch
        if name in "+-*/":
            if a.dim != b.dim and 1 not in (a.dim, b.dim):
                error = (ValueError, f"cannot combine symbolic values with dimensions {a.dim} and {b.dim}")
                self.expect(lambda: apply(name, a.expression, b.expression), None, False, error)
                return
            lanes = broadcast(name, a.lanes, b.lanes) if a.lanes is not None and b.lanes is not None else None
            self.expect(
                lambda: apply(name, a.expression, b.expression),
                lanes,
                a.constant and b.constant,
                torch_build=lambda: apply(name, a.torch_value, b.torch_value),
            )
        elif name == "number":
            lanes = broadcast("*", a.lanes, [number]) if a.lanes is not None else None
            self.expect(lambda: number * a.expression, lanes, a.constant, torch_build=lambda: number * a.torch_value)
        elif name in ("neg", "sin", "cos"):
            function = {"neg": lambda v: -v, "sin": math.sin, "cos": math.cos}[name]
            lanes = [function(v) for v in a.lanes] if a.lanes is not None else None
            build = {
                "neg": lambda: -a.expression,
                "sin": lambda: zk.sin(a.expression),
                "cos": lambda: zk.cos(a.expression),
            }[name]
            torch_function = {"neg": lambda t: -t, "sin": lambda t: torch.sin(t), "cos": lambda t: torch.cos(t)}
            self.expect(build, lanes, a.constant, torch_build=lambda: torch_function[name](a.torch_value))
        elif name == "fn":
            function = DRAWN_UNARY[k % len(DRAWN_UNARY)]
            reference = _libm(UNARY[function])
            lanes = [reference(v) for v in a.lanes] if a.lanes is not None else None
            if function == "abs" and a.lanes is not None and 0.0 in a.lanes:
                self.kinked = True
            # An infinite slope: its products with zero tangents are NaN in one
            # convention and skipped as exact zeros in another.
            if function in ("sqrt", "cbrt") and a.lanes is not None and 0.0 in a.lanes:
                self.kinked = True
            if function in ("asin", "acos") and a.lanes is not None and any(abs(v) == 1.0 for v in a.lanes):
                self.kinked = True
            if function == "logical_not" and a.lanes is not None and 0.0 in a.lanes:
                self.kinked = True  # a jump, where a finite difference is no derivative
            self.expect(
                lambda: getattr(zarnik, function)(a.expression),
                lanes,
                a.constant,
                torch_build=lambda: torch_unary(torch, function, a.torch_value),
            )
        elif name == "fn2":
            function = DRAWN_BINARY[k % len(DRAWN_BINARY)]
            if function == "where":
                self.where(a, b, self.nodes[(i + j + k) % len(self.nodes)], number)
                return
            build = lambda: getattr(zarnik, function)(a.expression, b.expression)
            if a.dim != b.dim and 1 not in (a.dim, b.dim):
                self.expect(
                    build,
                    None,
                    False,
                    (ValueError, f"cannot combine symbolic values with dimensions {a.dim} and {b.dim}"),
                )
                return
            lanes = None
            if a.lanes is not None and b.lanes is not None:
                reference = _libm(BINARY[function])
                size = max(len(a.lanes), len(b.lanes))
                pick = lambda values, n: values[0] if len(values) == 1 else values[n]
                lanes = [reference(pick(a.lanes, n), pick(b.lanes, n)) for n in range(size)]
                if function == "atan2" and any(pick(a.lanes, n) == pick(b.lanes, n) == 0.0 for n in range(size)):
                    self.kinked = True  # the origin, where the angle has no derivative
                if function in (
                    "minimum",
                    "maximum",
                    "less",
                    "less_equal",
                    "greater",
                    "greater_equal",
                    "equal",
                    "not_equal",
                ) and any(pick(a.lanes, n) == pick(b.lanes, n) for n in range(size)):
                    self.kinked = True  # a tie, where the shares are a convention, not a limit
                if function in ("logical_and", "logical_or") and any(
                    0.0 in (pick(a.lanes, n), pick(b.lanes, n)) for n in range(size)
                ):
                    self.kinked = True  # a jump, where a finite difference is no derivative
                if function == "pow" and any(pick(a.lanes, n) <= 0.0 or pick(b.lanes, n) == 0.0 for n in range(size)):
                    self.kinked = True  # no real slope in the exponent, or a convention at an exponent of 0
            self.expect(
                build,
                lanes,
                a.constant and b.constant,
                torch_build=lambda: torch_binary(torch, function, a.torch_value, b.torch_value),
            )
        elif name == "component":
            index = k % 5 - (1 if k % 7 == 0 else 0)
            if not 0 <= index < a.dim:
                self.expect(
                    lambda: a.expression[index], None, False, (IndexError, "symbolic component index out of range")
                )
                return
            lanes = [a.lanes[index]] if a.lanes is not None else None
            if a.parts is not None:
                # A lane of a packed vector is the scalar packed there: it
                # evaluates where another lane of the vector fails.
                lanes = a.parts[index].lanes
            self.expect(
                lambda: a.expression[index], lanes, a.constant, torch_build=lambda: a.torch_value[index : index + 1]
            )
        else:  # vec2, vec3, vec4 of the nodes at i, i + j, i + 2j, ...
            size = 2 + k % 3
            parts = [self.nodes[(i + n * j) % len(self.nodes)] for n in range(size)]
            function = getattr(zk, f"vec{size}")
            build = lambda: function(*(p.expression for p in parts))
            if any(p.dim != 1 for p in parts):
                self.expect(
                    build, None, False, (ValueError, f"vec{size} expression inputs must be scalar symbolic values")
                )
                return
            lanes = [p.lanes[0] for p in parts] if all(p.lanes is not None for p in parts) else None
            self.expect(
                build,
                lanes,
                all(p.constant for p in parts),
                torch_build=lambda: torch.cat([p.torch_value for p in parts]),
            )
            if self.nodes[-1].expression.op == "Pack":
                self.nodes[-1].parts = parts

    def where(self, a, b, c, level):
        """where(a > level, b, c), drawn over operands whose lanes are all known:
        which failures a branch not taken hides is test_where.py's to check."""
        build = lambda: zarnik.where(zarnik.greater(a.expression, level), b.expression, c.expression)
        dim = a.dim
        for other in (b.dim, c.dim):
            if dim != other and 1 not in (dim, other):
                error = (ValueError, f"cannot combine symbolic values with dimensions {dim} and {other}")
                self.expect(build, None, False, error)
                return
            dim = max(dim, other)
        if a.lanes is None or b.lanes is None or c.lanes is None:
            return
        pick = lambda values, n: values[0] if len(values) == 1 else values[n]
        taken = [pick(a.lanes, n) > level for n in range(dim)]
        lanes = [pick(b.lanes, n) if t else pick(c.lanes, n) for n, t in enumerate(taken)]
        if any(pick(a.lanes, n) == level for n in range(dim)):
            self.kinked = True  # a jump, where a finite difference is no derivative
        constant = a.constant and b.constant and c.constant
        if a.constant and all(taken) and b.dim == dim:
            constant = b.constant  # the branch itself
        if a.constant and not any(taken) and c.dim == dim:
            constant = c.constant
        torch = self.torch
        self.expect(
            build,
            lanes,
            constant,
            torch_build=lambda: torch.where(
                *torch.broadcast_tensors(a.torch_value > level, b.torch_value, c.torch_value)
            ),
        )


def apply(name, left, right):
    return {"+": lambda: left + right, "-": lambda: left - right, "*": lambda: left * right, "/": lambda: left / right}[
        name
    ]()


def build_graph(leaves, operations, torch=None):
    builder = Builder(torch)
    for kind, values in leaves:
        builder.leaf(kind, values)
    for operation_ in operations:
        builder.step(*operation_)
    return builder


# --- how far two sweeps may differ -------------------------------------------------

EPS = 2.0**-52


def graph_nodes(outputs):
    """The nodes below `outputs`, every node after its operands."""
    order, seen = [], set()
    for output in outputs:
        stack = [(output, False)]
        while stack:
            node, expanded = stack.pop()
            if expanded:
                order.append(node)
                continue
            if node.id in seen:
                continue
            seen.add(node.id)
            stack.append((node, True))
            stack.extend((operand, False) for operand in node.inputs if operand.id not in seen)
    return order


def _local_slopes(op, operands, result):
    """|d result / d operand| lane by lane for each operand, as arrays of
    shape (rows, lanes): inf or NaN where the slope has no finite value."""
    a = operands[0]
    b = operands[1] if len(operands) > 1 else None
    one = np.ones_like(result)
    match op:
        case "Add" | "Subtract" | "Minimum" | "Maximum":
            return [one, one]
        case "Multiply":
            return [np.abs(b) * one, np.abs(a) * one]
        case "Divide":
            return [one / np.abs(b), np.abs(result / b)]
        case "Atan2":  # atan2(a, b)
            squared = a * a + b * b
            return [np.abs(b) / squared * one, np.abs(a) / squared * one]
        case "Pow":
            log_base = np.log(np.abs(a), where=a != 0.0, out=np.zeros_like(a * one))
            return [np.abs(b * np.power(a, b - 1.0)) * one, np.abs(result * log_base)]
        case "Negate" | "Abs" | "Sign" | "Step" | "Gate":
            return [one] * len(operands)
        case "Less" | "LessEqual" | "Greater" | "GreaterEqual" | "Equal" | "NotEqual" | "LogicalAnd" | "LogicalOr":
            return [0.0 * one] * len(operands)
        case "LogicalNot":
            return [0.0 * one]
        case "Where":  # the branch taken passes the derivative on, the other nothing
            return [0.0 * one, (a != 0.0) * one, (a == 0.0) * one]
        case "Sin":
            return [np.abs(np.cos(a))]
        case "Cos":
            return [np.abs(np.sin(a))]
        case "Sqrt":
            return [0.5 / result]
        case "Cbrt":
            return [1.0 / (3.0 * result * result)]
        case "Exp":
            return [np.abs(result)]
        case "Expm1":
            return [np.abs(result + 1.0)]
        case "Log":
            return [1.0 / np.abs(a)]
        case "Log1p":
            return [1.0 / np.abs(1.0 + a)]
        case "Tanh":
            return [1.0 - result * result]
        case "Sinh":
            return [np.cosh(a)]
        case "Cosh":
            return [np.abs(np.sinh(a))]
        case "Tan":
            return [1.0 + result * result]
        case "Asin" | "Acos":
            return [1.0 / np.sqrt(1.0 - a * a)]
        case "Atan":
            return [1.0 / (1.0 + a * a)]
    raise AssertionError(f"no slope for the operation {op}")


def _sensitive_slopes(op, operands, result):
    """|local slopes| plus how much they move when the values they are
    computed from move by a relative step: another library's values may differ
    from these in the last bits, and a rule computed from a rounded value (1 -
    tanh(x)^2 near x = 3) carries that value's rounding, magnified."""
    step = 2.0**-26
    base = _local_slopes(op, operands, result)
    total = [np.abs(slope) for slope in base]
    for moved in range(len(operands) + 1):
        values = [v * (1.0 + step) if n == moved else v for n, v in enumerate(operands)]
        shifted = result * (1.0 + step) if moved == len(operands) else result
        for n, slope in enumerate(_local_slopes(op, values, shifted)):
            total[n] = total[n] + np.abs(slope - base[n]) / step
    return total


def sweep_tolerance(outputs, inputs, values, operations_per_node=4):
    """How far two sweeps may differ that multiply the same local partial
    derivatives in other orders (forward and reverse sweeps, or another
    library's): for each output lane and input lane, the sum over the paths
    between them of the absolute products of the local partials, times a few
    rounding errors per node on the longest path. Cancellation is what this
    bounds: x*y / (x*y) at y near 0 has a derivative of 0 in y made of terms
    of 1/y, and two sweeps each right to their conditioning differ by eps/y.

    `values(nodes)` gives every node's lanes, arrays of shape (rows, lanes).
    Returns an array (rows, output lanes, input lanes); inf or NaN where a
    local partial has no finite value, where nothing can be promised."""
    nodes = graph_nodes(outputs)
    lanes = dict(zip((n.id for n in nodes), values(nodes)))
    rows = next(iter(lanes.values())).shape[0]
    width = sum(p.dim for p in inputs)
    slopes, depth = {}, {}
    start = 0
    for p in inputs:
        seeded = np.zeros((rows, p.dim, width))
        for lane in range(p.dim):
            seeded[:, lane, start + lane] = 1.0
        slopes[p.id], depth[p.id] = seeded, 0
        start += p.dim
    with np.errstate(all="ignore"):
        for node in nodes:
            if node.id in slopes:
                continue
            operands = node.inputs
            if not operands:  # a leaf that is not an input
                slopes[node.id], depth[node.id] = np.zeros((rows, node.dim, width)), 0
                continue
            depth[node.id] = 1 + max(depth[o.id] for o in operands)
            if node.op == "Pack":
                slopes[node.id] = np.concatenate([slopes[o.id] for o in operands], axis=1)
                continue
            if node.op == "Component":  # which lane is not shown: the largest bounds it
                slopes[node.id] = slopes[operands[0].id].max(axis=1, keepdims=True)
                continue
            local = _sensitive_slopes(node.op, [lanes[o.id] for o in operands], lanes[node.id])
            total = np.zeros((rows, node.dim, width))
            for operand, slope in zip(operands, local):
                total = total + np.broadcast_to(slope, (rows, node.dim))[:, :, None] * slopes[operand.id]
            slopes[node.id] = total
    bounds = [slopes[o.id] * (operations_per_node * EPS * (depth[o.id] + 1)) for o in outputs]
    return np.concatenate(bounds, axis=1)


def values_by_calls(inputs, arrays):
    """A `values` for sweep_tolerance: the nodes as outputs of one function,
    over the rows of `arrays` (one per input, shaped (rows, lanes))."""

    def values(nodes):
        rows = arrays[0].shape[0] if arrays else 1
        computed = zarnik.function(inputs, list(nodes)).batch(*arrays, rows=rows)
        return [np.asarray(v, dtype=float).reshape(rows, n.dim) for v, n in zip(computed, nodes)]

    return values


def values_by_eval(nodes):
    """A `values` for sweep_tolerance at the parameters' current values."""
    return [np.array([n.eval()], dtype=float) for n in nodes]


def assert_sweeps_agree(ours, theirs, bound):
    """Two sweeps' derivatives agree within `bound` (sweep_tolerance's) where
    both are finite and the bound is; what a non-finite value must match is
    each comparison's own rule."""
    ours, theirs, bound = (np.asarray(v, dtype=float).ravel() for v in (ours, theirs, bound))
    finite = np.isfinite(ours) & np.isfinite(theirs)
    checked = finite & np.isfinite(bound)
    assert np.all(np.abs(ours[checked] - theirs[checked]) <= bound[checked]), (ours, theirs, bound)
