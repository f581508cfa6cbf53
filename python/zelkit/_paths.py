"""Paths as the file system sees them, and zel's way of reporting OS errors."""

from __future__ import annotations

import os
from typing import Callable, TypeVar, Union

_Native = TypeVar("_Native")

#: What every zelkit function that takes a path accepts.
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def fs_bytes(path: PathArg) -> bytes:
    """os.fspath, then the file-system encoding with surrogate escapes."""
    return os.fsencode(os.fspath(path))


def zel_os_error(error: OSError) -> OSError:
    """The plain OSError zel raises for a failed system call: one argument,
    the system's text and its code, so no errno-specific subclass is chosen."""
    if error.errno is None:
        return OSError(str(error))
    return OSError(f"{os.strerror(error.errno)} (os error {error.errno})")


def open_by_position(path: PathArg, make_reader: Callable[[int], _Native]) -> _Native:
    """``make_reader(fd)`` over ``path`` opened for reading: the native
    readers read by position through a duplicate of their own, so the
    descriptor is closed on return. OSError subclasses name the path."""
    # Without O_NONBLOCK, opening a FIFO would wait for a writer; the reader
    # then refuses it, as it does anything it cannot read by position.
    flags = os.O_RDONLY | os.O_CLOEXEC | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)
    fd = os.open(os.fspath(path), flags)
    try:
        return make_reader(fd)
    except OSError as error:
        # Malformed data (FormatError, also a ValueError) carries its offset instead.
        if error.filename is None and not isinstance(error, ValueError):
            error.filename = os.fspath(path)
        raise
    finally:
        os.close(fd)



def head_of(fd: int, size: int) -> bytes:
    """Up to ``size`` bytes from the start of an open file; empty when it
    cannot be read by position (the native reader then says why)."""
    try:
        return os.pread(fd, size, 0)
    except OSError:
        return b""
