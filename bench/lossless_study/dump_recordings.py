"""Writes the real recordings' 9-byte records to DIR/<name>.rec for the study
programs (and the synthetic streams the benchmarks use).

    python3 bench/lossless_study/dump_recordings.py DIR
"""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from bench_lossless import RECORDINGS, synthetic_streams  # noqa: E402

out = pathlib.Path(sys.argv[1])
out.mkdir(parents=True, exist_ok=True)
for label, events, _ in list(RECORDINGS()) + list(synthetic_streams()):
    name = "".join(c if c.isalnum() else "_" for c in label)
    events.tofile(out / f"{name}.rec")
    print(name, len(events))
