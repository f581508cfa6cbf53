"""Plain-text tables for the terminal: right-aligned numbers, left-aligned text.

A header may span lines ("bits/event\\nmean"); each line of it is aligned
like the column below.
"""

from __future__ import annotations

from collections.abc import Sequence


def format_table(headers: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    cells = [[_cell(value) for value in row] for row in rows]
    header_lines = [header.split("\n") for header in headers]
    height = max((len(lines) for lines in header_lines), default=1)
    # Short headers sit on the last line, next to the values.
    header_lines = [[""] * (height - len(lines)) + lines for lines in header_lines]
    widths = [max(len(line) for line in lines) for lines in header_lines]
    for row in cells:
        widths = [max(width, len(cell)) for width, cell in zip(widths, row)]
    numeric = [bool(rows) and all(_is_number(row[i]) for row in rows) for i in range(len(headers))]

    def line(values: Sequence[str]) -> str:
        parts = [
            value.rjust(width) if is_number else value.ljust(width)
            for value, width, is_number in zip(values, widths, numeric)
        ]
        return "  ".join(parts).rstrip()

    ruler = "  ".join("-" * width for width in widths)
    head = [line([lines[k] for lines in header_lines]) for k in range(height)]
    return "\n".join([*head, ruler, *(line(row) for row in cells)])


def _is_number(value: object) -> bool:
    if isinstance(value, str):
        return value.endswith("%") and value[:-1].replace(".", "", 1).isdigit()
    return value is None or (isinstance(value, (int, float)) and not isinstance(value, bool))


def _cell(value: object) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        # Three significant decimals for ratios and bits, fewer as values grow.
        if abs(value) >= 1000:
            return f"{value:,.0f}"
        return f"{value:.1f}" if abs(value) >= 100 else f"{value:.3f}"
    if isinstance(value, int) and not isinstance(value, bool):
        return f"{value:,}"
    return str(value)
