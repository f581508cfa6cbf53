"""The table of file formats behind zelkit.load, iter_load, save and info.

A format is described by one :class:`FormatSpec` and added with
:func:`register_format`, from the module that implements it; load, iter_load,
save and info find it here by name (their ``format=`` argument) or by
extension (``format=None``) and need no change. The contract a spec makes:

``name``
    The value users pass as ``format=``; unique.
``extensions``
    File-name extensions (without the dot, compared case-sensitively, as zel
    does) that select this format when ``format=None``. zel's own extensions
    (bin, evb, aedat, csv, txt) always keep zel's meaning and cannot be
    claimed; two formats cannot share an extension.
``load(path, **options) -> EventArray``
    The whole file as a C-contiguous ``EVENT_DTYPE`` array in file order.
    ``path`` is ``bytes`` (already through os.fspath and the file-system
    encoding). Raises ``OSError`` when the file cannot be read and
    ``zelkit.FormatError`` (with the byte offset) for malformed data; never
    returns part of a file as if it were all of it.
``iter_chunks(path, max_events, **options) -> Iterator[EventArray]``
    The same events in file order, in non-empty arrays of at most
    ``max_events`` events each, holding no more than one chunk plus a fixed
    buffer in memory. It may open the file eagerly (so a missing file fails
    at the call) and raises ``FormatError`` at the chunk where bad data
    starts, after yielding the good chunks before it.
``write(file, events, **write_options) -> None`` (optional)
    Writes ``events`` (a C-contiguous ``EVENT_DTYPE`` array) to the binary
    file object as a complete file of the format. Values the format cannot
    hold raise ``ValueError`` naming the field, the first bad index and the
    limit. zelkit.save owns the temporary file and the rename, so a writer
    that fails part-way leaves nothing behind.
``probe_size(path) -> (width, height) | None`` (optional)
    The sensor size the file's header declares, or None when it has none;
    must read no more than the header.
``options`` (optional)
    The keyword options load and iter_chunks take, from those zelkit.load
    and iter_load offer; a format gets an option only when the caller gave
    it a value other than its default, and a caller who does so for a format
    without it gets ``ValueError``. ``errors``: ``"strict"`` (the default:
    bad data raises) or ``"skip"`` (bad words are dropped and counted).
    ``t_offset``: microseconds subtracted from the file's times, for formats
    whose clock is wider than 32 bits: ``None`` (the default: nothing), an
    int, ``"first"`` (the first event's time) or, for iter_chunks only,
    ``"chunk"`` (each chunk's first time, which the chunk carries as
    ``t_base``; zelkit.info relies on it to report 64-bit times).
``write_options`` (optional)
    The keyword options write takes, under the same rule, from those
    zelkit.save offers: ``width`` and ``height``, the sensor size a format
    records in its header.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass

from ._dtype import EventArray

#: Extensions whose meaning zel's load_events fixes; zelkit keeps it.
ZEL_EXTENSIONS = frozenset({"bin", "evb", "aedat", "csv", "txt"})

#: The options zelkit.load/iter_load and zelkit.save can pass on, with the
#: default values that mean "not given".
LOAD_OPTIONS = {"errors": "strict", "t_offset": None}
WRITE_OPTIONS = {"width": None, "height": None}


def skips_bad_data(errors: str) -> bool:
    """The ``errors`` option: True for "skip", False for "strict" (the
    default), ValueError for anything else."""
    if errors not in ("strict", "skip"):
        raise ValueError(f"errors must be 'strict' or 'skip', not {errors!r}")
    return errors == "skip"


@dataclass(frozen=True)
class FormatSpec:
    """How zelkit reads and writes one file format (see the module docstring)."""

    name: str
    extensions: tuple[str, ...]
    load: Callable[..., EventArray]
    iter_chunks: Callable[..., Iterator[EventArray]]
    write: Callable[..., None] | None = None
    probe_size: Callable[[bytes], tuple[int, int] | None] | None = None
    options: frozenset[str] = frozenset()
    write_options: frozenset[str] = frozenset()


_lock = threading.Lock()
_by_name: dict[str, FormatSpec] = {}
_by_extension: dict[str, FormatSpec] = {}


def register_format(spec: FormatSpec) -> None:
    """Add a format; ValueError if its name or an extension is already taken."""
    with _lock:
        if spec.name in _by_name:
            raise ValueError(f"format {spec.name!r} is already registered")
        unknown = (spec.options - set(LOAD_OPTIONS)) | (spec.write_options - set(WRITE_OPTIONS))
        if unknown:
            raise ValueError(f"format {spec.name!r}: no such option(s) {sorted(unknown)}")
        for ext in spec.extensions:
            if ext.startswith(".") or not ext:
                raise ValueError(f"extension {ext!r}: give it without the leading dot")
            if ext in ZEL_EXTENSIONS:
                raise ValueError(f"extension {ext!r} keeps zel's meaning and cannot be registered")
            if ext in _by_extension:
                raise ValueError(f"extension {ext!r} already belongs to format {_by_extension[ext].name!r}")
        _by_name[spec.name] = spec
        for ext in spec.extensions:
            _by_extension[ext] = spec


def get_format(name: str) -> FormatSpec:
    """The FormatSpec registered under ``name``; ValueError naming the known ones otherwise."""
    spec = _by_name.get(name)
    if spec is None:
        known = ", ".join(repr(n) for n in sorted(_by_name))
        raise ValueError(f"unknown format {name!r}; known formats: {known}")
    return spec


def format_for_extension(ext: str) -> FormatSpec | None:
    """The registered (non-zel) format claiming ``ext``, if any."""
    return _by_extension.get(ext)


def format_names() -> tuple[str, ...]:
    return tuple(sorted(_by_name))
