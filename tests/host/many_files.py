#!/usr/bin/env python3
"""Products of many small files for the update host's test tree.

  many_files.py <games-dir> <files> <changed> <bound>

many/     <files> small files in nested folders (version 1),
many-2/   the same paths, the first <changed> of them with new content (version 2),
too-many/ a manifest of <bound> + 1 entries (files absent: it must be refused first).
Manifests are written unsigned; the caller signs them.
"""
import hashlib
import os
import sys

games, count, changed, bound = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
NL = "\r\n"


def path_of(i):
    return "d%02d/s%d/f%05d.bin" % (i // 250, i % 5, i)


def content(i, version):
    seed = hashlib.sha256(b"%d-%d" % (i, version)).digest()
    return seed * (1 + i % 7)  # 32 to 224 bytes


def write_manifest(folder, version, entries):
    with open(os.path.join(folder, "manifest.json"), "w", newline="") as out:
        out.write('{' + NL + '  "version": "%s", "files": [' % version)
        for n, (path, sha, size) in enumerate(entries):
            out.write(("," if n else "") + NL +
                      '    {"path": "%s", "sha256": "%s", "size": %d}' % (path, sha, size))
        out.write(NL + "  ]" + NL + "}" + NL)


def product(name, version):
    folder = os.path.join(games, name)
    entries = []
    for i in range(count):
        data = content(i, version if i < changed else 1)
        target = os.path.join(folder, "files", path_of(i))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        entries.append((path_of(i), hashlib.sha256(data).hexdigest(), len(data)))
    write_manifest(folder, str(version), entries)


product("many", 1)
product("many-2", 2)
too_many = os.path.join(games, "too-many")
os.makedirs(too_many, exist_ok=True)
write_manifest(too_many, "1", [("f/%06d" % i, "a" * 64, 1) for i in range(bound + 1)])
