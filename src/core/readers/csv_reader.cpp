#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "dataset.hpp"
#include "posix_file.hpp"
#include "utf8.hpp"

namespace zel {
namespace {

// Bytes already in memory, handed out the way a file's reads would be.
class MemorySource {
public:
    explicit MemorySource(std::span<const std::uint8_t> data) : rest_(data) {}
    LoadResult<std::size_t> read(std::uint8_t* buffer, std::size_t capacity) {
        const std::size_t n = std::min(capacity, rest_.size());
        if (n == 0) {
            return std::size_t{0};  // an empty span may have no data pointer at all
        }
        std::memcpy(buffer, rest_.data(), n);
        rest_ = rest_.subspan(n);
        return n;
    }

private:
    std::span<const std::uint8_t> rest_;
};

// Reads a source (a ReadOnlyFile or a MemorySource) line by line through a
// fixed buffer, so memory follows the longest line rather than the file size.
template <class Source>
class LineReader {
public:
    static constexpr std::size_t kBufferSize = 8192;

    explicit LineReader(Source file) : file_(std::move(file)) {}

    // Replaces `line` with the next line, its line feed included (absent on
    // a last line without one). False once no byte is left.
    LoadResult<bool> next(std::string& line) {
        line.clear();
        for (;;) {
            if (pos_ == end_) {
                if (eof_) {
                    return !line.empty();
                }
                LoadResult<std::size_t> n = file_.read(buffer_.data(), buffer_.size());
                if (!n) {
                    return n.error();
                }
                pos_ = 0;
                end_ = n.value();
                if (end_ == 0) {
                    eof_ = true;
                    return !line.empty();
                }
            }
            const auto* begin = buffer_.data() + pos_;
            const auto* lf = static_cast<const std::uint8_t*>(std::memchr(begin, '\n', end_ - pos_));
            const std::size_t take = lf != nullptr ? static_cast<std::size_t>(lf - begin) + 1 : end_ - pos_;
            line.append(reinterpret_cast<const char*>(begin), take);
            pos_ += take;
            if (lf != nullptr) {
                return true;
            }
        }
    }

private:
    Source file_;
    std::array<std::uint8_t, kBufferSize> buffer_{};
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
};

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

enum class LineOutcome { Event, Skip, Error };

LineOutcome parse_line(std::string_view line, Event& event, const char*& reason) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
    }
    const std::string_view text = trim_white_space(line);
    if (text.empty() || text.front() == '#') {
        return LineOutcome::Skip;
    }
    // Header lines such as "x,y,t,p" start with something else.
    const char first = text.front();
    if (!((first >= '0' && first <= '9') || first == '+' || first == '-')) {
        return LineOutcome::Skip;
    }
    std::array<std::string_view, 4> pieces;
    if (split_pieces(text, pieces) < pieces.size()) {
        return LineOutcome::Skip;
    }
    std::uint32_t x = 0, y = 0, t = 0, p = 0;
    if ((reason = parse_unsigned(pieces[0], 0xFFFF, x)) ||
        (reason = parse_unsigned(pieces[1], 0xFFFF, y)) ||
        (reason = parse_unsigned(pieces[2], 0xFFFFFFFF, t)) ||
        (reason = parse_unsigned(pieces[3], 0xFF, p))) {
        return LineOutcome::Error;
    }
    event = Event{static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y), t,
                  static_cast<std::uint8_t>(p)};
    return LineOutcome::Event;
}

template <class Source>
LoadResult<EventList> parse_lines(Source source) {
    LineReader<Source> reader(std::move(source));
    EventList events;
    std::string line;
    for (;;) {
        LoadResult<bool> more = reader.next(line);
        if (!more) {
            return more.error();
        }
        if (!more.value()) {
            return events;
        }
        // Checked before any skipping: a bad byte in a comment still fails.
        if (!is_valid_utf8(line)) {
            return LoadError::invalid_data("stream did not contain valid UTF-8");
        }
        Event event;
        const char* reason = nullptr;
        switch (parse_line(line, event, reason)) {
            case LineOutcome::Event:
                events.push_back(event);
                break;
            case LineOutcome::Skip:
                break;
            case LineOutcome::Error:
                return LoadError::invalid_data(reason);
        }
    }
}

}  // namespace

LoadResult<EventList> read_csv_with(const std::string& path, IoHooks& hooks) {
    LoadResult<ReadOnlyFile> opened = ReadOnlyFile::open_with(path, hooks);
    if (!opened) {
        return opened.error();
    }
    return parse_lines(std::move(opened.value()));
}

LoadResult<EventList> decode_csv(std::span<const std::uint8_t> data) {
    return parse_lines(MemorySource(data));
}

}  // namespace zel
