"""How the command and the evaluation read whatever file zelkit reads.

Cameras count 64-bit microseconds (AEDAT 4 in Unix-epoch time); event arrays
hold 32 bits. A user of the command should not have to know that: by default
a file whose times do not fit is rebased to its first event, and only then.
A file written in a format that records a camera clock (.dat, .raw) keeps
the source's clock where that format can hold it, chunk by chunk, whatever
the recording's length. ``errors="skip"`` and the time offset go only to
formats that take them; zel's own formats hold 32-bit times and have no skip
mode, so they read as always.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from . import _event_store
from ._files import resolve_format
from ._info import FileInfo, Outline, info
from ._paths import PathArg, fs_bytes

#: ``t_offset`` meaning "rebase to the first event only if the times do not fit".
AUTO = "auto"
#: One past the largest time an event array holds.
TIME_LIMIT = 1 << 32


@dataclass(frozen=True)
class ReadPlan:
    """What one file is read with, and what was done to its times."""

    #: The file as outline_file describes it (times in the file's own clock).
    described: Outline
    #: Keyword options for zelkit.load and zelkit.iter_load.
    options: dict[str, Any] = field(default_factory=dict)
    #: Microseconds subtracted from every time (None: the times are the file's).
    t_base: int | None = None
    #: True when the base was chosen because the times do not fit 32 bits
    #: (or, with ``clock``, the output's camera clock).
    rebased_to_fit: bool = False
    #: True when each chunk comes rebased to its own first event and carries
    #: that base (``t_offset="chunk"``): its camera time is ``t_base`` of the
    #: chunk plus ``t``, and this plan's ``t_base`` is subtracted when written.
    chunk_clock: bool = False


def check_t_offset(t_offset: object) -> None:
    """ValueError unless ``t_offset`` is "auto", "first", None or a 64-bit unsigned int."""
    if t_offset in (AUTO, "first", None):
        return
    if isinstance(t_offset, bool) or not isinstance(t_offset, int) or not 0 <= t_offset < 2**64:
        raise ValueError(f"t_offset must be 'auto', 'first', None or an int from 0 to 2**64-1, not {t_offset!r}")


def describe_file(path: PathArg, *, format: str | None = None, errors: str = "strict") -> FileInfo:
    """zelkit.info of ``path``, skipping bad data where the format can."""
    if errors == "skip" and "errors" in resolve_format(fs_bytes(path), format).options:
        return info(path, format, errors="skip")
    return info(path, format)


def outline_file(path: PathArg, *, format: str | None = None, errors: str = "strict") -> Outline:
    """What a read of ``path`` needs to know first: describe_file's, but an
    event store's from its index and block headers, so that reading it does
    not decode it twice."""
    if resolve_format(fs_bytes(path), format).name == _event_store.FORMAT_NAME:
        return _event_store.outline(path)
    return Outline.of(describe_file(path, format=format, errors=errors))


def plan_read(path: PathArg, *, format: str | None = None, errors: str = "strict",
              t_offset: int | str | None = AUTO, clock: tuple[int, int | None] | None = None) -> ReadPlan:
    """Describe ``path`` (read as ``format``, by default as its name says) and
    choose how to read it.

    ``t_offset``: ``"auto"`` (rebase to the first event when the times do
    not fit the 32-bit field), ``"first"``, an int, or None (the times as
    they are; a time that does not fit then fails the read, naming the
    event).

    ``clock``: the camera times the output holds, ``(first, every)`` as
    FormatSpec.time_limits says, when it records a camera clock. A camera
    file is then read chunk by chunk, each chunk rebased to itself
    (``chunk_clock``), and ``t_base`` is what the output subtracts: with
    ``"auto"``, nothing where the output holds the file's clock, else the
    first event's time.
    """
    check_t_offset(t_offset)
    options = resolve_format(fs_bytes(path), format).options
    described = outline_file(path, format=format, errors=errors)
    chosen: dict[str, Any] = {"errors": "skip"} if errors == "skip" and "errors" in options else {}
    first = described.t_first
    if "t_offset" not in options or first is None:
        return ReadPlan(described, chosen)
    # The latest time is at most the first plus the duration.
    latest = first + described.duration_us
    base: int | None = None
    if t_offset == AUTO:
        first_limit, every_limit = (TIME_LIMIT, TIME_LIMIT) if clock is None else clock
        fits = first < first_limit and (every_limit is None or latest < every_limit)
        base = None if fits else first
    elif t_offset == "first":
        base = first
    elif isinstance(t_offset, int):
        base = t_offset
    rebased = t_offset == AUTO and base is not None
    if clock is not None:
        chosen["t_offset"] = "chunk"
        return ReadPlan(described, chosen, base or 0, rebased_to_fit=rebased, chunk_clock=True)
    if base is not None:
        chosen["t_offset"] = base
    return ReadPlan(described, chosen, base, rebased_to_fit=rebased)

