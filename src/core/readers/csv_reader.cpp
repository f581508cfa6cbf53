#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "readers/csv_line.hpp"
#include "readers/csv_plain.hpp"
#include "readers/dataset.hpp"
#include "readers/posix_file.hpp"
#include "text/utf8.hpp"

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

    // Decodes the plain lines (csv_plain.hpp) at the front of the unread
    // buffer, up to the last kPlainCsvLookahead bytes, appending their
    // events; the lines after them are read by next() as before. Reads
    // nothing from the file, so the file is still read in the same blocks.
    void take_plain_lines(EventList& events) {
        constexpr std::size_t kBatch = 256;
        std::uint8_t records[kBatch * kPackedEventBytes];
        for (;;) {
            const PlainCsvRun run =
                parse_plain_csv_lines(buffer_.data() + pos_, end_ - pos_, kBatch, records);
            pos_ += run.bytes;
            const PackedEvents decoded(records, run.events);
            for (std::size_t i = 0; i < decoded.size(); ++i) events.push_back(decoded[i]);
            if (run.events < kBatch) return;
        }
    }

private:
    Source file_;
    std::array<std::uint8_t, kBufferSize> buffer_{};
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
};

template <class Source>
LoadResult<EventList> parse_lines(Source source) {
    LineReader<Source> reader(std::move(source));
    EventList events;
    std::string line;
    for (;;) {
        reader.take_plain_lines(events);
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
        switch (parse_csv_line(line, event, reason)) {
            case CsvLineOutcome::Event:
                events.push_back(event);
                break;
            case CsvLineOutcome::Skip:
                break;
            case CsvLineOutcome::Error:
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
