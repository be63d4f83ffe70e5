#!/usr/bin/env python3
"""Reads what a release check needs from a Windows program (PE32+).

  program-parts.py resource <program> <type> <id> <out>   one resource's bytes
  program-parts.py version <program> <name>               a version record value
  program-parts.py find <file> <hex>                      offsets of every match
  program-parts.py slice <file> <offset> <length>         those bytes as hex
  program-parts.py stamp <program>                        PE time stamp, checksum

Exit 1 with the reason on stderr when the file does not hold what is asked.
"""
import struct
import sys


def fail(message):
    sys.stderr.write("program-parts: %s\n" % message)
    sys.exit(1)


def headers(data):
    if data[:2] != b"MZ":
        fail("not a Windows program")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        fail("no PE header")
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        fail("not a 64-bit program")
    table = optional + optional_size
    spans = []
    for i in range(sections):
        at = table + 40 * i
        vsize, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
        spans.append((rva, max(vsize, raw_size), raw))
    return pe, optional, spans


def file_offset(spans, rva):
    for start, size, raw in spans:
        if start <= rva < start + size:
            return raw + rva - start
    fail("address 0x%x lies in no section" % rva)


def resource(data, kind, ident):
    _, optional, spans = headers(data)
    root_rva, root_size = struct.unpack_from("<II", data, optional + 112 + 2 * 8)
    if root_size == 0:
        fail("no resources")
    root = file_offset(spans, root_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<HH", data, root + directory + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, root + directory + 16 + 8 * i)
            yield name, target

    def child(directory, want):
        for name, target in entries(directory):
            if not name & 0x80000000 and name == want:
                return target
        return None

    level = child(0, kind)
    if level is None or not level & 0x80000000:
        fail("no resources of type %d" % kind)
    level = child(level & 0x7FFFFFFF, ident)
    if level is None or not level & 0x80000000:
        fail("no resource %d of type %d" % (ident, kind))
    languages = list(entries(level & 0x7FFFFFFF))
    if len(languages) != 1 or languages[0][1] & 0x80000000:
        fail("resource %d of type %d is not held once" % (ident, kind))
    rva, size = struct.unpack_from("<II", data, root + languages[0][1])
    at = file_offset(spans, rva)
    return data[at:at + size]


def version_value(data, name):
    record = resource(data, 16, 1).decode("utf-16-le", "replace")
    key = name + "\0"
    at = record.find(key)
    if at < 0:
        fail("the version record has no \"%s\"" % name)
    at += len(key)
    while at < len(record) and record[at] == "\0":
        at += 1
    end = record.find("\0", at)
    return record[at:end if end >= 0 else len(record)]


def main(argv):
    if len(argv) < 3:
        fail(__doc__.strip())
    command, path = argv[1], argv[2]
    with open(path, "rb") as f:
        data = f.read()
    if command == "resource" and len(argv) == 6:
        with open(argv[5], "wb") as out:
            out.write(resource(data, int(argv[3]), int(argv[4])))
    elif command == "version" and len(argv) == 4:
        print(version_value(data, argv[3]))
    elif command == "find" and len(argv) == 4:
        needle = bytes.fromhex(argv[3])
        at = data.find(needle)
        if at < 0:
            fail("not found")
        while at >= 0:
            print(at)
            at = data.find(needle, at + 1)
    elif command == "slice" and len(argv) == 5:
        at, length = int(argv[3]), int(argv[4])
        if at < 0 or at + length > len(data):
            fail("past the end of the file")
        print(data[at:at + length].hex())
    elif command == "stamp" and len(argv) == 3:
        pe, optional, _ = headers(data)
        print("%d %d" % (struct.unpack_from("<I", data, pe + 8)[0],
                         struct.unpack_from("<I", data, optional + 64)[0]))
    else:
        fail(__doc__.strip())


if __name__ == "__main__":
    main(sys.argv)
