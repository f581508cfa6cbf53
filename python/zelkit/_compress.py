"""zel's compressors over event arrays, read in place."""

from __future__ import annotations

from dataclasses import dataclass, fields
from typing import Any

from . import _native
from ._arrays import as_events


@dataclass(frozen=True)
class CompressionStats:
    """The figures of ``zel.CompressionResult``, as a plain frozen record."""

    n_events: int
    raw_bytes: int
    bitstream_bytes: int
    n_bits: int
    encode_us: int
    decode_us: int
    sparsity: float

    @property
    def bits_per_event(self) -> float:
        return self.bitstream_bytes * 8.0 / max(self.n_events, 1)

    @property
    def compression_ratio(self) -> float:
        return self.raw_bytes / max(self.bitstream_bytes, 1)

    @classmethod
    def _from_native(cls, figures: _native.CompressionFigures) -> CompressionStats:
        return cls(**{f.name: getattr(figures, f.name) for f in fields(cls)})


def compress(events: Any, width: int, height: int, time_bins: int, max_depth: int) -> tuple[bytes, CompressionStats]:
    """Exactly ``zel.compress``'s bytes for the same events.

    A C-contiguous ``EVENT_DTYPE`` array is read where it lies; anything
    else goes through ``as_events`` first.
    """
    data, figures = _native.compress(as_events(events), width, height, time_bins, max_depth)
    return data, CompressionStats._from_native(figures)


def compress_sequence(
    events: Any, width: int, height: int, time_bins: int, max_depth: int, n_frames: int
) -> tuple[list[bytes], CompressionStats]:
    """Exactly ``zel.compress_sequence``'s frame payloads for the same events.

    As there, a frame count whose least footprint (some 70 bytes a frame)
    exceeds this machine's memory raises ``MemoryError`` before any work.
    """
    payloads, figures = _native.compress_sequence(
        as_events(events), width, height, time_bins, max_depth, n_frames
    )
    return payloads, CompressionStats._from_native(figures)
