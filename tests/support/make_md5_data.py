#!/usr/bin/env python3
"""Writes deterministic files of the sizes where MD5 padding changes shape,
plus a larger one, into OUTDIR; their digests come from coreutils md5sum."""
import os
import random
import subprocess
import sys

SIZES = [0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 1023, 1024, 1025, 3 * 1024 * 1024 + 7]

outdir = sys.argv[1]
os.makedirs(outdir, exist_ok=True)
rng = random.Random(1321)
names = []
for size in SIZES:
    name = "data_%d.bin" % size
    with open(os.path.join(outdir, name), "wb") as f:
        f.write(rng.randbytes(size))
    names.append(name)
digests = subprocess.run(["md5sum"] + names, cwd=outdir, check=True, capture_output=True, text=True).stdout
with open(os.path.join(outdir, "digests.txt"), "w", newline="\n") as f:
    f.write(digests)
