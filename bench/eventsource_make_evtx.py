#!/usr/bin/env python3
"""Builds a large EVTX log for the event-source benchmarks by repeating the
chunks of a real one with renumbered records and fresh checksums."""
import struct
import sys
import zlib

CHUNK = 0x10000
HEADER = 0x1000


def renumber_chunk(chunk, delta):
    chunk = bytearray(chunk)
    if chunk[:8] != b"ElfChnk\0":
        return None
    for offset in (8, 16, 24, 32):
        value, = struct.unpack_from("<Q", chunk, offset)
        struct.pack_into("<Q", chunk, offset, value + delta)
    free, = struct.unpack_from("<I", chunk, 48)
    pos = 512
    while pos + 24 <= free and chunk[pos:pos + 4] == b"\x2a\x2a\x00\x00":
        size, = struct.unpack_from("<I", chunk, pos + 4)
        if size < 24 or pos + size > free:
            break
        record, = struct.unpack_from("<Q", chunk, pos + 8)
        struct.pack_into("<Q", chunk, pos + 8, record + delta)
        pos += size
    struct.pack_into("<I", chunk, 52, zlib.crc32(bytes(chunk[512:free])) & 0xFFFFFFFF)
    struct.pack_into("<I", chunk, 124, zlib.crc32(bytes(chunk[:120]) + bytes(chunk[128:512])) & 0xFFFFFFFF)
    return bytes(chunk)


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: eventsource_make_evtx.py SOURCE.evtx TARGET.evtx MIN_RECORDS")
    source, target, wanted = sys.argv[1], sys.argv[2], int(sys.argv[3])
    data = open(source, "rb").read()
    chunks = [data[HEADER + i * CHUNK:HEADER + (i + 1) * CHUNK] for i in range((len(data) - HEADER) // CHUNK)]
    chunks = [c for c in chunks if c[:8] == b"ElfChnk\0"]
    first = struct.unpack_from("<Q", chunks[0], 8)[0]
    last = max(struct.unpack_from("<Q", c, 16)[0] for c in chunks)
    per_copy = last - first + 1
    copies = max(1, -(-wanted // per_copy))
    if copies * len(chunks) > 0xFFFF:
        sys.exit("too many chunks for one EVTX file")
    with open(target, "wb") as out:
        header = bytearray(data[:HEADER])
        struct.pack_into("<Q", header, 16, copies * len(chunks) - 1)
        struct.pack_into("<Q", header, 24, last + 1 + (copies - 1) * per_copy)
        struct.pack_into("<H", header, 42, copies * len(chunks))
        flags, = struct.unpack_from("<I", header, 120)
        struct.pack_into("<I", header, 120, flags & ~1)  # not dirty
        struct.pack_into("<I", header, 124, zlib.crc32(bytes(header[:120])) & 0xFFFFFFFF)
        out.write(header)
        for copy in range(copies):
            for chunk in chunks:
                out.write(renumber_chunk(chunk, copy * per_copy))
    print(copies * per_copy)


if __name__ == "__main__":
    main()
