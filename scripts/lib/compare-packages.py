#!/usr/bin/env python3
"""Compares two zip packages entry for entry.

    compare-packages.py A B

Same means: the same entry names in the same order, and for each entry the
same uncompressed bytes. The compressed bytes of each entry are compared too
and reported apart (time stamps are not compared: every save stamps its own
entries). Exit code 0 when the packages are the same, 1 otherwise.
"""
import struct
import sys
import zipfile


def raw_data(handle, info):
    # The local header's own name and extra lengths, not the central
    # directory's, say where the data begins.
    handle.seek(info.header_offset)
    header = handle.read(30)
    name_length, extra_length = struct.unpack("<HH", header[26:30])
    handle.seek(info.header_offset + 30 + name_length + extra_length)
    return handle.read(info.compress_size)


def entries(path):
    with zipfile.ZipFile(path) as archive, open(path, "rb") as handle:
        result = []
        for info in archive.infolist():
            result.append((info.filename, info.compress_type, archive.read(info), raw_data(handle, info)))
        return result


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    a, b = entries(sys.argv[1]), entries(sys.argv[2])
    names_a = [e[0] for e in a]
    names_b = [e[0] for e in b]
    if names_a != names_b:
        print("entries differ in names or order:")
        print("  A:", names_a)
        print("  B:", names_b)
        return 1
    content_differs = [ea[0] for ea, eb in zip(a, b) if ea[2] != eb[2]]
    compressed_differs = [ea[0] for ea, eb in zip(a, b) if (ea[1], ea[3]) != (eb[1], eb[3])]
    for name in content_differs:
        print("content differs:", name)
    for name in compressed_differs:
        print("compressed bytes differ:", name)
    total = sum(len(e[2]) for e in a)
    print("%d entries, %d bytes: %s; compressed bytes %s" % (
        len(a), total, "same names, order and content" if not content_differs else "CONTENT DIFFERS",
        "identical" if not compressed_differs else "differ in %d entries" % len(compressed_differs)))
    return 1 if content_differs else 0


if __name__ == "__main__":
    sys.exit(main())
