"""How the command and the evaluation read whatever file zelkit reads.

Cameras count 64-bit microseconds (AEDAT 4 in Unix-epoch time); event arrays
hold 32 bits. A user of the command should not have to know that: by default
a file whose times do not fit is rebased to its first event, and only then.
``errors="skip"`` and the time offset go only to formats that take them; zel's
own formats hold 32-bit times and have no skip mode, so they read as always.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from ._files import resolve_format
from ._info import FileInfo, info
from ._paths import PathArg, fs_bytes

#: ``t_offset`` meaning "rebase to the first event only if the times do not fit".
AUTO = "auto"
#: One past the largest time an event array holds.
TIME_LIMIT = 1 << 32


@dataclass(frozen=True)
class ReadPlan:
    """What one file is read with, and what was done to its times."""

    #: The file as zelkit.info describes it (times in the file's own clock).
    described: FileInfo
    #: Keyword options for zelkit.load and zelkit.iter_load.
    options: dict[str, Any] = field(default_factory=dict)
    #: Microseconds subtracted from every time (None: the times are the file's).
    t_base: int | None = None
    #: True when the base was chosen because the times do not fit 32 bits.
    rebased_to_fit: bool = False


def check_t_offset(t_offset: object) -> None:
    """ValueError unless ``t_offset`` is "auto", "first", None or a 64-bit unsigned int."""
    if t_offset in (AUTO, "first", None):
        return
    if isinstance(t_offset, bool) or not isinstance(t_offset, int) or not 0 <= t_offset < 2**64:
        raise ValueError(f"t_offset must be 'auto', 'first', None or an int from 0 to 2**64-1, not {t_offset!r}")


def _options_of(path: PathArg, format: str | None) -> frozenset[str]:
    return resolve_format(fs_bytes(path), format).options


def describe_file(path: PathArg, *, format: str | None = None, errors: str = "strict") -> FileInfo:
    """zelkit.info of ``path``, skipping bad data where the format can."""
    if errors == "skip" and "errors" in _options_of(path, format):
        return info(path, format, errors="skip")
    return info(path, format)


def plan_read(path: PathArg, *, format: str | None = None, errors: str = "strict",
              t_offset: int | str | None = AUTO) -> ReadPlan:
    """Describe ``path`` (read as ``format``, by default as its name says) and
    choose how to read it.

    ``t_offset``: ``"auto"`` (rebase to the first event when the times do
    not fit the 32-bit field), ``"first"``, an int, or None (the times as
    they are; a time that does not fit then fails the read, naming the
    event).
    """
    check_t_offset(t_offset)
    options = _options_of(path, format)
    described = describe_file(path, format=format, errors=errors)
    chosen: dict[str, Any] = {"errors": "skip"} if errors == "skip" and "errors" in options else {}
    base: int | None = None
    first = described.t_first
    if "t_offset" in options and first is not None:
        if t_offset == AUTO:
            # The latest time is at most the first plus the duration, so
            # below the limit every time fits as it is.
            base = first if first + described.duration_us >= TIME_LIMIT else None
        elif t_offset == "first":
            base = first
        elif isinstance(t_offset, int):
            base = t_offset
    if base is not None:
        chosen["t_offset"] = base
    return ReadPlan(described, chosen, base, rebased_to_fit=t_offset == AUTO and base is not None)

