"""zelkit: event-camera data as NumPy arrays, over the zel core."""

from __future__ import annotations

import numpy as np

from . import _native  # noqa: F401  (fails early when the native layer is missing)
from .errors import FormatError

__all__ = ["EVENT_DTYPE", "FormatError"]

#: One event as one packed 9-byte little-endian record, exactly a ``.evb`` record.
EVENT_DTYPE = np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<u4"), ("p", "u1")])

from .container import (  # noqa: E402
    BOX_DTYPE, Frame, IncompleteContainerWarning, Reader, decode, encode, encode_stream, open, write,
)
from .distortion import Distortion, distortion  # noqa: E402

__all__ += ["BOX_DTYPE", "Distortion", "Frame", "IncompleteContainerWarning", "Reader",
            "decode", "distortion", "encode", "encode_stream", "open", "write"]
