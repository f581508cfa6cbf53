"""zelkit: event-camera data as NumPy arrays, over the zel core.

Arrays use :data:`EVENT_DTYPE`, exactly one ``.evb`` record per event. Paths
may be ``str``, ``bytes`` or ``os.PathLike``. Native work runs with the
interpreter lock released, so threads reading different files run in
parallel.
"""

from __future__ import annotations

from . import _builtin_formats  # noqa: F401  (registers zel's formats)
from ._arrays import as_events, stats, to_events
from ._compress import CompressionStats, compress, compress_sequence
from ._dtype import EVENT_DTYPE, EventArray
from ._files import iter_load, load, save
from ._info import FileInfo, info
from ._registry import FormatSpec, register_format
from .errors import FormatError

__all__ = [
    "EVENT_DTYPE",
    "CompressionStats",
    "EventArray",
    "FileInfo",
    "FormatError",
    "FormatSpec",
    "as_events",
    "compress",
    "compress_sequence",
    "info",
    "iter_load",
    "load",
    "register_format",
    "save",
    "stats",
    "to_events",
]
