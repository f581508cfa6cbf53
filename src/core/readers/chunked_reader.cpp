#include "readers/chunked_reader.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "readers/csv_line.hpp"
#include "readers/csv_plain.hpp"
#include "readers/record_codecs.hpp"
#include "text/utf8.hpp"

namespace zel {
namespace {

// Large enough that a read() costs little per byte, small enough to stay in
// cache while it is decoded; a multiple of both fixed record sizes.
constexpr std::size_t kReadBlock = 40 * 6554;
// First growth step of a caller's output when the file's size is unknown.
constexpr std::size_t kInitialEvents = 65536;

std::size_t record_bytes(RecordFormat format) {
    switch (format) {
        case RecordFormat::Compact: return kPackedEventBytes;
        case RecordFormat::Nmnist: return kNmnistRecordBytes;
        case RecordFormat::Aedat2: return kAedat2RecordBytes;
        case RecordFormat::Csv: return 8;  // the shortest event line: "0,0,0,0\n"
    }
    return 1;
}

// Index of the first byte >= 0x80 in [begin, end), or end.
std::size_t ascii_prefix_end(const std::uint8_t* data, std::size_t begin, std::size_t end) {
    std::size_t i = begin;
    for (; i + 8 <= end; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        if (word & 0x8080808080808080ULL) break;
    }
    while (i < end && data[i] < 0x80) ++i;
    return i;
}

std::string size_message(const char* what, std::uint64_t size, std::size_t record) {
    return std::string(what) + " size " + std::to_string(size) + " is not a multiple of " +
           std::to_string(record);
}

}  // namespace

RecordStream::RecordStream(ByteSource source, RecordFormat format) : source_(std::move(source)), format_(format) {}

Result<RecordStream> RecordStream::open_with(const std::string& path, RecordFormat format,
                                                   IoHooks& hooks) {
    Result<ReadOnlyFile> opened = ReadOnlyFile::open(path, hooks);
    if (!opened) return std::move(opened).take_error();
    return RecordStream(ByteSource(std::move(opened.value())), format);
}

RecordStream RecordStream::from_bytes(std::span<const std::uint8_t> bytes, RecordFormat format,
                                      std::size_t max_read) {
    return RecordStream(ByteSource(bytes, max_read), format);
}

std::uint64_t RecordStream::remaining_events_hint() const {
    const std::uint64_t consumed = offset_of(pos_);
    const std::uint64_t size = source_.size_hint();
    if (size <= consumed) return 0;
    return (size - consumed) / record_bytes(format_);
}

Error RecordStream::fail(Error error, std::optional<std::uint64_t> offset) {
    failed_ = true;
    error.offset = offset;
    return error;
}

Result<std::size_t> RecordStream::read(ByteBuffer& out, std::size_t max_events) {
    if (failed_ || max_events == 0) return std::size_t{0};
    // No request can be met beyond the address space; capping it keeps the
    // byte arithmetic below from overflowing.
    max_events = static_cast<std::size_t>(
        std::min<std::uint64_t>(max_events, kAddressSpaceBytes / kPackedEventBytes));
    switch (format_) {
        case RecordFormat::Compact: return read_compact(out, max_events);
        case RecordFormat::Nmnist:
        case RecordFormat::Aedat2: return read_fixed(out, max_events);
        case RecordFormat::Csv: return read_csv(out, max_events);
    }
    return std::size_t{0};
}

// Compact records are already the output layout: read() fills the caller's
// buffer directly. Only a whole number of records is ever committed; as
// each request is a whole number of records, a partial one can only be
// left over at the end of the file.
Result<std::size_t> RecordStream::read_compact(ByteBuffer& out, std::size_t max_events) {
    // Checked first so the call that reports the end reserves nothing.
    if (at_eof_) return std::size_t{0};
    const std::size_t hint = static_cast<std::size_t>(
        std::min<std::uint64_t>(remaining_events_hint() + 1, max_events));
    out.reserve_more(std::max(hint, std::min(max_events, kInitialEvents)) * kPackedEventBytes);
    const std::size_t wanted = max_events * kPackedEventBytes;
    std::size_t filled = 0;
    while (filled < wanted && !at_eof_) {
        if (out.spare() == filled) {
            out.reserve_more(std::min(wanted, filled * 2 + kPackedEventBytes));
        }
        Result<std::size_t> n =
            source_.read(out.tail() + filled, std::min(out.spare(), wanted) - filled);
        if (!n) return fail(n.error(), std::nullopt);
        if (n.value() == 0) at_eof_ = true;
        filled += n.value();
    }
    const std::size_t records = filled / kPackedEventBytes;
    const std::size_t partial = filled % kPackedEventBytes;
    buffer_base_ += filled;
    if (partial != 0) {
        return fail(Error::invalid_data(size_message("Compact binary file", buffer_base_,
                                                         kPackedEventBytes)),
                    buffer_base_ - partial);
    }
    out.commit(records * kPackedEventBytes);
    return records;
}

Result<bool> RecordStream::refill() {
    if (at_eof_) return false;
    buffer_base_ += pos_;
    buffer_.discard_front(pos_);
    ascii_end_ = ascii_end_ > pos_ ? ascii_end_ - pos_ : 0;
    pos_ = 0;
    // Grows only when unread bytes fill the buffer: a CSV line longer than it.
    if (buffer_.capacity() == 0) {
        buffer_.reserve_more(kReadBlock);
    } else if (buffer_.spare() == 0) {
        buffer_.reserve_more(buffer_.capacity());
    }
    Result<std::size_t> n = source_.read(buffer_.tail(), buffer_.spare());
    if (!n) return fail(n.error(), std::nullopt);
    if (n.value() == 0) {
        at_eof_ = true;
        return false;
    }
    buffer_.commit(n.value());
    return true;
}

// The header is the run of lines at the start of the file whose first byte
// is '#'; it is scanned as it streams past and never held whole.
bool RecordStream::skip_aedat2_header() {
    while (in_header_) {
        if (pos_ == buffer_.size()) return false;
        if (at_line_start_) {
            if (buffer_.data()[pos_] != '#') {
                in_header_ = false;
                header_bytes_ = offset_of(pos_);
                return true;
            }
            at_line_start_ = false;
        }
        const std::uint8_t* begin = buffer_.data() + pos_;
        const void* lf = std::memchr(begin, '\n', buffer_.size() - pos_);
        if (lf == nullptr) {
            pos_ = buffer_.size();
        } else {
            pos_ += static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - begin) + 1;
            at_line_start_ = true;
        }
    }
    return true;
}

