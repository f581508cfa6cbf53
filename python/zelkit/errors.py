"""Exceptions zelkit raises beyond Python's own."""

from __future__ import annotations


class FormatError(ValueError):
    """A file or byte string is not valid in the format it claims.

    ``offset`` is the byte offset where the fault was found (``None`` when it
    cannot be placed); the message names it and what was wrong, and
    ``reason`` is what was wrong alone.
    """

    def __init__(self, message: str, offset: int | None = None) -> None:
        super().__init__(message if offset is None else f"{message} (at byte offset {offset})")
        self.offset = offset
        self.reason = message
