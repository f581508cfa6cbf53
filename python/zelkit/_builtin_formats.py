"""zel's four formats, registered like any other."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import BinaryIO

from . import _native
from ._dtype import EventArray, wrap_buffer
from ._registry import FormatSpec, register_format

# Events encoded and written per step, so a writer's working memory stays
# small whatever the array's size.
_WRITE_STEP = 1 << 20


def _loader(name: str):  # type: ignore[no-untyped-def]
    def load(path: bytes) -> EventArray:
        return wrap_buffer(_native.load(path, name))

    return load


def _chunk_reader(name: str):  # type: ignore[no-untyped-def]
    def iter_chunks(path: bytes, max_events: int) -> Iterator[EventArray]:
        # Opened here, not in the generator, so a missing file fails at the call.
        stream = _native.RecordStream(path, name)

        def chunks() -> Iterator[EventArray]:
            try:
                while True:
                    buffer = stream.read(max_events)
                    if len(buffer) == 0:
                        return
                    yield wrap_buffer(buffer)
            finally:
                stream.close()

        return chunks()

    return iter_chunks


def _open_writer(name: str) -> Callable[[BinaryIO], Callable[[EventArray, int], None]]:
    """The file's header, then each chunk's records; indices in messages
    count over the file."""

    def open_writer(file: BinaryIO) -> Callable[[EventArray, int], None]:
        written = 0
        if name != "evb":
            file.write(_native.file_header(name))

        def write_chunk(events: EventArray, t_base: int = 0) -> None:
            nonlocal written
            if name == "evb":
                file.write(events.view("u1").data)
            else:
                for start in range(0, len(events), _WRITE_STEP):
                    file.write(_native.encode_records(name, events[start : start + _WRITE_STEP], written + start))
            written += len(events)

        return write_chunk

    return open_writer


def _writer(name: str) -> Callable[[BinaryIO, EventArray], None]:
    def write(file: BinaryIO, events: EventArray) -> None:
        _open_writer(name)(file)(events, 0)

    return write


def _aedat2_size(path: bytes) -> tuple[int, int] | None:
    # zel reads 7-bit coordinates, which is a DVS128's sensor; a header
    # that names that chip tells the size.
    with open(path, "rb") as file:
        for line in file:
            if not line.startswith(b"#"):
                break
            if line.startswith(b"# AEChip:") and b"DVS128" in line:
                return (128, 128)
    return None


for _name in ("evb", "nmnist", "aedat2", "csv"):
    register_format(
        FormatSpec(
            name=_name,
            # zel's extensions are dispatched by zel's rules, not by the registry.
            extensions=(),
            load=_loader(_name),
            iter_chunks=_chunk_reader(_name),
            write=_writer(_name),
            open_writer=_open_writer(_name),
            probe_size=_aedat2_size if _name == "aedat2" else None,
        )
    )
