"""One line of text for an error, as the command and the evaluation report it."""

from __future__ import annotations

import os


def describe(error: BaseException, path: str | None = None) -> str:
    """``PATH: what went wrong`` on one line, naming the file when known.

    An OSError that names its own file (the output of a failed write, say)
    is reported under that name; zelkit's reading errors carry none and are
    reported under ``path``. ValueError and its kin (zelkit.FormatError) are
    the input's fault and need no type name; anything else keeps its type, as
    it is most likely a fault of the program.
    """
    if isinstance(error, OSError) and error.filename is not None:
        path = os.fsdecode(error.filename) if isinstance(error.filename, bytes) else str(error.filename)
        text = error.strerror or str(error)
    elif isinstance(error, OSError):
        text = str(error)
    elif isinstance(error, MemoryError):
        text = "not enough memory"
    else:
        text = str(error)
        if not isinstance(error, ValueError):
            text = f"{type(error).__name__}: {text}" if text else type(error).__name__
    text = " ".join(text.split()) or type(error).__name__
    return f"{path}: {text}" if path is not None else text
