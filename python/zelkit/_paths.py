"""Paths as the file system sees them, and zel's way of reporting OS errors."""

from __future__ import annotations

import os
from typing import Union

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
