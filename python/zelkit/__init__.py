"""zelkit: event-camera data as NumPy arrays, over the zel core.

Arrays use :data:`EVENT_DTYPE`, exactly one ``.evb`` record per event. Besides
zel's formats, load, iter_load, info and save read (and, for the first two,
write) Prophesee DAT (``.dat``), Prophesee RAW EVT 2.0/3.0 (``.raw``),
iniVation AEDAT 4 (``.aedat4``) and zel's own ``.zel`` event store, which
keeps any event array exactly in less space than xz. Paths
may be ``str``, ``bytes`` or ``os.PathLike``. Native work runs with the
interpreter lock released, so threads reading different files run in
parallel.
"""

from __future__ import annotations

from . import _builtin_formats  # noqa: F401  (registers zel's formats)
from . import _camera_formats  # noqa: F401  (registers .dat, .raw and .aedat4)
from . import _event_store  # noqa: F401  (registers .zel, events stored without loss)
from ._event_store import EventStore, decode_events, open_events
from ._camera_formats import EventChunk, SkippedDataWarning
from ._arrays import as_events, stats, to_events
from ._compress import CompressionStats, compress, compress_sequence
from ._dtype import EVENT_DTYPE, EventArray
from ._files import iter_load, load, save
from ._info import FileInfo, info
from ._registry import FormatSpec, register_format
from .errors import FormatError

from .container import (
    BOX_DTYPE,
    CODECS,
    Codec,
    Frame,
    IncompleteContainerWarning,
    Reader,
    decode,
    encode,
    encode_stream,
    open,
    write,
)
from ._distortion import Distortion, distortion

__all__ = [
    "BOX_DTYPE",
    "CODECS",
    "EVENT_DTYPE",
    "Codec",
    "CompressionStats",
    "Distortion",
    "EventArray",
    "EventChunk",
    "EventStore",
    "FileInfo",
    "FormatError",
    "FormatSpec",
    "Frame",
    "IncompleteContainerWarning",
    "Reader",
    "Setting",
    "SkippedDataWarning",
    "as_events",
    "compress",
    "compress_sequence",
    "decode",
    "decode_events",
    "distortion",
    "encode",
    "encode_stream",
    "evaluate",
    "info",
    "iter_load",
    "load",
    "open",
    "open_events",
    "register_format",
    "save",
    "stats",
    "to_events",
    "write",
]


def __getattr__(name: str) -> object:
    # The dataset evaluation pulls in tqdm, zstandard and the process pool;
    # it loads on first use so importing zelkit for arrays stays light.
    if name in ("evaluate", "Setting"):
        import importlib

        return getattr(importlib.import_module(".evaluation", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
