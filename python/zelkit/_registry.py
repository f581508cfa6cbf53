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
    claimed; two formats cannot share an extension. The formats zelkit
    brings take theirs from the native extension table
    (``_native.EXTENSIONS``), the one list zel and zelkit dispatch by.
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
``open_writer(file, **header_options) -> write_chunk`` (optional)
    The same file written a chunk at a time, for streams of any length:
    writes the header to the binary file object and returns
    ``write_chunk(events, t_base)``, which appends one chunk's records
    (``t_base`` as the option below, 0 for formats without it). A format
    that ends with something of its own (an index) gives ``write_chunk`` a
    ``finish()`` attribute, called once after the last chunk. Indices in
    messages count over the whole file. ``header_options`` are the write
    options other than ``t_base``, and a format that records a sensor size
    needs them given. Without it, chunks are written by encoding each as a
    whole file and dropping the header, which works for headers that do not
    depend on the events.
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
    ``t_base``; zelkit.info relies on it to report 64-bit times; a format
    may choose another base at or below the chunk's times, as the .zel
    event store does with its blocks' bases). ``threads``: how many
    threads a format that decodes in parallel may use (None: its default).
``write_options`` (optional)
    The keyword options write takes, under the same rule, from those
    zelkit.save offers: ``width`` and ``height``, the sensor size a format
    records in its header, and ``t_base``, for formats that record a
    camera's clock: each event is written at camera time ``t_base + t``.
``time_limits`` (optional, with ``t_base``)
    ``(first, every)``: the camera times the format holds; the first
    event's must be below ``first`` and every one below ``every`` (None: no
    bound beyond the first).
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass

from . import _native
from ._dtype import EventArray

#: The extension table, as (extension, format name, zel reads it) in the
#: order messages list them; "bin" names the size rule (_native.bin_format).
EXTENSION_TABLE: tuple[tuple[str, str, bool], ...] = _native.EXTENSIONS

#: Extensions whose meaning zel's load_events fixes; zelkit keeps it.
ZEL_EXTENSIONS = frozenset(ext for ext, _, zel in EXTENSION_TABLE if zel)

#: The options zelkit.load/iter_load and zelkit.save can pass on, with the
#: default values that mean "not given".
LOAD_OPTIONS = {"errors": "strict", "t_offset": None, "threads": None}
WRITE_OPTIONS = {"width": None, "height": None, "t_base": None, "fast": False}


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
    open_writer: Callable[..., Callable[[EventArray, int], None]] | None = None
    time_limits: tuple[int, int | None] | None = None


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


def readable_extensions() -> tuple[str, ...]:
    """Every extension zelkit picks a reader by, in the order messages list
    them: the table's, then those of formats registered beyond it."""
    table = [ext for ext, _, _ in EXTENSION_TABLE]
    with _lock:
        others = [ext for ext in _by_extension if ext not in table]
    return (*table, *others)
