"""Typed use of zel and zelkit, checked by mypy --strict (test_typing.py)."""
import numpy as np

import zel
import zelkit


def roundtrip(path: str) -> int:
    events: zelkit.EventArray = zelkit.load(path)
    zelkit.save(path + ".evb", events)
    info: zelkit.FileInfo = zelkit.info(path)
    objects: list[zel.Event] = zelkit.to_events(events)
    again = zelkit.as_events(objects)
    data, figures = zelkit.compress(again, 128, 128, 16, 8)
    payloads, _ = zelkit.compress_sequence(events, 128, 128, 4, 8, 3)
    stats = zelkit.stats(events)
    chunks = sum(len(c) for c in zelkit.iter_load(path, chunk_events=1000))
    zel_data, result = zel.compress(zel.load_events(path), 128, 128, 16, 8)
    ratio: float = figures.compression_ratio + result.compression_ratio
    return info.n_events + len(data) + len(payloads) + chunks + len(zel_data) + int(ratio) + (0 if stats is None else 1) + int(np.sum(events["x"]))
