"""The command's plain-text tables and the evaluation summary built on them:
what each cell shows and how columns line up, read back from the text."""

from __future__ import annotations

import dataclasses

import pytest

from zelkit._cli.summary import measured_compressors, summary_table
from zelkit._cli.table import format_table
from zel_command import tables
from zelkit.evaluation import Record


def column(text: str, header: str) -> list[str]:
    return [row[header] for row in tables(text)[0]]


@pytest.mark.parametrize("rows, shown", [
    ([[5], [12345]], ["5", "12,345"]),
    ([[-1000.0], [999.94], [100.0], [99.9996], [0.5]], ["-1,000", "999.9", "100.0", "100.000", "0.500"]),
    ([[1000.0], [999.5]], ["1,000", "999.5"]),
    ([[None], [7]], ["-", "7"]),
    ([["a"], [True]], ["a", "True"]),
])
def test_cells_show_numbers_with_separators_and_fewer_decimals_as_they_grow(rows, shown):
    assert column(format_table(["v"], rows), "v") == shown


@pytest.mark.parametrize("column, numeric", [
    ([12345, None], True),       # a missing figure keeps its column of numbers
    ([None, None], True),
    ([1.5, 2], True),
    (["12.5%", "3%", None], True),  # shares are numbers too
    (["12.5%", "n/a"], False),
    (["1.2.3%", "4%"], False),
    ([True, False], False),      # flags are words, not numbers
    (["abc", 1], False),
])
def test_number_columns_align_right_and_any_text_makes_a_column_left_aligned(column, numeric):
    header = "value"
    lines = format_table([header], [[value] for value in column]).split("\n")
    width = len(lines[1])
    assert lines[1] == "-" * max(len(header), *(len(line) for line in lines[2:]))
    for line in [lines[0], *lines[2:]]:
        if numeric:
            assert len(line) == width, lines  # padded on the left up to the ruler
        else:
            assert line == line.lstrip(), lines  # starts at the column's left edge


def test_headers_over_several_lines_sit_their_short_neighbours_on_the_last_line():
    text = format_table(["bits/event\nmean", "files", "name"], [[1.25, 3, "city"], [22.0, 10, "x"]])
    lines = text.split("\n")
    assert lines[0].split() == ["bits/event"]
    assert lines[1].split() == ["mean", "files", "name"]
    assert tables(text)[0] == [{"bits/event mean": "1.250", "files": "3", "name": "city"},
                               {"bits/event mean": "22.000", "files": "10", "name": "x"}]
    # Numbers end under their header's right edge, text starts under its left.
    assert lines[1].index("files") + len("files") == lines[3].index("3") + 1
    assert lines[1].index("name") == lines[3].index("city")


def test_a_table_without_rows_is_its_header_and_ruler():
    assert format_table(["a", "bb"], []).split("\n") == ["a  bb", "-  --"]


BASE = dict(
    path="f.raw", format="evt3", width=64, height=48, time_bins=16, max_depth=10, frames=1, codec="zel",
    n_events=1000, t_base=None, duration_us=1500, zel_bytes=500, bits_per_event=4.0, ratio=18.0,
    encode_mev_s=None, decode_mev_s=None, raw_bytes=9000, zstd3_raw=None, zstd19_raw=None, xz_raw=None,
    grid_bytes=400, zstd3_grid=None, zstd19_grid=None, xz_grid=None, container_bytes=600, coverage=1.0,
    over_coverage=0.25, duplicates=100, mean_time_error_us=2.5, max_time_error_us=9,
)


def record(**changes: object) -> Record:
    return dataclasses.replace(Record(**BASE), **changes)  # type: ignore[arg-type]


def summary_rows(records: list[Record]) -> tuple[dict[str, str], dict[str, str]]:
    """The first row of the summary's two tables, by header."""
    like, lossy = tables(summary_table(records))[:2]
    return like[0], lossy[0]


@pytest.mark.parametrize("measured, shown", [
    (("zstd3", "zstd19", "xz"), ["zstd19", "xz"]),  # all three: zstd -3 is left to the results file
    (("zstd3", "xz"), ["zstd3", "xz"]),
    (("zstd19", "xz"), ["zstd19", "xz"]),
    (("zstd3",), ["zstd3"]),
    ((), []),
])
@pytest.mark.parametrize("where", ["raw", "grid"])
def test_the_summary_shows_every_measured_compressor_but_zstd3_among_three(measured, shown, where):
    # Measured in one record only: any record's figure puts it in the table.
    records = [record(), record(path="g.raw", **{f"{stem}_{where}": 800 for stem in measured})]
    assert measured_compressors(records, where) == shown
    like, lossy = summary_rows(records)
    names = {"zstd3": "zstd-3", "zstd19": "zstd-19", "xz": "xz"}
    columns = [header for header in (like if where == "grid" else lossy) if header.endswith(f" {where} / zel")]
    assert columns == [f"{names[stem]} {where} / zel" for stem in shown]


@pytest.mark.parametrize("duration_us, frames, time_bins, bin_us", [
    (1500, 1, 16, "100.0"),    # 16 bins cover the span with 15 steps
    (1500, 3, 16, "33.333"),   # each frame is binned over its own share
    (1500, 3, 1, "500.0"),     # one bin: the frame's whole span
    (1500, 1, 2, "1,500"),
])
def test_a_bin_spans_a_frames_duration_over_its_bins_less_one(duration_us, frames, time_bins, bin_us):
    like, _ = summary_rows([record(duration_us=duration_us, frames=frames, time_bins=time_bins)])
    assert like["bin us"] == bin_us


def test_summary_figures_are_means_over_files_with_events():
    records = [record(bits_per_event=2.0, xz_grid=1000, over_coverage=0.5),
               record(path="g.raw", bits_per_event=6.0, xz_grid=2000, over_coverage=0.0),
               record(path="empty.raw", n_events=0, bits_per_event=None, zel_bytes=0, xz_grid=10)]
    like, lossy = summary_rows(records)
    assert (like["files"], like["events"]) == ("3", "2,000")
    assert (like["bits/event mean"], like["bits/event worst file"]) == ("4.000", "6.000")
    assert like["merged events"] == "10.0%"
    assert like["xz grid / zel"] == "3.000"  # (1000 / 500 + 2000 / 500) / 2
    assert lossy["over- coverage"] == "25.0%"
    assert lossy["time error us"] == "2.500"
