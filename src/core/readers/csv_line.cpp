#include "readers/csv_line.hpp"

#include <array>
#include <cstdint>

#include "text/utf8.hpp"

namespace zel {
namespace {

constexpr const char* kInvalidDigit = "invalid digit found in string";
constexpr const char* kTooLarge = "number too large to fit in target type";

// Optional '+', then ASCII digits only. Characters are taken from the left
// and the first offending one decides the reason: a non-digit, or the digit
// that pushes the value past `max`. Returns the reason, or null on success.
const char* parse_unsigned(std::string_view piece, std::uint32_t max, std::uint32_t& out) {
    if (!piece.empty() && piece.front() == '+') {
        piece.remove_prefix(1);
    }
    // Also covers a '+' or '-' alone; pieces are never empty to begin with.
    if (piece.empty()) {
        return kInvalidDigit;
    }
    std::uint64_t value = 0;
    for (char ch : piece) {
        if (ch < '0' || ch > '9') {
            return kInvalidDigit;
        }
        value = value * 10 + static_cast<std::uint64_t>(ch - '0');
        if (value > max) {
            return kTooLarge;
        }
    }
    out = static_cast<std::uint32_t>(value);
    return nullptr;
}

bool is_separator(char ch) { return ch == ',' || ch == ' ' || ch == '\t'; }

// Collects up to `pieces.size()` non-empty pieces; returns how many.
std::size_t split_pieces(std::string_view text, std::array<std::string_view, 4>& pieces) {
    std::size_t count = 0;
    std::size_t pos = 0;
    while (count < pieces.size()) {
        while (pos < text.size() && is_separator(text[pos])) {
            ++pos;
        }
        if (pos == text.size()) {
            break;
        }
        const std::size_t start = pos;
        while (pos < text.size() && !is_separator(text[pos])) {
            ++pos;
        }
        pieces[count++] = text.substr(start, pos - start);
    }
    return count;
}

}  // namespace

CsvLineOutcome parse_csv_line(std::string_view line, Event& event, const char*& reason) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
    }
    const std::string_view text = trim_white_space(line);
    if (text.empty() || text.front() == '#') {
        return CsvLineOutcome::Skip;
    }
    // Header lines such as "x,y,t,p" start with something else.
    const char first = text.front();
    if (!((first >= '0' && first <= '9') || first == '+' || first == '-')) {
        return CsvLineOutcome::Skip;
    }
    std::array<std::string_view, 4> pieces;
    if (split_pieces(text, pieces) < pieces.size()) {
        return CsvLineOutcome::Skip;
    }
    std::uint32_t x = 0, y = 0, t = 0, p = 0;
    if ((reason = parse_unsigned(pieces[0], 0xFFFF, x)) ||
        (reason = parse_unsigned(pieces[1], 0xFFFF, y)) ||
        (reason = parse_unsigned(pieces[2], 0xFFFFFFFF, t)) ||
        (reason = parse_unsigned(pieces[3], 0xFF, p))) {
        return CsvLineOutcome::Error;
    }
    event = Event{static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y), t,
                  static_cast<std::uint8_t>(p)};
    return CsvLineOutcome::Event;
}

}  // namespace zel
