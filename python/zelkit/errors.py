"""Exceptions zelkit raises beyond Python's own."""

from __future__ import annotations

from typing import Any


class FormatError(ValueError, OSError):
    """A file or byte string is not valid in the format it claims.

    ``offset`` is the byte offset where the fault was found (``None`` when it
    cannot be placed); the message names it and what was wrong, and
    ``reason`` is what was wrong alone.

    It is a ``ValueError`` (the bytes are a bad value) and an ``OSError`` (a
    file could not be read), as :class:`gzip.BadGzipFile` is, so code written
    against either kind of failure of a load keeps working: zel's loaders
    raise ``OSError`` for malformed files, zelkit raised ``ValueError``.
    ``errno``, ``strerror`` and ``filename`` are ``None``.
    """

    def __init__(self, message: str, offset: int | None = None) -> None:
        super().__init__(message if offset is None else f"{message} (at byte offset {offset})")
        self.offset = offset
        self.reason = message

    def __reduce__(self) -> tuple[Any, ...]:
        # Rebuilt from its parts, so an error that crosses a process (Dask,
        # a process pool) keeps its offset.
        return (type(self), (self.reason, self.offset))
