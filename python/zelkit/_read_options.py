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
from ._files import iter_load, resolve_format
from ._info import FileInfo, Outline, info
from ._paths import PathArg, fs_bytes

#: ``t_offset`` meaning "rebase to the first event only if the times do not fit".
AUTO = "auto"
#: One past the largest time an event array holds.
TIME_LIMIT = 1 << 32


@dataclass(frozen=True)
class ReadPlan:
    """What one file is read with, and what was done to its times."""

    #: The file as outline_file describes it (times in the file's own clock);
    #: None only when plan_read was told ``sized=False`` and needed no pass.
    outline: Outline | None
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

    @property
    def described(self) -> Outline:
        """``outline``, for the plans that always have one."""
        if self.outline is None:
            raise RuntimeError("this reading plan was made without a pass over the file (sized=False)")
        return self.outline


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
              t_offset: int | str | None = AUTO, clock: tuple[int, int | None] | None = None,
              sized: bool = True) -> ReadPlan:
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

    ``sized=False`` (with ``clock``): the caller needs no size or count
    from ``described``. Where the choice needs none either (an output clock
    with no limit on every time), the file is not read through first, and
    ``outline`` is None: that pass was a fifth of converting a camera
    recording to .zel.
    """
    check_t_offset(t_offset)
    options = resolve_format(fs_bytes(path), format).options
    chosen: dict[str, Any] = {"errors": "skip"} if errors == "skip" and "errors" in options else {}
    if clock is not None and not sized and clock[1] is None and "t_offset" in options:
        return _plan_camera_clock(path, format, chosen, t_offset, clock[0])
    described = outline_file(path, format=format, errors=errors)
    first = described.t_first
    if "t_offset" not in options or first is None:
        return ReadPlan(described, chosen)
    # The latest time is at most the first plus the duration.
    latest = first + described.duration_us
    first_limit, every_limit = (TIME_LIMIT, TIME_LIMIT) if clock is None else clock
    base = _chosen_base(t_offset, first, first < first_limit and (every_limit is None or latest < every_limit))
    if clock is not None:
        return _clock_plan(described, chosen, t_offset, base)
    if base is not None:
        chosen["t_offset"] = base
    return ReadPlan(described, chosen, base, rebased_to_fit=t_offset == AUTO and base is not None)


def _chosen_base(t_offset: int | str | None, first: int, fits: bool) -> int | None:
    """What is subtracted from every time: with "auto", the first event's
    time unless the times fit."""
    if t_offset == AUTO:
        return None if fits else first
    if t_offset == "first":
        return first
    return t_offset if isinstance(t_offset, int) else None


def _clock_plan(described: Outline | None, chosen: dict[str, Any], t_offset: int | str | None,
                base: int | None) -> ReadPlan:
    chosen["t_offset"] = "chunk"
    return ReadPlan(described, chosen, base or 0, rebased_to_fit=t_offset == AUTO and base is not None,
                    chunk_clock=True)


def _plan_camera_clock(path: PathArg, format: str | None, chosen: dict[str, Any], t_offset: int | str | None,
                       first_limit: int) -> ReadPlan:
    """plan_read's choice for an output clock that limits only the first
    time, from the file's first event at most: none is read when every
    camera time fits (.zel) and "auto" or an int chooses."""
    first = 0
    if t_offset == "first" or (t_offset == AUTO and first_limit < 2**64):
        chunks = iter_load(path, chunk_events=1, format=format, t_offset="chunk", **chosen)
        try:
            head = next(chunks, None)
        finally:
            getattr(chunks, "close", lambda: None)()  # the reader goes now, not when collected
        if head is None:
            return ReadPlan(None, chosen)
        first = int(getattr(head, "t_base"))
    return _clock_plan(None, chosen, t_offset, _chosen_base(t_offset, first, first < first_limit))


def header_size(path: PathArg, *, format: str | None = None) -> tuple[int, int] | None:
    """The sensor size ``path``'s header declares, without reading its
    events; None when it declares none (or its format has no header)."""
    spec = resolve_format(fs_bytes(path), format)
    return spec.probe_size(fs_bytes(path)) if spec.probe_size is not None else None
