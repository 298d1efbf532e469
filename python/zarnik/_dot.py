"""Pictures of graphs: Graphviz text, and rendering it with Graphviz's dot."""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess

from _zarnik import Expression
from zarnik._compiled import Function, Tape, function

_FORMATS = {".svg": "svg", ".png": "png", ".pdf": "pdf"}

# A picture shows this many characters of a name at most: DOT refuses strings
# past 16 KiB, and a box that wide shows nothing anyway.
_NAME_LIMIT = 100

# What a name may hold that DOT or the SVG that dot writes cannot carry:
# control characters (C0, DEL, C1), which XML 1.0 forbids or which would end a
# line, and the two non-characters XML forbids. Each is shown as an escape.
_ESCAPES = {code: f"\\x{code:02x}" for code in [*range(0x20), *range(0x7F, 0xA0)]}
_ESCAPES.update({0xFFFE: "\\ufffe", 0xFFFF: "\\uffff"})


def _shown(name: str) -> str:
    """A name as a picture shows it: shortened past _NAME_LIMIT, with what
    DOT or XML cannot carry escaped."""
    if len(name) > _NAME_LIMIT:
        name = f"{name[:_NAME_LIMIT]}... ({len(name)} characters)"
    return name.translate(_ESCAPES)


def _quoted(text: str) -> str:
    """A DOT string showing `text`, whose newlines break lines. dot reads
    character references in labels, so a literal & is written as one."""
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("&", "&amp;").replace("\n", "\\n")
    return f'"{escaped}"'


def _expression_of(expression: object, caller: str) -> Expression:
    if isinstance(expression, Expression):
        return expression
    if isinstance(expression, Tape):
        raise TypeError(f"{caller}() takes an Expression, not a Tape: pass tape.output")
    if isinstance(expression, Function):
        raise TypeError(f"{caller}() takes an Expression, not a Function: pass one of function.outputs")
    raise TypeError(f"{caller}() takes an Expression, not {type(expression).__name__}")


def _lanes(lanes: tuple[float, ...]) -> str:
    return "(" + ", ".join(f"{v:.6g}" for v in lanes) + ")"


def _nodes_below(expression: Expression) -> list[Expression]:
    """Every node below `expression` once, each after its inputs, inputs in index order."""
    order: list[Expression] = []
    seen: set[int] = set()
    stack: list[tuple[Expression, int]] = [(expression, 0)]
    seen.add(expression.id)
    while stack:
        node, next_input = stack.pop()
        inputs = node.inputs
        if next_input < len(inputs):
            stack.append((node, next_input + 1))
            child = inputs[next_input]
            if child.id not in seen:
                seen.add(child.id)
                stack.append((child, 0))
            continue
        order.append(node)
    return order


def to_dot(expression: Expression, values: bool = False, gradients: bool = False, name: str = "zarnik") -> str:
    """The graph below `expression` as Graphviz text: one box per node, a node
    shared by several users drawn once, labelled with its id, its kind or
    operation, its name and its lanes; an arrow from each input to its user,
    numbered where the order of the inputs matters. With `values`, each node
    shows the lanes evaluation gives it (leaves only when the graph cannot be
    evaluated); with `gradients`, each parameter shows its gradient. Names
    are shown with control characters escaped and shortened past 100
    characters.

    >>> import zarnik as zk
    >>> p = zk.Parameter(2.0, name="p")
    >>> text = zk.to_dot(p * p, values=True)
    >>> text.count("->")
    2
    """
    if not isinstance(name, str):
        raise TypeError(f"to_dot() takes a str as the graph's name, not {type(name).__name__}")
    nodes = _nodes_below(_expression_of(expression, "to_dot"))
    computed: dict[int, tuple[float, ...]] = {}
    failed = False
    if values:
        try:
            lanes = function([], nodes)()
            computed = {node.id: node_lanes for node, node_lanes in zip(nodes, lanes)}
        except ValueError, RuntimeError, IndexError:
            failed = True
            computed = {node.id: node.value for node in nodes if node.is_constant or node.is_parameter}
    lines = [
        f"digraph {_quoted(_shown(name))} {{",
        "  rankdir=BT;",
        '  node [shape=box, style="rounded", fontname="Helvetica", fontsize=11];',
        '  edge [fontname="Helvetica", fontsize=9, arrowsize=0.7];',
    ]
    if failed:
        lines.append(f"  label={_quoted('the graph cannot be evaluated: values of leaves only')};")
    for node in nodes:
        what = node.op if node.is_expression else node.kind
        label = [
            f"#{node.id} {what}" + (f" {_shown(node.name)}" if node.name else ""),
            f"{node.dim} lane{'s' * (node.dim > 1)}",
        ]
        if node.is_undefined and node.hint is not None:
            label.append(f"hint {_lanes(node.hint)}")
        if node.id in computed:
            label.append(f"= {_lanes(computed[node.id])}")
        if gradients and node.is_parameter:
            grad = node.grad
            label.append("grad " + ("none" if grad is None else _lanes(grad)))
        shape = {
            "Constant": "plaintext",
            "Parameter": "box, style=filled, fillcolor=lightyellow",
            "Undefined": "box, style=dashed",
        }.get(node.kind, "box, style=rounded")
        lines.append(f"  n{node.id} [label={_quoted(chr(10).join(label))}, shape={shape}];")
    for node in nodes:
        inputs = node.inputs
        numbered = len(inputs) > 1 and node.op not in ("Add", "Multiply")
        for index, child in enumerate(inputs):
            attributes = f" [label={_quoted(str(index))}]" if numbered else ""
            lines.append(f"  n{child.id} -> n{node.id}{attributes};")
    lines.append("}")
    return "\n".join(lines) + "\n"


def draw(expression: Expression, path: str | os.PathLike[str], values: bool = False, gradients: bool = False) -> None:
    """Renders the graph below `expression` into an SVG, PNG or PDF file, by the
    suffix of `path`, with Graphviz's dot; RuntimeError when dot is not
    installed (to_dot gives the text without it) or fails, and then no file
    is written.

    >>> import zarnik as zk, tempfile, pathlib
    >>> p = zk.Parameter(2.0, name="p")
    >>> with tempfile.TemporaryDirectory() as folder:
    ...     zk.draw(zk.sin(p) * p, pathlib.Path(folder) / "graph.svg")
    """
    expression = _expression_of(expression, "draw")
    target = pathlib.Path(path)
    output_format = _FORMATS.get(target.suffix.lower())
    if output_format is None:
        raise ValueError(f"draw() writes .svg, .png or .pdf files, not {target.suffix or 'files without a suffix'}")
    dot = shutil.which("dot")
    if dot is None:
        raise RuntimeError(
            "draw() needs Graphviz's dot program, which is not installed (to_dot() gives the Graphviz text without it)"
        )
    text = to_dot(expression, values=values, gradients=gradients)
    # dot writes to its standard output and the file is written here: a path
    # is never on dot's command line, where one starting with "-" would be
    # read as an option.
    done = subprocess.run([dot, f"-T{output_format}"], input=text.encode(), capture_output=True)
    if done.returncode != 0:
        raise RuntimeError(f"dot failed: {done.stderr.decode(errors='replace').strip()}")
    target.write_bytes(done.stdout)
