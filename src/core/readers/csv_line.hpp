#pragma once

#include <string_view>

#include "base/event.hpp"

namespace zel {

enum class CsvLineOutcome { Event, Skip, Error };

// One line of a CSV/text event file, its line feed included or not. On
// Error, `reason` is the message the reader reports. The line must already
// be known to be valid UTF-8.
CsvLineOutcome parse_csv_line(std::string_view line, Event& event, const char*& reason);

}  // namespace zel
