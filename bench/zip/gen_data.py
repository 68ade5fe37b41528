#!/usr/bin/env python3
"""Writes the benchmark's input tree: compressible and random files, some above 16 MiB."""
import os
import random
import sys

MIB = 1 << 20
root = sys.argv[1]
rng = random.Random(20261210)
os.makedirs(root, exist_ok=True)

# Text-like data: words, numbers and paths drawn from a pool, so deflate finds matches
# at a realistic rate (about 3:1) instead of one repeated block.
words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 10)))
         for _ in range(4000)]
lines = []
size = 0
while size < 8 * MIB:
    n = rng.randint(4, 14)
    line = " ".join(rng.choice(words) for _ in range(n)) + " %d 0x%08X\n" % (rng.randint(0, 99999), rng.getrandbits(32))
    lines.append(line)
    size += len(line)
pool = "".join(lines).encode()


def text(n):
    out = bytearray()
    while len(out) < n:
        start = rng.randrange(0, len(pool) - 65536)
        out += pool[start:start + rng.randint(4096, 65536)]
    return bytes(out[:n])


def write(rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


# About 400 MiB expanded and an archive above 256 MiB: large files on both sides of the 16 MiB
# block, and many small ones.
for i, mib in enumerate([48, 32, 24, 17]):
    write("large/text%d.log" % i, text(mib * MIB))
for i, mib in enumerate([48, 32, 24, 20, 17, 17]):
    write("large/random%d.bin" % i, os.urandom(mib * MIB))
for i in range(80):
    write("small/t%02d/file%02d.txt" % (i % 8, i), text(rng.randint(256 * 1024, 1536 * 1024)))
for i in range(60):
    write("small/r%02d/blob%02d.dat" % (i % 6, i), os.urandom(rng.randint(256 * 1024, 1536 * 1024)))
