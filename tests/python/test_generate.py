"""C code generated from compiled functions (Function.generate): compiled with
the system's C compiler and loaded with ctypes, it gives the bits of the
function's own calls, its Jacobians and gradients, on random graphs over every
operation; it fails with an error code and the failing row where a call
raises; its files are the same bytes each time; a large graph is split into
several files that still agree."""

import ctypes
import math
import os
import pathlib
import platform
import random
import re
import shutil
import struct
import subprocess

import numpy as np
import pytest

import zarnik as zk
from random_graphs import BINARY, UNARY, build_graph

COMPILER = shutil.which("cc") or shutil.which("gcc")
pytestmark = pytest.mark.skipif(COMPILER is None, reason="needs a C compiler")
FLAGS = ["-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic", "-fPIC", "-shared"]
DOUBLES = ctypes.POINTER(ctypes.c_double)
NOT_FINITE = 1


def bits(values):
    return [struct.pack("<d", float(v)) for v in np.ravel(values)]


def run_compiler(*args, **options):
    """The system's compiler runs as itself: not with the address sanitizer's
    runtime that the sanitizer stage preloads into the tests."""
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    return subprocess.run(*args, env=env, **options)


def compile_library(folder, sources, optimisation="-O2"):
    library = folder / "generated.so"
    run_compiler([COMPILER, optimisation, *FLAGS, "-o", str(library), *map(str, sources), "-lm"], check=True)
    return ctypes.CDLL(str(library))


def doubles(values):
    values = [float(v) for v in values] or [0.0]
    return (ctypes.c_double * len(values))(*values)


class Generated:
    """The entry points of one generated function, called as the package's methods are."""

    def __init__(self, library, name, f, wrt_lanes):
        self.library, self.name, self.f, self.wrt_lanes = library, name, f, wrt_lanes
        self.work = (ctypes.c_double * getattr(library, f"{name}_work_size")())()
        self.params = doubles(v for p in f.parameters for v in p.value)

    def entry(self, suffix=""):
        function = getattr(self.library, self.name + suffix)
        function.restype = ctypes.c_int
        return function

    def inputs(self, values):
        arrays = [doubles(np.ravel(v)) for v in values]
        return arrays, (DOUBLES * max(len(arrays), 1))(*(ctypes.cast(a, DOUBLES) for a in arrays))

    def outputs(self):
        arrays = [(ctypes.c_double * o.dim)() for o in self.f.outputs]
        return arrays, (DOUBLES * len(arrays))(*(ctypes.cast(a, DOUBLES) for a in arrays))

    def __call__(self, *values):
        keep, inputs = self.inputs(values)
        lanes, outputs = self.outputs()
        code = self.entry()(inputs, self.params, outputs, self.work)
        return code, [list(o) for o in lanes]

    def jacobian(self, *values):
        keep, inputs = self.inputs(values)
        lanes, outputs = self.outputs()
        jacobian = (ctypes.c_double * max(self.f.output_lanes * self.wrt_lanes, 1))()
        code = self.entry("_jacobian")(inputs, self.params, outputs, jacobian, self.work)
        return code, [list(o) for o in lanes], list(jacobian)[: self.f.output_lanes * self.wrt_lanes]

    def gradient(self, *values):
        keep, inputs = self.inputs(values)
        value = ctypes.c_double()
        gradient = (ctypes.c_double * max(self.wrt_lanes, 1))()
        code = self.entry("_gradient")(inputs, self.params, ctypes.byref(value), gradient, self.work)
        return code, value.value, list(gradient)[: self.wrt_lanes]


def call_values(library, name, values, output_dims, params):
    """A generated function's value entry point (also a derivative's, NAME_jvp
    and NAME_hvp): its code and the output lanes."""
    arrays = [doubles(np.ravel(v)) for v in values]
    inputs = (DOUBLES * max(len(arrays), 1))(*(ctypes.cast(a, DOUBLES) for a in arrays))
    lanes = [(ctypes.c_double * dim)() for dim in output_dims]
    outputs = (DOUBLES * len(lanes))(*(ctypes.cast(a, DOUBLES) for a in lanes))
    work = (ctypes.c_double * getattr(library, f"{name}_work_size")())()
    code = getattr(library, name)(inputs, params, outputs, work)
    return code, [list(o) for o in lanes]


