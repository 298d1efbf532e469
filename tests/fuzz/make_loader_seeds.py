"""Writes the loader fuzzer's seed corpus: graph files of every content and
kind of record, each behind the harness's first byte (1: the length and the
checksum are repaired after mutation, 0: they are not).

Run once with the release build importable to regenerate loader_corpus/:
    tools/dev run env PYTHONPATH=build/root/release/python python3.14 tests/fuzz/make_loader_seeds.py
"""

import pathlib
import struct
import sys

import zarnik as zk

# The crafted files are written as the loader tests write them.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
from crafted_files import crafted, varint  # noqa: E402

CORPUS = pathlib.Path(__file__).with_name("loader_corpus")


def lanes(*values):
    return b"".join(struct.pack("<d", v) for v in values)


def saved(obj):
    return zk._compiled._save(obj)


def seeds():
    p = zk.Parameter(1.5, -2.0, name="p")
    u = zk.Undefined(hint=[0.5], name="u")
    x = zk.Undefined(dim=3, name="x")
    out = (p * 3.0)[1] + u
    yield "expression", saved(out * zk.sin(out))
    yield "listed", saved([out, p, zk.vec3(u, out, u) * x])
    yield "tape", saved(zk.compile(zk.cos(p) / (p - 1.0)))
    yield "function", saved(zk.function([u, p], [out, zk.vec2(u, out)]))
    yield "function-single", saved(zk.function([x], -x + x[2]))
    diamond = p
    for _ in range(12):
        diamond = diamond * diamond
    yield "diamond", saved(diamond)
    # Exact forms: a constant of 3 lanes holding 1 (value lane count 1, four
    # lanes), an Add of dimensions 2 and 3, a Component of lane 7 and an
    # expression made by make_node with a name and a hint.
    records = (
        bytes([0x48, 1])
        + lanes(1.5, 0, 0, float("nan"))  # node 0: Constant<3>, exact
        + bytes([0x05])
        + lanes(2.0, 3.0)  # node 1: Parameter<2>
        + bytes([0x4B, 3, 2])
        + varint(0 << 1 | 1)
        + b"\x00\x01"  # node 2: Add<3>, exact, index -1
        + bytes([0x43, 2, 1])
        + varint(7 << 1)
        + b"\x01"  # node 3: Component<1> of node 1, lane 7
        + bytes([0x77, 0, 0])
        + varint(1)
        + varint(1)
        + b"e"
        + lanes(1, 2, 0, 0)
    )  # node 4
    yield "exact", crafted(1, 5, records, [2, 3, 4], flags=1)


def main():
    CORPUS.mkdir(exist_ok=True)
    for name, data in seeds():
        zk._compiled._load(data)  # every seed loads
        (CORPUS / f"{name}-repaired").write_bytes(b"\x01" + data)
        (CORPUS / f"{name}-as-is").write_bytes(b"\x00" + data)


if __name__ == "__main__":
    main()
