"""Prints one digest of many plans: the default descent, a glide slope and a
seeded random table, each searched fast, golden without the pointing limit,
as a nearest landing and on Clarabel's quick path, and the exact module's
solve. Two builds that print the same digest plan byte for byte alike
(scripts/test compares the wheel with the source build)."""
import hashlib

import numpy as np
from random_descents import random_descent

import _vexal
import vexal


def digest() -> str:
    h = hashlib.sha256()
    rng = np.random.default_rng(2028)
    configs = [vexal.Config(), vexal.configured(glide_slope_angle_deg=10.0, n=50)]
    configs += [random_descent(rng, (30, 80))[1] for _ in range(6)]
    for config in configs:
        for options in ({}, {"search": "golden", "pointing": False}, {"landing": "nearest"}, {"solver": "clarabel"}):
            try:
                h.update(vexal.plan(config, **options).to_json().encode())
            except vexal.VexalError as error:
                h.update(str(error).encode())
        h.update(_vexal.solve(config).positions.tobytes())
    return h.hexdigest()


if __name__ == "__main__":
    print(digest())
