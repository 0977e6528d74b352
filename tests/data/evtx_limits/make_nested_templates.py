#!/usr/bin/env python3
"""Writes nested_templates.chunk: one .evtx chunk (without the file header; readers pad it to
64 KiB) whose record 1 instantiates a template that instantiates the next eight times over,
twelve levels deep (8^12 values), followed by record 2, a plain empty <Event/>."""
import os
import struct

LEVELS, FAN, BASE = 12, 8, 1024


def record(rid, binxml):
    size = 24 + len(binxml) + 4
    return b"**\0\0" + struct.pack("<IQQ", size, rid, 0) + binxml + struct.pack("<I", size)


def main():
    chunk = bytearray(BASE)
    chunk[0:8] = b"ElfChnk\0"
    offsets, at = [], BASE
    for k in range(LEVELS):
        offsets.append(at)
        at += 24 + (113 if k < LEVELS - 1 else 7)
    templates = bytearray()
    for k in range(LEVELS):
        if k < LEVELS - 1:
            body = b"".join(b"\x0c\x01" + struct.pack("<III", k + 1, offsets[k + 1], 0)
                            for _ in range(FAN)) + b"\x00"
        else:
            body = b"\x05\x01\x01\x00A\x00\x00"
        templates += struct.pack("<I", 0) + bytes(16) + struct.pack("<I", len(body)) + body
    bomb = record(1, b"\x0f\x01\x01\x00\x0c\x01" + struct.pack("<III", 0, offsets[0], 0) + b"\x00")
    # <Event/>: element token, size, the offset of its name (defined right after), close.
    name_at = 512 + len(bomb) + 24 + 4 + 1 + 4 + 4
    name = struct.pack("<IHH", 0, 0, 5) + "Event".encode("utf-16-le") + b"\0\0"
    plain = record(2, b"\x0f\x01\x01\x00\x01" + struct.pack("<II", 0, name_at) + name + b"\x03\x00")
    records = bomb + plain
    chunk[512:512 + len(records)] = records
    struct.pack_into("<QQ", chunk, 24, 1, 2)
    struct.pack_into("<I", chunk, 48, 512 + len(records))
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "nested_templates.chunk"),
              "wb") as f:
        f.write(chunk + templates)


if __name__ == "__main__":
    main()
