"""Writes N reproducible pseudo-random bytes:  make_data.py PATH N"""
import random
import sys

rng = random.Random(16)
with open(sys.argv[1], "wb") as f:
    f.write(rng.randbytes(int(sys.argv[2])))
