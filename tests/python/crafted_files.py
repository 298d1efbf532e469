"""Graph files written byte by byte, for records and sizes that no saver
writes: shared by the loader's bounds tests and the loader fuzzer's seeds."""

import struct
import zlib

MAGIC = b"\x89ZGR\r\n\x1a\n"
GRAPH, TAPE, FUNCTION = 1, 2, 3


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def crafted(content, nodes, records, outputs, inputs=(), *, flags=None):
    """The file of `nodes` node records, then the roots, with its length and
    checksum; the outputs are listed when there are several unless `flags`
    says otherwise."""
    body = records + varint(len(outputs)) + b"".join(map(varint, outputs))
    body += varint(len(inputs)) + b"".join(map(varint, inputs))
    if flags is None:
        flags = int(len(outputs) > 1)
    head = MAGIC + struct.pack("<HBBQI", 1, content, flags, 24 + len(body) + 4, nodes)
    return head + body + struct.pack("<I", zlib.crc32(head + body))
