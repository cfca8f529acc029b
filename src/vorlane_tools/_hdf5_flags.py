"""Clearing the mark an HDF5 file keeps while a writer has it open, when that writer died.

Files in the newer HDF5 formats (superblock version 2 and up) record in their superblock that
a writer has them open, and HDF5 refuses to open such a file again until the mark is cleared.
A writer that is killed never clears it. This does what HDF5's own ``h5clear -s`` does: zero
the consistency flags and put the superblock's checksum right.
"""

from __future__ import annotations

import os

SIGNATURE = b"\x89HDF\r\n\x1a\n"
MASK = 0xFFFFFFFF


def clear_write_mark(path: str) -> bool:
    """Clear the open-for-writing mark of the HDF5 file at ``path``; False if it had none."""
    with open(path, "r+b") as f:
        base = _superblock_offset(f)
        f.seek(base)
        head = f.read(12)
        version, offset_size = head[8], head[9]
        if version < 2 or head[11] == 0:
            return False
        # Signature, four one-byte fields, four addresses, then the checksum of all of it.
        size = 12 + 4 * offset_size
        f.seek(base)
        block = bytearray(f.read(size))
        block[11] = 0
        f.seek(base + 11)
        f.write(b"\x00")
        f.seek(base + size)
        f.write(lookup3(bytes(block)).to_bytes(4, "little"))
        f.flush()
        os.fsync(f.fileno())
    return True


def _superblock_offset(f) -> int:
    # The superblock sits at 0, or after a user block of 512, 1024, 2048, ... bytes.
    offset = 0
    while True:
        f.seek(offset)
        found = f.read(8)
        if found == SIGNATURE:
            return offset
        if len(found) < 8:
            raise ValueError("no HDF5 superblock found")
        offset = 512 if offset == 0 else offset * 2


def _rot(x: int, k: int) -> int:
    return ((x << k) | (x >> (32 - k))) & MASK


def lookup3(data: bytes, initval: int = 0) -> int:
    """Bob Jenkins' lookup3 hash of ``data``, HDF5's metadata checksum."""
    length = len(data)
    a = b = c = (0xDEADBEEF + length + initval) & MASK
    i = 0
    while length > 12:
        a = (a + int.from_bytes(data[i : i + 4], "little")) & MASK
        b = (b + int.from_bytes(data[i + 4 : i + 8], "little")) & MASK
        c = (c + int.from_bytes(data[i + 8 : i + 12], "little")) & MASK
        a = (a - c) & MASK
        a ^= _rot(c, 4)
        c = (c + b) & MASK
        b = (b - a) & MASK
        b ^= _rot(a, 6)
        a = (a + c) & MASK
        c = (c - b) & MASK
        c ^= _rot(b, 8)
        b = (b + a) & MASK
        a = (a - c) & MASK
        a ^= _rot(c, 16)
        c = (c + b) & MASK
        b = (b - a) & MASK
        b ^= _rot(a, 19)
        a = (a + c) & MASK
        c = (c - b) & MASK
        c ^= _rot(b, 4)
        b = (b + a) & MASK
        length -= 12
        i += 12
    if length == 0:
        return c
    tail = data[i:] + bytes(12 - length)
    a = (a + int.from_bytes(tail[0:4], "little")) & MASK
    b = (b + int.from_bytes(tail[4:8], "little")) & MASK
    c = (c + int.from_bytes(tail[8:12], "little")) & MASK
    c ^= b
    c = (c - _rot(b, 14)) & MASK
    a ^= c
    a = (a - _rot(c, 11)) & MASK
    b ^= a
    b = (b - _rot(a, 25)) & MASK
    c ^= b
    c = (c - _rot(b, 16)) & MASK
    a ^= c
    a = (a - _rot(c, 4)) & MASK
    b ^= a
    b = (b - _rot(a, 14)) & MASK
    c ^= b
    c = (c - _rot(b, 24)) & MASK
    return c
