"""The package's native classes, Tape and Function, and the binding library's
common base class below them and Expression: no instance that holds nothing
comes into being by any route, and what cannot be pickled is refused with a
TypeError, never by aborting the process. Each check runs in a process of its
own: before these refusals, the uses crashed the interpreter."""

import subprocess
import sys

import pytest

# Every way of making a Tape or a Function without going through compile() or
# function(), and every use of one should it come into being. A copy or a
# pickle may be refused or give a working object; an object from any other
# route must be refused.
UNINITIALISED = r"""
import copy, pickle
import zarnik as zk

p = zk.Parameter(2.0, name="p")
x = zk.Undefined(name="x")
made = {"Tape": zk.compile(p * p), "Function": zk.function([x], [x * p])}

def same(a, b):
    if isinstance(a, zk.Tape):
        return type(b) is zk.Tape and a.eval() == b.eval() and len(a) == len(b)
    return type(b) is zk.Function and a(3.0) == b(3.0) and a.input_lanes == b.input_lanes

for name, cls in [("Tape", zk.Tape), ("Function", zk.Function)]:
    class Sub(cls):
        pass
    original = made[name]
    routes = {
        "__new__": lambda: cls.__new__(cls),
        "the class": lambda: cls(),
        "the base class's __new__": lambda: cls.__mro__[1].__new__(cls),
        "object.__new__": lambda: object.__new__(cls),
        "a subclass": lambda: Sub(),
        "the subclass's __new__": lambda: Sub.__new__(Sub),
    }
    copies = {"copy": lambda: copy.copy(original), "deepcopy": lambda: copy.deepcopy(original)}
    copies.update({f"pickle {protocol}": (lambda protocol=protocol: pickle.loads(pickle.dumps(original, protocol)))
                   for protocol in range(pickle.HIGHEST_PROTOCOL + 1)})
    for route, make in {**routes, **copies}.items():
        try:
            made_object = make()
        except TypeError as error:
            print(f"{name} {route}: TypeError: {error}")
            continue
        if route in copies and same(original, made_object):
            print(f"{name} {route}: a working copy")
            continue
        print(f"{name} {route}: made an object")
"""


def test_no_tape_or_function_without_a_program_comes_into_being():
    result = subprocess.run([sys.executable, "-c", UNINITIALISED], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 2 * (6 + 2 + 6), result.stdout
    for name in ("Tape", "Function"):
        for route, named in [
            ("__new__", f"zarnik._compiled.{name}"),
            ("the class", f"zarnik._compiled.{name}"),
            ("a subclass", "Sub"),
            ("the subclass's __new__", "Sub"),
        ]:
            assert f"{name} {route}: TypeError: {named}: No constructor defined!" in lines
    for line in lines:
        assert ": TypeError: " in line or line.endswith(": a working copy"), line


# Protocols 0 and 1 reach the common base class through copyreg; the text of
# their refusal is the one protocols 2 and up give.
PROTOCOLS = r"""
import pickle, sys
import _zarnik as zk
objects = {"Expression": zk.Parameter(1.0)}
if sys.argv[1] == "package":
    import zarnik
    x = zarnik.Undefined()
    objects = {"Tape": zarnik.compile(x), "Function": zarnik.function(x, x)}

def outcome(call):
    try:
        call()
    except TypeError as error:
        return f"TypeError: {error}"
    return "pickled"

for name, value in objects.items():
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        print(name, protocol, outcome(lambda: pickle.dumps(value, protocol)))
base = zk.Expression.__mro__[1]
class OwnSubclass(base):
    pass
for route, call in [("base()", lambda: base()), ("base(object)", lambda: base(objects.popitem()[1])),
                    ("base.__new__(base)", lambda: base.__new__(base)), ("subclass()", lambda: OwnSubclass())]:
    print("base", route, outcome(call))
"""


@pytest.mark.parametrize("modules", ["_zarnik", "package"])
def test_old_pickle_protocols_and_the_common_base_class_refuse_cleanly(modules):
    result = subprocess.run([sys.executable, "-c", PROTOCOLS, modules], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    pickles = [line.split(" ", 2) for line in result.stdout.splitlines() if not line.startswith("base ")]
    by_class = {}
    for name, protocol, said in pickles:
        by_class.setdefault(name, {})[int(protocol)] = said
    assert set(by_class) == ({"Expression"} if modules == "_zarnik" else {"Tape", "Function"})
    for name, said in by_class.items():
        if said[2] == "pickled":  # a class that learns to pickle must do so with every protocol
            assert set(said.values()) == {"pickled"}, said
        else:
            qualified = "_zarnik.Expression" if name == "Expression" else f"zarnik._compiled.{name}"
            assert set(said.values()) == {f"TypeError: cannot pickle '{qualified}' object"}, said
    pickled_by_base = "_zarnik.Expression" if modules == "_zarnik" else "zarnik._compiled.Function"
    base = [line for line in result.stdout.splitlines() if line.startswith("base ")]
    assert base == [
        "base base() TypeError: pybind11_builtins.pybind11_object: No constructor defined!",
        f"base base(object) TypeError: cannot pickle '{pickled_by_base}' object",
        "base base.__new__(base) TypeError: pybind11_builtins.pybind11_object: No constructor defined!",
        "base subclass() TypeError: OwnSubclass: No constructor defined!",
    ], result.stdout