def random_function(rng):
    """A random graph over every operation (random_graphs.py), as a function of
    some of its parameters, the others read as parameters; None when the
    graph has no node to compile."""
    names = ["+", "-", "*", "/", "neg", "sin", "cos", "component", "vec", "number", "fn", "fn", "fn2", "fn2"]
    number = lambda: round(rng.uniform(-3.0, 3.0), 3)
    leaves = [
        (rng.choice(["Parameter", "Constant"]), [number() for _ in range(rng.randint(1, 4))])
        for _ in range(rng.randint(1, 4))
    ]
    operations = [
        (rng.choice(names), rng.randint(0, 1000), rng.randint(0, 1000), rng.randint(0, 1000), number())
        for _ in range(rng.randint(1, 16))
    ]
    builder = build_graph(leaves, operations)
    parameters = [node.expression for node in builder.parameters]
    inputs = [p for p in parameters if rng.random() < 0.7]
    outputs = [builder.nodes[-1].expression, builder.nodes[len(builder.nodes) // 2].expression]
    if rng.random() < 0.3:
        outputs = outputs[:1]
    f = zk.function(inputs, outputs)
    at = [[v + rng.uniform(-0.5, 0.5) for v in p.value] for p in inputs]
    wrt = [k for k in range(len(inputs)) if rng.random() < 0.6] if inputs else []
    rng.shuffle(wrt)
    return f, at, (None if rng.random() < 0.5 else wrt)


def outcome(f, at):
    """f(*at), or None where it refuses a value that is not finite."""
    try:
        return f(*at)
    except ValueError as error:
        assert "must be finite" in str(error)
        return None


def test_random_graphs_give_the_calls_bits(tmp_path):
    rng = random.Random(20261211)
    cases = []
    for index in range(80):
        f, at, wrt = random_function(rng)
        gradient = f.output_lanes == 1
        derivatives = (
            ("jacobian", "jvp") + (("gradient",) if gradient else ()) + (("hvp",) if gradient and f.inputs else ())
        )
        header, sources = f.generate(tmp_path, f"g{index}", wrt=wrt, derivatives=derivatives)
        cases.append((f, at, wrt, sources))
    library = compile_library(tmp_path, [s for case in cases for s in case[3]])
    # Operations of every kind were generated, among them the ones written with helpers.
    text = "".join(s.read_text() for case in cases for s in case[3])
    assert all(helper in text for helper in ("zk_maximum(", "zk_step(", "zk_gate(", "zk_sign(", "pow(", "cbrt("))
    checked = failed = 0
    derived = {"jvp": 0, "hvp": 0}  # the derivatives' calls compared
    for index, (f, at, wrt, _) in enumerate(cases):
        positions = list(range(len(f.inputs))) if wrt is None else wrt
        wrt_lanes = sum(f.inputs[k].dim for k in positions)
        generated = Generated(library, f"g{index}", f, wrt_lanes)
        expected = outcome(f, at)
        code, values = generated(*at)
        if expected is None:
            assert code == NOT_FINITE
            assert generated.jacobian(*at)[0] == NOT_FINITE
            failed += 1
            continue
        assert code == 0
        answers = [expected] if isinstance(expected[0], float) else list(expected)
        assert [bits(v) for v in values] == [bits(v) for v in answers]
        jacobian = f.jacobian(*at, wrt=wrt)
        code, values, ours = generated.jacobian(*at)
        assert code == 0 and [bits(v) for v in values] == [bits(v) for v in answers]
        assert bits(ours) == bits(jacobian)
        if f.output_lanes == 1:
            value, gradient = f.value_and_grad(*at)
            code, our_value, our_gradient = generated.gradient(*at)
            assert code == 0 and bits([our_value]) == bits([value])
            assert bits(our_gradient) == bits(jacobian)
        # The derivatives that are functions of their own: in a direction, and the Hessian times a vector.
        tangents = [[rng.uniform(-1.0, 1.0) for _ in value] for value in at]
        dims = [o.dim for o in f.outputs]
        expected = outcome(f.jvp, (at, tangents))
        code, lanes = call_values(library, f"g{index}_jvp", at + tangents, dims + dims, generated.params)
        if expected is None:
            assert code == NOT_FINITE
        else:
            answers = [expected[0], expected[1]] if len(dims) == 1 else [*expected[0], *expected[1]]
            assert code == 0 and [bits(v) for v in lanes] == [bits(v) for v in answers]
            derived["jvp"] += 1
        if f.output_lanes == 1 and f.inputs:
            vector = [[rng.uniform(-1.0, 1.0) for _ in value] for value in at]
            expected = outcome(f.hvp, (at, np.concatenate([np.ravel(v) for v in vector])))
            input_dims = [p.dim for p in f.inputs]
            code, lanes = call_values(library, f"g{index}_hvp", at + vector, input_dims, generated.params)
            if expected is None:
                assert code == NOT_FINITE
            else:
                assert code == 0 and bits([v for lane in lanes for v in lane]) == bits(expected)
                derived["hvp"] += 1
        checked += 1
    assert checked >= 40 and failed >= 3  # both outcomes are exercised
    assert derived["jvp"] >= 30 and derived["hvp"] >= 3, derived


def test_every_elementary_function_and_its_slopes(tmp_path):
    """Each function at points inside its domain and at its kinks, lane by lane."""
    x, y = zk.Undefined(dim=4, name="x"), zk.Undefined(dim=4, name="y")
    outputs = [getattr(zk, name)(x) for name in sorted(UNARY)]
    outputs += [getattr(zk, name)(x, y) for name in sorted(BINARY)]
    outputs += [x * y, x / y, x - y, -x, x + y, zk.sin(x), zk.cos(y)]
    f = zk.function([x, y], outputs)
    # Their sum, a scalar: its gradient and the Hessian times a vector.
    total = zk.Constant(0.0)
    for output in outputs:
        total = total + zk.sum(output)
    loss = zk.function([x, y], total)
    _, sources = f.generate(tmp_path, "elementary", derivatives=("jacobian", "jvp"))
    _, more = loss.generate(tmp_path, "loss", derivatives=("gradient", "hvp"))
    library = compile_library(tmp_path, sources + more)
    generated = Generated(library, "elementary", f, 8)
    summed = Generated(library, "loss", loss, 8)
    points = [
        ([0.5, 0.25, 0.75, 0.125], [0.5, 2.0, 0.3, 1.5]),
        ([0.5, 0.5, 0.25, 0.9], [0.5, 0.5, 1.0, 0.9]),  # ties of minimum and maximum
        ([1.0, 1e-300, 0.5, 1.0], [2.0, 0.3, 2.5, -1.0]),  # asin and acos at 1 (infinite slopes), a tiny base
        ([-0.5, 0.5, 0.5, 0.5], [1.0, 1.0, 1.0, 1.0]),  # log of a negative lane: the call fails
    ]
    compared = []
    for at in points:
        expected = outcome(f, at)
        code, values, jacobian = generated.jacobian(*at)
        compared.append(expected is not None)
        if expected is None:
            assert code == NOT_FINITE
            continue
        assert code == 0
        assert [bits(v) for v in values] == [bits(v) for v in expected]
        assert bits(jacobian) == bits(f.jacobian(*at))
        tangent = [[0.25, -0.5, 1.0, 0.125], [1.0, 0.5, -0.25, 2.0]]
        code, lanes = call_values(library, "elementary_jvp", [*at, *tangent], [4] * 2 * len(outputs), None)
        expected = outcome(f.jvp, (at, tangent))
        assert code == (0 if expected is not None else NOT_FINITE)
        if expected is not None:
            assert [bits(v) for v in lanes] == [bits(v) for v in [*expected[0], *expected[1]]]
        code, value, gradient = summed.gradient(*at)
        assert code == 0 and bits([value]) == bits(loss(*at)) and bits(gradient) == bits(loss.value_and_grad(*at)[1])
        code, lanes = call_values(library, "loss_hvp", [*at, *tangent], [4, 4], None)
        expected = outcome(loss.hvp, (at, np.ravel(tangent)))
        assert code == (0 if expected is not None else NOT_FINITE)
        if expected is not None:
            assert bits(np.ravel(lanes)) == bits(expected)
    assert compared == [True, True, True, False]


def test_parameters_are_read_from_the_callers_array_in_the_functions_order(tmp_path):
    """The parameters that are not inputs, as f.parameters lists them, for the
    function and for its jvp and hvp, whose graphs reach them in other orders."""
    x = zk.Undefined(dim=2, name="x")
    a, b, c = zk.Parameter(0.5, -1.5, name="a"), zk.Parameter(2.0, name="b"), zk.Parameter(0.25, 3.0, 1.0, name="c")
    y = c.z * b + zk.sin(zk.dot(x, a)) * c.x + b * b * x.y + zk.exp(c.y * x.x)
    f = zk.function([x], y)
    assert [p.name for p in f.parameters] == ["c", "b", "a"]
    _, sources = f.generate(tmp_path, "params", derivatives=("gradient", "jvp", "hvp"))
    library = compile_library(tmp_path, sources)
    generated = Generated(library, "params", f, 2)
    at, direction = [[0.3, -0.7]], [[1.0, 0.5]]
    code, value, gradient = generated.gradient(*at)
    expected_value, expected_gradient = f.value_and_grad(*at)
    assert code == 0 and bits([value]) == bits([expected_value]) and bits(gradient) == bits(expected_gradient)
    code, lanes = call_values(library, "params_jvp", at + direction, [1, 1], generated.params)
    assert code == 0 and [bits(v) for v in lanes] == [bits(v) for v in f.jvp(at, direction)]
    code, lanes = call_values(library, "params_hvp", at + direction, [2], generated.params)
    assert code == 0 and bits(lanes[0]) == bits(f.hvp(at, direction[0]))


def test_adjoints_keep_the_sweeps_signed_zeros(tmp_path):
    """An adjoint starts at +0.0 and a contribution of -0.0 is added to it, not
    stored as it is: the Jacobian has the interpreter's +0.0."""
    x, y = zk.Undefined(dim=2, name="x"), zk.Undefined(name="y")
    f = zk.function([x, y], [x * y, zk.vec2(x.y * y, -(x.x * y))])
    _, sources = f.generate(tmp_path, "zeros")
    generated = Generated(compile_library(tmp_path, sources), "zeros", f, 3)
    for at in ([[0.0, -0.0], -0.0], [[-0.0, 0.0], 0.0], [[1.5, -0.0], -0.0]):
        code, values, jacobian = generated.jacobian(*at)
        assert code == 0
        assert [bits(v) for v in values] == [bits(v) for v in f(*at)]
        assert bits(jacobian) == bits(f.jacobian(*at))


def test_rows_fail_at_the_first_row_a_call_refuses(tmp_path):
    x, p = zk.Undefined(name="x"), zk.Parameter(2.0, name="p")
    f = zk.function([x], [zk.log(x) * p, x * x])
    _, sources = f.generate(tmp_path, "logs")
    library = compile_library(tmp_path, sources)
    work = (ctypes.c_double * library.logs_work_size())()
    xs = doubles([1.0, 2.0, -1.0, 3.0])
    inputs = (DOUBLES * 1)(ctypes.cast(xs, DOUBLES))
    first, second = doubles([7.0] * 4), doubles([7.0] * 4)
    outputs = (DOUBLES * 2)(ctypes.cast(first, DOUBLES), ctypes.cast(second, DOUBLES))
    row = ctypes.c_size_t(99)
    with pytest.raises(ValueError, match=r"\(row 2\)"):
        f.batch(np.array(list(xs)))
    code = library.logs_rows(ctypes.c_size_t(4), inputs, None, doubles([2.0]), outputs, None, work, ctypes.byref(row))
    assert (code, row.value) == (NOT_FINITE, 2)
    assert list(first)[:2] == [math.log(1.0) * 2.0, math.log(2.0) * 2.0] and list(first)[2:] == [7.0, 7.0]
    # A stride of 0 gives every row the same lanes.
    strides = (ctypes.c_size_t * 1)(0)
    code = library.logs_rows(ctypes.c_size_t(3), inputs, strides, doubles([2.0]), outputs, None, work, None)
    assert code == 0 and list(second)[:3] == [1.0, 1.0, 1.0]
    # A lane that is not finite, given as an input or as a parameter, is refused as a call refuses it.
    for x_lanes, parameters in (([math.nan], [2.0]), ([1.0], [math.inf])):
        nan = doubles(x_lanes)
        code = library.logs((DOUBLES * 1)(ctypes.cast(nan, DOUBLES)), doubles(parameters), outputs, work)
        assert code == NOT_FINITE


def test_the_code_refuses_flags_that_change_its_rounding(tmp_path):
    """Fast-math stops the build with the header's #error; contraction into
    fused multiply-adds is off even where the compiler's mode and the
    processor's instructions would allow it (GCC's GNU modes contract by
    default)."""
    x = zk.Undefined(dim=3, name="x")
    f = zk.function([x], [x.x * x.y + x.z, zk.sin(x.x) * x.y - x.z * x.z])
    _, sources = f.generate(tmp_path, "rounding")
    for flags, text in ((["-ffast-math"], "-ffast-math"), (["-Ofast"], "-Ofast"), (["-ffinite-math-only"], "finite")):
        run = run_compiler(
            [COMPILER, "-std=c99", *flags, "-c", str(sources[1]), "-o", str(tmp_path / "x.o")],
            capture_output=True,
            text=True,
        )
        assert run.returncode != 0 and "#error" in run.stderr and text in run.stderr
    if platform.machine() not in ("x86_64", "AMD64"):
        return
    compilers = [COMPILER] + ([shutil.which("clang")] if shutil.which("clang") else [])
    for compiler in compilers:
        for source in sources:
            assembly = run_compiler(
                [compiler, "-std=gnu99", "-O2", "-mfma", "-S", "-o", "-", str(source)],
                capture_output=True,
                text=True,
                check=True,
            ).stdout
            assert not re.search(r"vf(n)?m(add|sub)", assembly), (compiler, source.name)


def test_generation_is_deterministic(tmp_path):
    def generate(folder):
        x = zk.Undefined(dim=3, name="x")
        w = zk.Parameter(0.25, -1.5, 2.0, name="w")
        f = zk.function([x], zk.sum(zk.tanh(x * w) * zk.exp(-x)))
        header, sources = f.generate(tmp_path / folder, "model", derivatives=("jacobian", "gradient"))
        return (
            [header.read_bytes()]
            + [(tmp_path / folder / "model_parts.h").read_bytes()]
            + [s.read_bytes() for s in sources]
        )

    first, second = generate("a"), generate("b")
    assert first == second
    # Reentrant: nothing allocated, no state kept (a static is a constant table or a function).
    text = b"".join(first).decode()
    assert "alloc(" not in text
    assert all(re.match(r"static (const |inline |(int|void) \w+\()", line) for line in re.findall(r"static .*", text))
    assert b'#define MODEL_ZARNIK_VERSION "' + zk.build_info()["version"].encode() in first[0]


def test_a_large_graph_is_split_into_files_that_agree(tmp_path):
    rng = random.Random(7)
    x = zk.Undefined(dim=2, name="x")
    total = zk.Constant(0.0)
    for _ in range(3000):
        total = total + zk.sin(x.x * rng.uniform(0.5, 1.5)) * x.y
    f = zk.function([x], total)
    header, sources = f.generate(tmp_path, "large", derivatives=("jacobian", "gradient"))
    # Functions of at most 150 statements, at most 32 to a file, every file but the entry points' holding some.
    parts = [len(re.findall(r"\nvoid large_part_\d+\(double \*restrict w\) \{", s.read_text())) for s in sources[1:]]
    assert len(parts) >= 2 and all(1 <= count <= 32 for count in parts)
    lengths = [len(function.split("\n}\n")[0].splitlines()) for function in sources[1].read_text().split("\nvoid ")[1:]]
    assert max(lengths) <= 160
    assert all(f'"{s.name}"' in header.read_text() for s in sources)  # the header lists what to compile
    library = compile_library(tmp_path, sources, optimisation="-O0")
    generated = Generated(library, "large", f, 2)
    at = [0.3, -0.7]
    code, value, gradient = generated.gradient(at)
    expected_value, expected_gradient = f.value_and_grad(at)
    assert code == 0 and bits([value]) == bits([expected_value]) and bits(gradient) == bits(expected_gradient)


def test_what_cannot_be_generated_is_refused(tmp_path):
    x, y = zk.Undefined(name="x"), zk.Undefined(dim=2, name="y")
    f = zk.function([x, y], y * x)
    cases = [
        (dict(name="not an identifier"), ValueError, "C identifier"),
        (dict(name="g", derivatives=("gradient",)), ValueError, "one scalar output"),
        (dict(name="g", derivatives=("hessian",)), ValueError, "unknown derivative"),
        (dict(name="g", derivatives="jacobian"), TypeError, "sequence of names"),
        (dict(name="g", wrt=[1, 1]), ValueError, None),
    ]
    for keywords, error, text in cases:
        with pytest.raises(error) as raised:
            f.generate(tmp_path, **keywords)
        assert text is None or text in str(raised.value)
    assert list(tmp_path.iterdir()) == []


def test_where_takes_the_calls_branch_and_failures(tmp_path):
    """The branch not taken may be non-finite and passes back an exact zero;
    a failure that an operation below a branch hides (exp(log(0)) = 0) still
    fails the call that takes that branch, in generated code as in calls."""
    x = zk.Undefined(name="x")
    safe = zk.where(zk.greater(x, 0.0), zk.log(x) * x, 0.0)
    hidden = zk.where(zk.less(x, 1.0), zk.exp(zk.log(x)), 5.0)
    f = zk.function([x], [safe, hidden, zk.where(x, x * x, -x)])
    _, sources = f.generate(tmp_path, "branches")
    generated = Generated(compile_library(tmp_path, sources), "branches", f, 1)
    for at in (0.5, 2.0, -0.0, math.inf):
        code, values, jacobian = generated.jacobian(at)
        expected = outcome(f, [at])
        if expected is None:
            assert code == NOT_FINITE, at
            continue
        assert code == 0 and [bits(v) for v in values] == [bits(v) for v in expected], at
        assert bits(jacobian) == bits(f.jacobian(at)), at
    # At 0 the taken branch of `hidden` is exp(log(0)): both refuse.
    assert outcome(f, [0.0]) is None and generated(0.0)[0] == NOT_FINITE


def test_constants_reaching_calls_give_the_c_librarys_bits(tmp_path):
    """A compiler rewrites a call whose operands it knows (pow(x, -1.0) as
    1.0 / x, pow(x, 2.0) as x * x) or computes it itself, correctly rounded
    (log(c) of a constant base's slope, sin(c) of a constant lane a Pack
    copies), even at -O0: where the C library rounds otherwise the code must
    still give the interpreter's bits. The points are ones where glibc's
    pow, log and sin differ from those rewritings."""
    x = zk.Undefined(dim=2, name="x")
    tie = float.fromhex("0x1.6eb2584p+0")  # x * x is a tie that pow rounds the other way
    near = float.fromhex("0x1.55fbe804a011cp+0")  # pow(near, -1) is not 1 / near
    cases = [
        (zk.pow(x, -1.0), [near, tie]),
        (zk.pow(x, 2.0), [tie, near]),
        (zk.pow(x, zk.vec2(x.x, -1.0)), [0.5, near]),
        (zk.pow(float.fromhex("0x1.abccc6c486d07p+1"), x), [0.5, 1.5]),  # log of the base, misrounded by glibc
        (zk.sin(zk.vec2(x.x, float.fromhex("0x1.da9024d8275d6p+1"))) * x.y, [0.5, 1.5]),  # likewise sin
    ]
    f = zk.function([x], [output for output, _ in cases])
    _, sources = f.generate(tmp_path, "calls")
    compilers = [COMPILER] + ([shutil.which("clang")] if shutil.which("clang") else [])
    for compiler in compilers:
        for optimisation in ("-O0", "-O2"):
            library = tmp_path / f"calls{len(list(tmp_path.iterdir()))}.so"
            command = [compiler, optimisation, *FLAGS, "-o", str(library), *map(str, sources), "-lm"]
            run_compiler(command, check=True)
            generated = Generated(ctypes.CDLL(str(library)), "calls", f, 2)
            for index, (_, at) in enumerate(cases):
                code, values, jacobian = generated.jacobian(at)
                assert code == 0
                assert bits(values[index]) == bits(f(at)[index]), (compiler, optimisation, index)
                rows = slice(2 * index * 2, 2 * index * 2 + 4)
                assert bits(jacobian[rows]) == bits(np.ravel(f.jacobian(at))[rows]), (compiler, optimisation, index)


def test_names_the_c_code_cannot_declare_are_refused(tmp_path):
    """A keyword of C or C++, a name of the headers the code includes, a
    built-in of the compilers or a helper of the code would not compile; a
    name that merely starts like one does."""
    x = zk.Undefined(dim=2, name="x")
    f = zk.function([x], zk.sin(x.x) * x.y)
    reserved = ["int", "restrict", "class", "sin", "powf", "y0", "fabs", "isfinite", "size_t", "NULL", "INFINITY"]
    for name in reserved + ["exit", "main", "zk_sign", "DBL_MAX", "M_PI", "_Bool", "__x"]:
        with pytest.raises(ValueError, match="reserved"):
            f.generate(tmp_path, name)
    assert list(tmp_path.iterdir()) == []
    names = ["sine", "power", "int_", "classy", "y", "main_model", "zk", "zk_signs", "m_pi", "_x", "a" * 64]
    sources = [s for name in names for s in f.generate(tmp_path, name, derivatives=("jacobian", "jvp"))[1]]
    compile_library(tmp_path, sources)


def test_a_generation_that_cannot_write_a_file_changes_none(tmp_path):
    """The files replace the old ones together or not at all, and nothing is
    left beside them: a mix of two generations would not compute either."""
    x = zk.Undefined(dim=2, name="x")
    zk.function([x], zk.sin(x.x) * x.y).generate(tmp_path, "model", derivatives=("jacobian", "jvp"))
    (tmp_path / "model_jvp_1.c").unlink()
    (tmp_path / "model_jvp_1.c").mkdir()  # in the way of the last file written
    before = {path.name: path.read_bytes() for path in tmp_path.iterdir() if path.is_file()}
    with pytest.raises(RuntimeError, match="model_jvp_1.c"):
        zk.function([x], zk.cos(x.x) * x.y).generate(tmp_path, "model", derivatives=("jacobian", "jvp"))
    assert {path.name: path.read_bytes() for path in tmp_path.iterdir() if path.is_file()} == before
    with pytest.raises(RuntimeError, match="folder"):
        zk.function([x], x.x).generate(tmp_path / "model.c" / "below", "model")
    # A link stays, the file it names replaced; a replaced file keeps its permission bits.
    f = zk.function([x], x.x * x.y)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "linked.h").write_text("old")
    (tmp_path / "linked.h").symlink_to(elsewhere / "linked.h")
    (tmp_path / "linked.c").write_text("old")
    (tmp_path / "linked.c").chmod(0o640)
    header, sources = f.generate(tmp_path, "linked")
    assert header.is_symlink() and (elsewhere / "linked.h").read_text().startswith("/* Generated")
    assert (sources[0].stat().st_mode & 0o777) == 0o640 and sources[0].read_text().startswith("/* Generated")
    assert not [path for path in tmp_path.iterdir() if path.name.startswith(".")]
    # A folder whose name is not UTF-8, as Linux allows, given as a path or as bytes.
    for folder in (tmp_path / os.fsdecode(b"caf\xe9"), os.fsencode(tmp_path / "bytes")):
        header, sources = zk.function([x], x.x).generate(folder, "model")
        assert header == pathlib.Path(os.fsdecode(folder)) / "model.h" and all(s.is_file() for s in (header, *sources))
