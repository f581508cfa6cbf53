"""Deterministic synthetic event streams shaped like camera recordings, for the
benchmarks and for the tests that run the codecs on camera-shaped data.
Depends on NumPy only."""
import numpy as np

RECORD = np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<u4"), ("p", "u1")])


def splitmix64(z):
    with np.errstate(over="ignore"):
        z = z + np.uint64(0x9E3779B97F4A7C15)
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        return z ^ (z >> np.uint64(31))


def davis_like(n, width=346, height=260, duration_us=1_000_000):
    """Three sweeping bars, sixteen hot pixels and uniform noise; see davis_like.hpp."""
    i = np.arange(n, dtype=np.uint64)
    h1 = splitmix64(i)
    h2 = splitmix64(i ^ np.uint64(0xD1B54A32D192ED03))
    t = i * np.uint64(duration_us) // np.uint64(n)
    pick = h1 % np.uint64(100)
    w, h = np.uint64(width), np.uint64(height)

    bar = (h1 >> np.uint64(8)) % np.uint64(3)
    start = np.array([40, 300, 170], dtype=np.uint64)[bar]
    speed = np.array([120, 200, 310], dtype=np.uint64)[bar]
    centre = (start + speed * t // np.uint64(1_000_000)) % w
    jitter = (h2 & np.uint64(15)) + ((h2 >> np.uint64(4)) & np.uint64(15))
    bar_x = (centre + w + jitter // np.uint64(2) - np.uint64(7)) % w
    bar_y = (np.uint64(30) + bar * h // np.uint64(4) + (h2 >> np.uint64(8)) % (h // np.uint64(4))) % h

    hot = (h1 >> np.uint64(8)) % np.uint64(16)
    hot_x = (hot * np.uint64(97) + np.uint64(13)) % w
    hot_y = (hot * np.uint64(61) + np.uint64(7)) % h

    noise_x = h2 % w
    noise_y = (h2 >> np.uint64(20)) % h

    records = np.empty(n, dtype=RECORD)
    records["x"] = np.where(pick < 70, bar_x, np.where(pick < 80, hot_x, noise_x))
    records["y"] = np.where(pick < 70, bar_y, np.where(pick < 80, hot_y, noise_y))
    records["t"] = t
    records["p"] = (h2 >> np.uint64(40)) & np.uint64(1)
    return records
