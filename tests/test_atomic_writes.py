"""Every writer of zelkit goes through one atomic writer: an interrupted or
failed write leaves nothing behind, a finished one has the mode open() would
give, and a failure names the file the caller asked for."""

from __future__ import annotations

import os

import numpy as np
import pytest

import zelkit
from zelkit import _atomic
from zelkit._chunked_save import save_chunks

EVENTS = np.array([(1, 2, 10, 1), (3, 4, 20, 0), (5, 6, 30, 1)], dtype=zelkit.EVENT_DTYPE)
GRID = {"width": 8, "height": 8, "time_bins": 4, "max_depth": 8}

# name -> call writing PATH; each goes through a different caller of the atomic writer.
WRITERS = {
    "save": lambda path: zelkit.save(path, EVENTS, format="evb"),
    "save camera": lambda path: zelkit.save(path, EVENTS, format="raw", width=8, height=8),
    "write": lambda path: zelkit.write(path, EVENTS, **GRID),
    "encode_stream": lambda path: zelkit.encode_stream(path, [EVENTS, EVENTS[:1]], window_us=10, **GRID),
    "save_chunks": lambda path: save_chunks(path, [EVENTS, EVENTS], format="csv"),
    # The event store: whole, through write, and streamed block by block.
    "save store": lambda path: zelkit.save(path, EVENTS, format="zel"),
    "write lossless": lambda path: zelkit.write(path, EVENTS, codec="lossless"),
    "save_chunks store": lambda path: save_chunks(path, [EVENTS, EVENTS], format="zel"),
}


def _interrupt(*args: object) -> None:
    raise KeyboardInterrupt


@pytest.mark.parametrize("writer", sorted(WRITERS))
@pytest.mark.parametrize("existing", [None, b"what was there before"])
def test_an_interrupted_write_leaves_the_target_as_it_was_and_nothing_else(writer, existing, tmp_path, monkeypatch):
    target = tmp_path / "out.bin"
    if existing is not None:
        target.write_bytes(existing)
    # The last step before the rename: everything has been written by then.
    monkeypatch.setattr(_atomic.os, "fsync", _interrupt)
    with pytest.raises(KeyboardInterrupt):
        WRITERS[writer](target)
    assert [p.name for p in tmp_path.iterdir()] == ([] if existing is None else ["out.bin"])
    if existing is not None:
        assert target.read_bytes() == existing


def test_an_interrupt_from_the_input_mid_stream_leaves_nothing(tmp_path):
    def chunks():
        yield EVENTS
        raise KeyboardInterrupt

    for call in (lambda p: save_chunks(p, chunks(), format="csv"),
                 lambda p: save_chunks(p, chunks(), format="zel"),
                 lambda p: zelkit.encode_stream(p, chunks(), window_us=10, **GRID)):
        with pytest.raises(KeyboardInterrupt):
            call(tmp_path / "out")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("writer", sorted(WRITERS))
@pytest.mark.parametrize("umask", [0o022, 0o077, 0o027, 0o002])
def test_a_written_file_has_the_mode_open_would_give(writer, umask, tmp_path):
    previous = os.umask(umask)
    try:
        WRITERS[writer](tmp_path / "out")
    finally:
        os.umask(previous)
    assert (tmp_path / "out").stat().st_mode & 0o777 == 0o666 & ~umask


@pytest.mark.parametrize("writer", sorted(WRITERS))
def test_a_missing_folder_is_reported_against_the_target(writer, tmp_path):
    target = tmp_path / "no_such_folder" / "out"
    with pytest.raises(FileNotFoundError) as caught:
        WRITERS[writer](target)
    assert caught.value.filename == str(target)


def test_a_target_that_is_a_folder_is_reported_against_it(tmp_path):
    (tmp_path / "out").mkdir()
    with pytest.raises(IsADirectoryError) as caught:
        zelkit.save(tmp_path / "out", EVENTS, format="evb")
    assert caught.value.filename == str(tmp_path / "out")
    assert [p.name for p in tmp_path.iterdir()] == ["out"]
