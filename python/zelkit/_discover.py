"""Turning the paths a user names into the files an evaluation reads."""

from __future__ import annotations

import os
from collections.abc import Iterable

from ._registry import readable_extensions


def find_inputs(paths: Iterable[str | os.PathLike[str]]) -> list[str]:
    """Files named directly, plus readable files found by walking folders.

    A named file is taken whatever its extension (its reader decides), a
    folder contributes only visible files with a readable extension, in sorted order
    so runs list files the same way. A path that does not exist raises
    FileNotFoundError before any work starts. Each file appears once.
    """
    found: list[str] = []
    seen: set[str] = set()
    readable = frozenset(readable_extensions())

    def add(path: str) -> None:
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            found.append(path)

    for given in paths:
        path = os.fspath(given)
        if isinstance(path, bytes):
            path = os.fsdecode(path)
        if os.path.isdir(path):
            for folder, subfolders, files in os.walk(path):
                # Hidden entries are skipped: temporary files of an unfinished
                # write start with a dot and must never be read as data.
                subfolders[:] = sorted(d for d in subfolders if not d.startswith("."))
                for name in sorted(files):
                    # Compared case-sensitively, as the loaders choose the reader.
                    if not name.startswith(".") and os.path.splitext(name)[1][1:] in readable:
                        add(os.path.join(folder, name))
        elif os.path.exists(path):
            add(path)
        else:
            raise FileNotFoundError(2, "No such file or directory", path)
    return found
