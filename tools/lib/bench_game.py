#!/usr/bin/python3
"""Writes the benchmarks' generated game files: 2,000 files in 40
directories below DIR, half repeated text, half random bytes, SIZE bytes
each.

    /usr/bin/python3 tools/lib/bench_game.py DIR SIZE
"""
import os
import sys

root, size = sys.argv[1], int(sys.argv[2])
text = b"level data, tiles and dialogue lines that repeat a lot " * 40
body = (text * (size // len(text) + 1))[:size]
for i in range(2000):
    d = os.path.join(root, "dir%02d" % (i % 40))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file%04d.bin" % i), "wb") as f:
        f.write(os.urandom(size) if i % 2 else body)
