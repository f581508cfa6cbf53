#pragma once

#include <cstddef>
#include <cstdint>

namespace zel {

// Bytes the plain-line parser may read from the start of a line: more than
// the longest plain line ("65535,65535,4294967295,255\r\n", 28 bytes), as
// numbers are read eight bytes at a time.
inline constexpr std::size_t kPlainCsvLookahead = 32;

struct PlainCsvRun {
    std::size_t bytes = 0;   // consumed, always whole lines
    std::size_t events = 0;  // one per line
};

// Decodes the run of plain lines at the front of [data, data + size) into
// packed records at `out` (room for `max_events` of them), stopping at the
// first line that is not plain, after `max_events` lines, or when fewer
// than kPlainCsvLookahead bytes are left.
//
// A plain line is four unsigned decimal numbers joined by single commas and
// ended by "\n" or "\r\n": digits only, no more of them than the column's
// largest value has, each value within its column's range. Every plain line
// is a data line the general parser (csv_line.hpp) reads to the same event,
// so a caller hands whatever is left to that parser and sees the same
// events and the same errors, at the same line.
PlainCsvRun parse_plain_csv_lines(const std::uint8_t* data, std::size_t size,
                                  std::size_t max_events, std::uint8_t* out);

}  // namespace zel
