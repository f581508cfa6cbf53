"""An evaluation's output file, written as results arrive and read back to resume.

``.csv`` and ``.jsonl`` grow by appending whole rows, each in one write, so
an interrupted run leaves at most a torn last line, which a rerun drops.
``.json`` is one array, so it is rewritten through a temporary file and a
rename; to keep that affordable on long runs it is rewritten at most as
often as its own cost allows, and always at the end.
"""

from __future__ import annotations

import csv
import io
import json
import os
import time
from collections.abc import Iterable

from .._atomic import atomic_write_bytes
from ._records import COLUMNS, Record, record_from_row, record_to_row

SUFFIXES = (".csv", ".json", ".jsonl")


class ResultsFileError(ValueError):
    """The output file exists but cannot be resumed from."""


class ResultsFile:
    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self.kind = os.path.splitext(self.path)[1].lower()
        if self.kind not in SUFFIXES:
            raise ResultsFileError(f"{self.path}: results go to a .csv, .json or .jsonl file")
        self._rows: list[dict[str, object]] = []
        self._last_rewrite = 0.0
        self._rewrite_cost = 0.0

    def read_existing(self) -> list[Record]:
        """Records already in the file (none when it does not exist yet).

        A torn last line is dropped and the file rewritten without it, so
        the rows appended next start on a line of their own.
        """
        try:
            with open(self.path, "rb") as handle:
                data = handle.read()
        except FileNotFoundError:
            return []
        if not data.strip():
            if data:
                # Blank lines only: start afresh, so a CSV header comes first.
                atomic_write_bytes(self.path, b"")
            return []
        try:
            text = data.decode("utf-8")
            if self.kind == ".json":
                rows = json.loads(text)
                if not isinstance(rows, list) or not all(isinstance(row, dict) for row in rows):
                    raise ValueError("not an array of rows")
            else:
                whole, torn = _split_torn_line(text)
                if not whole.strip():
                    # Not even the first line was finished: if it is the
                    # start of ours (a CSV header included), nothing was
                    # kept and the file starts afresh.
                    if not _starts_like_this_version(self.kind, text.strip()):
                        raise ValueError("its first line is not this version's")
                    whole = ""
                rows = self._parse_lines(whole) if whole else []
                if torn:
                    atomic_write_bytes(self.path, whole.encode("utf-8"))
            records = [record_from_row(row) for row in rows]
        except (ValueError, UnicodeDecodeError) as error:
            raise ResultsFileError(
                f"{self.path}: cannot resume from this file ({error}); move it away or choose another --out"
            ) from None
        self._rows = [record_to_row(record) for record in records]
        return records

    def _parse_lines(self, text: str) -> list[dict[str, object]]:
        if self.kind == ".jsonl":
            rows = [json.loads(line) for line in text.splitlines() if line.strip()]
            if not all(isinstance(row, dict) for row in rows):
                raise ValueError("a line is not a row")
            return rows
        reader = csv.DictReader(io.StringIO(text, newline=""))
        if tuple(reader.fieldnames or ()) != COLUMNS:
            raise ValueError("its columns are not this version's")
        return list(reader)

    def append(self, records: Iterable[Record]) -> None:
        rows = [record_to_row(record) for record in records]
        if not rows:
            return
        self._rows.extend(rows)
        if self.kind == ".json":
            if time.monotonic() - self._last_rewrite >= max(2.0, 20 * self._rewrite_cost):
                self.flush()
            return
        if self.kind == ".jsonl":
            chunk = "".join(json.dumps(row) + "\n" for row in rows)
        else:
            out = io.StringIO(newline="")
            writer = csv.DictWriter(out, fieldnames=COLUMNS, lineterminator="\n")
            if not os.path.exists(self.path) or os.path.getsize(self.path) == 0:
                writer.writeheader()
            writer.writerows(rows)
            chunk = out.getvalue()
        with open(self.path, "a", encoding="utf-8", newline="") as handle:
            handle.write(chunk)

    def flush(self) -> None:
        """Bring a .json file up to date (appended formats always are)."""
        if self.kind != ".json":
            return
        start = time.monotonic()
        atomic_write_bytes(self.path, json.dumps(self._rows, indent=1).encode("utf-8"))
        self._last_rewrite = time.monotonic()
        self._rewrite_cost = self._last_rewrite - start


def _starts_like_this_version(kind: str, line: str) -> bool:
    """Whether `line`, cut short, can be the first line `append` writes."""
    if kind == ".jsonl":
        row_start = json.dumps({COLUMNS[0]: ""})[:-2]  # '{"path": "'
        return line.startswith(row_start) or row_start.startswith(line)
    return ",".join(COLUMNS).startswith(line)


def _split_torn_line(text: str) -> tuple[str, bool]:
    if text.endswith("\n"):
        return text, False
    cut = text.rfind("\n") + 1
    return text[:cut], True
