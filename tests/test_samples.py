"""The bundled samples are what tools/make_samples.py makes, and read as it meant."""

from __future__ import annotations

import numpy as np

import zelkit
from zel_command import ALL_SAMPLES, SAMPLES, STREET, make_samples


def test_the_samples_are_what_the_tool_makes(tmp_path):
    import subprocess
    import sys

    result = subprocess.run([sys.executable, str(SAMPLES.parent / "tools" / "make_samples.py"), "--out", str(tmp_path)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    made = sorted(p.name for p in tmp_path.iterdir())
    assert made == sorted(p.name for p in ALL_SAMPLES)
    for name in made:
        assert (tmp_path / name).read_bytes() == (SAMPLES / name).read_bytes(), name


def test_the_street_scene_reads_as_the_tool_made_it():
    scene = make_samples.street(make_samples.random.Random(make_samples.STREET_SEED))
    events = zelkit.load(STREET)
    assert np.array_equal(events, np.array(scene, dtype=zelkit.EVENT_DTYPE))
    described = zelkit.info(STREET)
    assert (described.width, described.height, described.size_from_header) == (640, 480, True)
    # Both polarities fire, as edges arrive and leave, in time order.
    assert 0.4 < events["p"].mean() < 0.6 and described.time_ordered
