"""Writing files so that a failure or an interrupt never leaves a partial one."""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator
from typing import BinaryIO


@contextlib.contextmanager
def atomic_output(path: str | os.PathLike[str]) -> Iterator[BinaryIO]:
    """A binary file that appears at ``path`` only once the block has finished.

    It is written beside the target (same file system, so the rename is
    atomic), flushed to disk, then renamed over it; on any exception the
    temporary file is removed and the target is left as it was.
    """
    target = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(target))
    fd, temporary = tempfile.mkstemp(prefix=".tmp-", suffix="-" + os.path.basename(target), dir=folder)
    try:
        # mkstemp makes the file private; give it the mode open() would have.
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)
        with os.fdopen(fd, "wb") as handle:
            yield handle
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def atomic_write_bytes(path: str | os.PathLike[str], data: bytes) -> None:
    with atomic_output(path) as handle:
        handle.write(data)
