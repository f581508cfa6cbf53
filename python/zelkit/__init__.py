"""zelkit: event-camera data as NumPy arrays, over the zel core."""

from __future__ import annotations

import numpy as np

from . import _native  # noqa: F401  (fails early when the native layer is missing)
from .errors import FormatError

__all__ = ["EVENT_DTYPE", "FormatError", "Setting", "evaluate"]

#: One event as one packed 9-byte little-endian record, exactly a ``.evb`` record.
EVENT_DTYPE = np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<u4"), ("p", "u1")])



def __getattr__(name: str) -> object:
    # The dataset evaluation pulls in tqdm, zstandard and the process pool;
    # it loads on first use so importing zelkit for arrays stays light.
    if name in ("evaluate", "Setting"):
        import importlib

        return getattr(importlib.import_module(".evaluation", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
