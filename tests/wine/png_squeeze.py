#!/usr/bin/env python3
"""Recompresses the image data of PNG files in place (zlib level 9)."""
import struct
import sys
import zlib

for name in sys.argv[1:]:
    data = open(name, "rb").read()
    pos, chunks, idat = 8, [], b""
    while pos < len(data):
        (n,) = struct.unpack(">I", data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
        pos += 12 + n
        if kind == b"IDAT":
            idat += body
        else:
            chunks.append((kind, body))
    out = data[:8]
    for kind, body in chunks:
        if kind == b"IEND":
            packed = zlib.compress(zlib.decompress(idat), 9)
            out += struct.pack(">I", len(packed)) + b"IDAT" + packed + struct.pack(">I", zlib.crc32(b"IDAT" + packed))
        out += struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    open(name, "wb").write(out)