Result<std::size_t> RecordStream::read_fixed(ByteBuffer& out, std::size_t max_events) {
    const bool aedat2 = format_ == RecordFormat::Aedat2;
    const std::size_t record = record_bytes(format_);
    std::size_t appended = 0;
    while (appended < max_events) {
        if (aedat2 && in_header_ && !skip_aedat2_header()) {
            Result<bool> more = refill();
            if (!more) return more.error();
            if (!more.value()) {
                // A header running to the end of the file holds no events,
                // as the whole-file reader decides.
                in_header_ = false;
                return appended;
            }
            continue;
        }
        const std::size_t available = (buffer_.size() - pos_) / record;
        if (available == 0) {
            Result<bool> more = refill();
            if (!more) return more.error();
            if (more.value()) continue;
            const std::size_t partial = buffer_.size() - pos_;
            if (partial == 0) break;
            const std::uint64_t total = offset_of(buffer_.size());
            const std::string message =
                aedat2 ? size_message("AEDAT2 data section", total - header_bytes_, record)
                       : size_message("N-MNIST file", total, record);
            return fail(Error::invalid_data(message), offset_of(pos_));
        }
        const std::size_t n = std::min(available, max_events - appended);
        out.reserve_more(n * kPackedEventBytes);
        const std::uint8_t* in = buffer_.data() + pos_;
        if (aedat2) {
            decode_aedat2_records(in, n, out.tail());
        } else {
            decode_nmnist_records(in, n, out.tail());
        }
        out.commit(n * kPackedEventBytes);
        pos_ += n * record;
        appended += n;
    }
    return appended;
}

Result<std::size_t> RecordStream::read_csv(ByteBuffer& out, std::size_t max_events) {
    std::size_t appended = 0;
    while (appended < max_events) {
        // Plain lines first, straight into the output; the general parser
        // below takes the one line that stopped them, then they resume.
        if (buffer_.size() - pos_ >= kPlainCsvLookahead) {
            if (out.spare() < kPackedEventBytes) {
                out.reserve_more(std::min(max_events - appended, kInitialEvents) *
                                 kPackedEventBytes);
            }
            const PlainCsvRun run = parse_plain_csv_lines(
                buffer_.data() + pos_, buffer_.size() - pos_,
                std::min(max_events - appended, out.spare() / kPackedEventBytes), out.tail());
            out.commit(run.events * kPackedEventBytes);
            appended += run.events;
            pos_ += run.bytes;
            if (appended == max_events) break;
        }
        const std::size_t end = buffer_.size();
        const std::uint8_t* data = buffer_.data();
        const void* lf = pos_ < end ? std::memchr(data + pos_, '\n', end - pos_) : nullptr;
        std::size_t line_end = 0;
        if (lf != nullptr) {
            line_end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - data) + 1;
        } else {
            Result<bool> more = refill();
            if (!more) return more.error();
            if (more.value()) continue;
            if (pos_ == buffer_.size()) break;
            line_end = buffer_.size();  // a last line without a line feed
        }
        if (ascii_end_ < line_end) {
            ascii_end_ = ascii_prefix_end(buffer_.data(), std::max(ascii_end_, pos_), buffer_.size());
        }
        const std::string_view line(reinterpret_cast<const char*>(buffer_.data() + pos_),
                                    line_end - pos_);
        // Every line is checked, comments included; a line of ASCII is valid
        // without looking further.
        if (ascii_end_ < line_end && !is_valid_utf8(line)) {
            return fail(Error::invalid_data("stream did not contain valid UTF-8"),
                        offset_of(pos_));
        }
        Event event;
        const char* reason = nullptr;
        switch (parse_csv_line(line, event, reason)) {
            case CsvLineOutcome::Event:
                if (out.spare() < kPackedEventBytes) {
                    out.reserve_more(std::min(max_events - appended, kInitialEvents) *
                                     kPackedEventBytes);
                }
                store_packed(event, out.tail());
                out.commit(kPackedEventBytes);
                ++appended;
                break;
            case CsvLineOutcome::Skip:
                break;
            case CsvLineOutcome::Error:
                return fail(Error::invalid_data(reason), offset_of(pos_));
        }
        pos_ = line_end;
    }
    return appended;
}

}  // namespace zel
