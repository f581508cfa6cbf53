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


# davis_like's scene: each bar's first column and speed (pixels a second).
BAR_STARTS = (40, 300, 170)
BAR_SPEEDS = (120, 200, 310)


def davis_like(n, width=346, height=260, duration_us=1_000_000):
    """Three sweeping bars, sixteen hot pixels and uniform noise; see davis_like.hpp."""
    i = np.arange(n, dtype=np.uint64)
    h1 = splitmix64(i)
    h2 = splitmix64(i ^ np.uint64(0xD1B54A32D192ED03))
    t = i * np.uint64(duration_us) // np.uint64(n)
    pick = h1 % np.uint64(100)
    w, h = np.uint64(width), np.uint64(height)

    bar = (h1 >> np.uint64(8)) % np.uint64(3)
    start = np.array(BAR_STARTS, dtype=np.uint64)[bar]
    speed = np.array(BAR_SPEEDS, dtype=np.uint64)[bar]
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


def davis_like_entropy(n, width=346, height=260, duration_us=1_000_000, samples=200):
    """Bits/event of the random process davis_like draws from: the least any
    model of its events can spend on average, short of knowing the hash.

    An event's time is fixed by its index and its polarity is a fair coin;
    its pixel comes from a mixture that depends on the time alone: a bar
    (70 %: one of three, a row of its band uniformly, its column plus half
    a triangular jitter), a hot pixel (10 %: one of sixteen) or any pixel
    (20 %). So this is 1 bit plus the mixture's entropy on the pixel grid,
    averaged over `samples` times spread over the stream.
    """
    half_jitter = np.bincount((np.add.outer(np.arange(16), np.arange(16)) // 2).ravel(), minlength=16) / 256.0
    band = height // 4
    hot = np.arange(16)
    bits = []
    for i in np.linspace(0, n - 1, samples).astype(np.int64):
        t = int(i) * duration_us // n
        grid = np.full((height, width), 0.20 / (width * height))
        for bar, (start, speed) in enumerate(zip(BAR_STARTS, BAR_SPEEDS)):
            centre = (start + speed * t // 1_000_000) % width
            column = np.zeros(width)
            np.add.at(column, (centre + width + np.arange(16) - 7) % width, half_jitter)
            rows = (30 + bar * height // 4 + np.arange(band)) % height
            grid[rows] += (0.70 / 3 / band) * column
        np.add.at(grid, ((hot * 61 + 7) % height, (hot * 97 + 13) % width), 0.10 / 16)
        p = grid[grid > 0]
        bits.append(-(p * np.log2(p)).sum())
    return 1.0 + float(np.mean(bits))
