#!/usr/bin/env python3
"""Writes the seed corpora: a few deterministic byte strings per target, of the lengths that
reach one operation (engine) or a whole session of several dozen actions. The fuzzer decodes
any bytes, so seeds only need to start it at varied depths; run from the repository root."""
import os
import random

SEEDS = {
    "engine_fuzz": [(16, 1), (64, 2), (200, 3), (600, 4), (1500, 5)],
    "session_fuzz": [(64, 11), (300, 12), (900, 13), (2000, 14), (4000, 15)],
}

for target, seeds in SEEDS.items():
    folder = os.path.join("fuzz", "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for length, seed in seeds:
        rng = random.Random(seed)
        data = bytes(rng.randrange(256) for _ in range(length))
        with open(os.path.join(folder, f"seed-{length}"), "wb") as f:
            f.write(data)
