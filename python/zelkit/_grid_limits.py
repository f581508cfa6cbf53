"""The grid parameters the occupancy code takes, checked before any work starts.

The command and the evaluation both refuse impossible settings up front (a
sweep should not fail after hours on its last setting); the bounds live here
once so the two cannot disagree.
"""

from __future__ import annotations

#: Inclusive bounds of each grid parameter.
TIME_BINS = (1, 65535)
MAX_DEPTH = (0, 255)
FRAMES = (1, 2**32)
#: Sensor sides the code's 16-bit coordinates can address.
SENSOR_SIDE = (1, 65535)


def check_setting(time_bins: int, max_depth: int, frames: int = 1) -> None:
    """ValueError naming the first parameter outside its bounds."""
    for name, value, (low, high) in (("time_bins", time_bins, TIME_BINS), ("max_depth", max_depth, MAX_DEPTH),
                                     ("frames", frames, FRAMES)):
        if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
            raise ValueError(f"{name} must be {low}..{high}, not {value!r}")
