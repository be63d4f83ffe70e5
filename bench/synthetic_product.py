#!/usr/bin/env python3
"""A synthetic product shaped like a large game, for the publish and upload
benches: 80 % small files, 18 % medium, 2 % large by count (6 %, 35 % and
59 % of the bytes), fixed seeds so runs compare.

  synthetic_product.py make <folder> <files> <mib>
  synthetic_product.py change <folder>   2 % of the files change (small and
      medium ones rewritten, large ones 1 MiB in the middle); prints the
      changed files' bytes
"""
import os
import random
import sys


def make(root, files, total):
    random.seed(7)
    classes = [('small', int(files * .80), total * .06), ('medium', int(files * .18), total * .35)]
    classes.append(('large', files - sum(c[1] for c in classes), total * .59))
    with open(os.path.join(root, 'Game.exe'), 'wb') as f:
        f.write(b'MZ bench')
    for name, count, size in classes:
        mean = size / max(count, 1)
        for i in range(count):
            folder = os.path.join(root, name, '%03d' % (i // 500))
            os.makedirs(folder, exist_ok=True)
            n = max(1, int(random.uniform(.5, 1.5) * mean))
            with open(os.path.join(folder, 'f%06d.bin' % i), 'wb') as f:
                f.write(os.urandom(n))


def change(root):
    random.seed(11)
    paths = sorted(os.path.join(d, n) for d, _, ns in os.walk(root) for n in ns if n.endswith('.bin'))
    total = 0
    for p in random.sample(paths, max(1, len(paths) // 50)):
        size = os.path.getsize(p)
        if size >= 8 << 20:
            with open(p, 'r+b') as f:
                f.seek(size // 2)
                f.write(os.urandom(1 << 20))
        else:
            with open(p, 'wb') as f:
                f.write(os.urandom(size))
        total += size
    print(total)


if sys.argv[1] == 'make':
    make(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]) << 20)
else:
    change(sys.argv[2])
