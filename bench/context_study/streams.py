"""The recordings and synthetic streams the context study runs on."""
from __future__ import annotations

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

REAL = ["evt3_sample.raw", "evt2_sample.raw", "sample.aedat4", "sample_ncars.dat",
        "sample_nmnist.bin"]


def load_real(path: pathlib.Path):
    """(events, width, height) of a recording, times relative to the first."""
    import zelkit
    info = zelkit.info(str(path))
    try:
        # Camera formats may carry absolute times; the grid only sees times
        # relative to the first.
        events = zelkit.load(str(path), format=info.format, t_offset="first")
    except ValueError:
        events = zelkit.load(str(path), format=info.format)
    return events, max(info.width, 1), max(info.height, 1)


def streams(data_dir: str, only: str = ""):
    """(name, events, width, height) of each stream; real files when present."""
    from bench_zel import davis_like
    out = []
    for name in REAL:
        path = pathlib.Path(data_dir) / name
        if path.exists() and (not only or only in name):
            out.append((name, *load_real(path)))
    if not only or only == "davis":
        out.append(("davis-like 1M", davis_like(1_000_000), 346, 260))
    if not only or only == "davis-hd":
        out.append(("davis-like 2M 1280x720", davis_like(2_000_000, 1280, 720), 1280, 720))
    return out
