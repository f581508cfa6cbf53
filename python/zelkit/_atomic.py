"""Writing files so that a failure or an interrupt never leaves a partial one.

This is the one atomic writer: zelkit.save, the container writers, the
results file and every output of the zel command go through it.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator
from typing import BinaryIO


def creation_mode() -> int:
    """The mode open() would give a new file (mkstemp's own is 0o600).

    The umask is read from /proc where it can be: setting it to read it back
    would race with threads creating files at the same time.
    """
    try:
        with open("/proc/self/status", "rb") as status:
            for line in status:
                if line.startswith(b"Umask:"):
                    return 0o666 & ~int(line.split()[1], 8)
    except OSError:
        pass
    umask = os.umask(0o022)
    os.umask(umask)
    return 0o666 & ~umask


def _naming(error: OSError, target: str) -> OSError:
    """The same failure reported against the file the caller asked for, not
    the temporary name it was being written under."""
    if error.errno is None:
        return error
    return type(error)(error.errno, os.strerror(error.errno), target)


@contextlib.contextmanager
def atomic_output(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Iterator[BinaryIO]:
    """A binary file that appears at ``path`` only once the block has finished.

    It is written beside the target (same file system, so the rename is
    atomic), flushed to disk, then renamed over it; on any exception,
    KeyboardInterrupt included, the temporary file is removed and the target
    is left as it was. A failure of the file system itself (no such folder,
    no space, no permission) is an OSError naming ``path``.
    """
    target = os.fsdecode(os.fspath(path))
    folder = os.path.dirname(os.path.abspath(target))
    try:
        fd, temporary = tempfile.mkstemp(prefix=".tmp-", suffix="-" + os.path.basename(target), dir=folder)
    except OSError as error:
        raise _naming(error, target) from None
    try:
        with os.fdopen(fd, "wb") as handle:
            try:
                os.fchmod(fd, creation_mode())
            except OSError as error:
                raise _naming(error, target) from None
            yield handle
            try:
                handle.flush()
                os.fsync(handle.fileno())
            except OSError as error:
                raise _naming(error, target) from None
        try:
            os.replace(temporary, target)
        except OSError as error:
            raise _naming(error, target) from None
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def atomic_write_bytes(path: str | bytes | os.PathLike[str] | os.PathLike[bytes], data: bytes) -> None:
    with atomic_output(path) as handle:
        handle.write(data)
