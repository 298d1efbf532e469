"""What a graph file can make a process allocate: every node must be below an
output or a function's input, so a file makes at most one node per two of its
bytes, and loading it, through zarnik.load or pickle, with the tape or function
made of it, takes memory linear in its size."""

import os
import pickle
import subprocess
import sys
import textwrap

import pytest
from crafted_files import FUNCTION, GRAPH, TAPE, crafted, varint

import zarnik as zk

PLACEHOLDER = b"\x02"
PACK = 1


def pack_tree(depth):
    """Records of a tree of 4-lane packs over unnamed placeholders, leaves
    first: two and a quarter bytes a node, the fewest a file can give."""
    records = bytearray()
    count = 0

    def build(level):
        nonlocal count
        if level == 0:
            records.extend(PLACEHOLDER)
            count += 1
            return count - 1
        children = [build(level - 1) for _ in range(4)]
        records.extend(bytes([0x0F, PACK]) + b"".join(varint(count - 1 - c) for c in children))
        count += 1
        return count - 1

    root = build(depth)
    return bytes(records), count, root


def files(scale):
    """The files that come nearest the bound, and one of nodes that nothing uses."""
    records, count, root = pack_tree(scale)
    groups = 4 ** (scale - 1)
    packs = (PLACEHOLDER * 4 + bytes([0x0F, PACK, 3, 2, 1, 0])) * groups
    leaves = [5 * k + j for k in range(groups) for j in range(4)]
    return {
        "placeholders that nothing uses": crafted(GRAPH, 2 * count, PLACEHOLDER * 2 * count, [2 * count - 1]),
        "a tree of packs": crafted(GRAPH, count, records, [root]),
        "a tape of a tree of packs": crafted(TAPE, count, records, [root]),
        "one node as many outputs": crafted(GRAPH, 1, PLACEHOLDER, [0] * count),
        "a function of as many outputs": crafted(FUNCTION, 1, PLACEHOLDER, [0] * count, [0]),
        "a function of packs": crafted(FUNCTION, 5 * groups, packs, [5 * k + 4 for k in range(groups)], leaves),
    }


def through_load(data, tmp_path):
    path = tmp_path / "graph.zgr"
    path.write_bytes(data)
    return zk.load(path)


class _Pickled:
    """Pickles as what a tape's or function's pickle calls: the loader on bytes."""

    def __init__(self, data):
        self.data = data

    def __reduce__(self):
        return zk._compiled._load, (self.data,)


def through_pickle(data, tmp_path):
    return pickle.loads(pickle.dumps(_Pickled(data)))


def newest_id():
    return zk.Parameter(0.0).id


@pytest.mark.parametrize("read", [through_load, through_pickle])
def test_a_file_makes_at_most_one_node_per_two_bytes(read, tmp_path):
    for what, data in files(5).items():
        before = newest_id()
        try:
            loaded = read(data, tmp_path)
        except ValueError as error:
            assert str(error).startswith("cannot load graph: "), what
            assert newest_id() == before + 1, f"{what}: refused after making nodes"
            continue
        made = newest_id() - before - 1
        assert made > 0 and 2 * made <= len(data) - 30, f"{what}: {made} nodes of {len(data)} bytes"
        del loaded


# Loads one file in a fresh interpreter, after a small one (so that what the
# first load imports is not counted), and reports how far the peak resident
# memory rose above what the process held before. The peak is the kernel's
# (VmHWM), reset first: getrusage's would also count the imports' peak and
# the process this one was forked from.
MEASURE = textwrap.dedent("""
    import io, sys
    import zarnik as zk
    x = zk.Undefined()
    zk.load(io.BytesIO(zk._compiled._save(zk.function(x, [x * 2.0, -x]))))
    with open(sys.argv[1], "rb") as file:
        data = file.read()

    def kib(field):
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak becomes the current size
    before = kib("VmRSS")
    try:
        loaded = zk.load(io.BytesIO(data))
    except ValueError:
        pass
    print((kib("VmHWM") - before) * 1024)
""")


@pytest.mark.not_under_address_sanitizer(reason="the address sanitizer's shadow and quarantine change the memory used")
@pytest.mark.parametrize("what", list(files(1)))
def test_loading_a_file_and_compiling_it_takes_memory_linear_in_its_size(what, tmp_path):
    # Files of 90 to 400 kB. A node is a heap block of 272 bytes and costs the
    # file at least two bytes, an output a Python object of some 170 bytes and
    # one byte: with the loader's tables and a tape's or function's
    # compilation, the worst of these take 130 to 175 bytes per byte, where
    # a file of nodes that nothing uses took 290.
    data = files(8)[what]
    path = tmp_path / "graph.zgr"
    path.write_bytes(data)
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(
            filter(None, [os.path.dirname(os.path.dirname(zk.__file__)), os.environ.get("PYTHONPATH")])
        ),
    )
    result = subprocess.run(
        [sys.executable, "-c", MEASURE, str(path)], capture_output=True, text=True, check=True, env=env
    )
    growth = int(result.stdout)
    assert growth <= 200 * len(data) + 4 * 2**20, f"{what}: {growth / 2**20:.1f} MiB for {len(data)} bytes"
