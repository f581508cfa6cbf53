#include "container/event_store.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>

#include "base/parallel.hpp"
#include "base/process_generation.hpp"
#include "lossless/block_codec.hpp"

namespace zel::container {

namespace {

using namespace field_io;

constexpr std::uint8_t kBlockTag[4] = {'B', 'L', 'O', 'K'};
constexpr std::uint64_t kTimeSpan = std::uint64_t{1} << 32;

// The smallest and largest t of packed records (count >= 1).
std::pair<std::uint32_t, std::uint32_t> time_range(const std::uint8_t* records, std::size_t count) {
    std::uint32_t lo = load_le32(records + 4);
    std::uint32_t hi = lo;
    for (std::size_t i = 1; i < count; ++i) {
        const std::uint32_t t = load_le32(records + i * kPackedEventBytes + 4);
        lo = std::min(lo, t);
        hi = std::max(hi, t);
    }
    return {lo, hi};
}

// Checks the fixed part of a block record (at least kBlockHeaderBytes read
// from `offset`); returns its summary, with `offset`.
Result<BlockSummary> check_block_head(std::span<const std::uint8_t> record, std::uint64_t offset,
                                      std::uint64_t expected, const StoreHeader& header) {
    namespace f = block_field;
    if (!holds(record, f::tag, kBlockTag)) {
        return fault(offset, "no block record where block " + num(expected) + " should start");
    }
    if (!all_zero(record, f::reserved)) {
        return fault(offset + f::reserved.at, "reserved block field is not zero");
    }
    if (load(record, f::index) != expected) {
        return fault(offset + f::index.at,
                     "block " + num(expected) + " is numbered " + num(load(record, f::index)));
    }
    BlockSummary s;
    s.offset = offset;
    s.t_base = load(record, f::t_base);
    s.t_first = load(record, f::t_first);
    s.t_last = load(record, f::t_last);
    s.n_events = load(record, f::n_events);
    if (s.t_first > s.t_last) {
        return fault(offset + f::t_first.at, "block " + num(expected) + " has its time range reversed");
    }
    if (s.t_last > std::numeric_limits<std::uint64_t>::max() - s.t_base) {
        return fault(offset + f::t_base.at, "block " + num(expected) + " has camera times past 64 bits");
    }
    if (s.n_events == 0 || s.n_events > header.block_events) {
        return fault(offset + f::n_events.at, "block " + num(expected) + " claims " + num(s.n_events) +
                                                  " events; blocks of this file hold 1 to " +
                                                  num(header.block_events));
    }
    return s;
}

// Checks a whole block record read from `offset`; returns its summary and
// sets *payload_bytes (the payload is record[kBlockHeaderBytes, +that)).
Result<BlockSummary> check_block_record(std::span<const std::uint8_t> record, std::uint64_t offset,
                                        std::uint64_t expected, const StoreHeader& header,
                                        std::uint64_t* payload_bytes) {
    namespace f = block_field;
    if (record.size() < kBlockHeaderBytes) {
        return fault(offset + record.size(), "truncated block " + num(expected) + ": its header needs " +
                                                 num(kBlockHeaderBytes) + " bytes, " +
                                                 num(record.size()) + " remain");
    }
    ZEL_ASSIGN_OR_RETURN(const BlockSummary s, check_block_head(record, offset, expected, header));
    const std::uint64_t length = load(record, f::payload_bytes);
    const std::uint64_t available = record.size() - kBlockHeaderBytes;
    if (length > available || available - length < kCrcBytes) {
        return fault(offset + f::payload_bytes.at, "block " + num(expected) + " payload length " +
                                                       num(length) + " exceeds the " + num(available) +
                                                       " bytes that remain of its record");
    }
    if (available - length != kCrcBytes) {
        return fault(offset + kMinBlockRecordBytes + length,
                     "block " + num(expected) + " is followed by " +
                         num(available - length - kCrcBytes) + " bytes that belong to no record");
    }
    const std::size_t crc_at = kBlockHeaderBytes + length;
    if (!sealed(record, crc_at)) {
        return fault(offset + crc_at, "block " + num(expected) + " checksum mismatch");
    }
    *payload_bytes = length;
    return s;
}

// Where a record and its index entry disagree, or nothing.
std::optional<Error> disagreement(const BlockSummary& record, const BlockSummary& entry,
                                  std::uint64_t k) {
    namespace f = block_field;
    const auto differs = [&](std::size_t at, const char* what) {
        return fault(record.offset + at, "block " + num(k) + " " + what + " differs from its index entry");
    };
    if (record.t_base != entry.t_base) return differs(f::t_base.at, "t_base");
    if (record.t_first != entry.t_first) return differs(f::t_first.at, "t_first");
    if (record.t_last != entry.t_last) return differs(f::t_last.at, "t_last");
    if (record.n_events != entry.n_events) return differs(f::n_events.at, "n_events");
    return std::nullopt;
}

Error time_overflow(std::uint64_t event_index, std::uint64_t camera_time, std::uint64_t subtract) {
    std::string message = "event " + num(event_index) + " has timestamp " + num(camera_time) + " us";
    if (subtract != 0) message += " (" + num(subtract) + " us subtracted)";
    message += ", which does not fit the 32-bit microsecond field";
    return Error::timestamp(std::move(message));
}

}  // namespace

std::array<std::uint8_t, kHeaderBytes> store_header_bytes(const StoreHeader& header) {
    namespace f = header_field;
    namespace s = store_header_field;
    std::array<std::uint8_t, kHeaderBytes> bytes{};
    store(bytes, f::magic, kMagic);
    store(bytes, f::version, kEventStoreVersion);
    store(bytes, f::width, header.width);
    store(bytes, f::height, header.height);
    store(bytes, s::content, kContentLosslessEvents);
    store(bytes, s::block_events, header.block_events);
    store(bytes, f::n_frames, header.n_blocks);
    seal(bytes, f::crc.at);
    return bytes;
}

void append_block(std::uint64_t index, const BlockSummary& block, std::span<const std::uint8_t> payload,
                  std::vector<std::uint8_t>& out) {
    namespace f = block_field;
    const auto record = grow(out, kBlockHeaderBytes + payload.size() + kCrcBytes);
    store(record, f::tag, kBlockTag);
    store(record, f::index, index);
    store(record, f::t_base, block.t_base);
    store(record, f::t_first, block.t_first);
    store(record, f::t_last, block.t_last);
    store(record, f::n_events, block.n_events);
    store(record, f::payload_bytes, std::uint64_t{payload.size()});
    if (!payload.empty()) std::memcpy(record.data() + kBlockHeaderBytes, payload.data(), payload.size());
    seal(record, kBlockHeaderBytes + payload.size());
}

void append_block_index(std::span<const BlockSummary> blocks, std::uint64_t index_offset,
                        std::vector<std::uint8_t>& out) {
    namespace e = block_entry_field;
    const std::size_t entry_bytes = blocks.size() * kBlockEntryBytes;
    const auto index = grow(out, kIndexHeadBytes + entry_bytes + kCrcBytes);
    store(index, index_field::tag, kIndexTag);
    store(index, index_field::count, std::uint64_t{blocks.size()});
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        const auto entry = index.subspan(kIndexHeadBytes + k * kBlockEntryBytes, kBlockEntryBytes);
        store(entry, e::offset, blocks[k].offset);
        store(entry, e::t_base, blocks[k].t_base);
        store(entry, e::t_first, blocks[k].t_first);
        store(entry, e::t_last, blocks[k].t_last);
        store(entry, e::n_events, blocks[k].n_events);
    }
    seal(index, kIndexHeadBytes + entry_bytes);
    append_trailer(index_offset, out);
}

Result<StoreHeader> parse_store_header(std::span<const std::uint8_t> bytes) {
    namespace f = header_field;
    namespace s = store_header_field;
    if (!holds(bytes, f::magic, kMagic)) return fault(0, "not a .zel container: bad magic bytes");
    if (bytes.size() < kHeaderBytes) {
        return fault(bytes.size(), "truncated file header: " + num(bytes.size()) + " of " +
                                       num(kHeaderBytes) + " bytes");
    }
    const std::uint16_t version = load(bytes, f::version);
    if (version == kVersion) {
        return fault(f::version.at, "this .zel file holds occupancy frames (format version 1), a "
                                    "lossy code, not the events themselves; zelkit.open reads it");
    }
    if (version != kEventStoreVersion) {
        return fault(f::version.at, "unknown format version " + num(version) + " (this reader knows " +
                                        num(kVersion) + " and " + num(kEventStoreVersion) + ")");
    }
    if (!sealed(bytes, f::crc.at)) return fault(f::crc.at, "file header checksum mismatch");
    if (load(bytes, f::flags) != 0) return fault(f::flags.at, "reserved header field is not zero");
    if (!all_zero(bytes, s::reserved_16)) {
        return fault(s::reserved_16.at, "reserved header field is not zero");
    }
    if (load(bytes, s::reserved_19) != 0) {
        return fault(s::reserved_19.at, "reserved header field is not zero");
    }
    const std::uint8_t content = load(bytes, s::content);
    if (content != kContentLosslessEvents) {
        return fault(s::content.at, "unknown content kind " + num(content));
    }
    StoreHeader h;
    h.width = load(bytes, f::width);
    h.height = load(bytes, f::height);
    h.block_events = load(bytes, s::block_events);
    h.n_blocks = load(bytes, f::n_frames);
    if (h.block_events == 0 || h.block_events > lossless::kMaxBlockEvents) {
        return fault(s::block_events.at, "events per block " + num(h.block_events) + " outside 1 .. " +
                                             num(lossless::kMaxBlockEvents));
    }
    return h;
}

Result<std::vector<BlockSummary>> parse_block_index(std::span<const std::uint8_t> index,
                                                    std::uint64_t index_offset,
                                                    const StoreHeader& header) {
    namespace e = block_entry_field;
    ZEL_ASSIGN_OR_RETURN(const std::uint64_t count,
                         check_index_frame(index, index_offset, kBlockEntryBytes, header.n_blocks, "blocks"));
    std::vector<BlockSummary> blocks(count);
    std::uint64_t earliest = kHeaderBytes;
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::size_t at = kIndexHeadBytes + k * kBlockEntryBytes;
        const auto entry = index.subspan(at, kBlockEntryBytes);
        BlockSummary& s = blocks[k];
        s.offset = load(entry, e::offset);
        s.t_base = load(entry, e::t_base);
        s.t_first = load(entry, e::t_first);
        s.t_last = load(entry, e::t_last);
        s.n_events = load(entry, e::n_events);
        const bool in_order = k == 0 ? s.offset == kHeaderBytes : s.offset >= earliest;
        if (!in_order || s.offset > index_offset || index_offset - s.offset < kMinBlockRecordBytes) {
            return fault(index_offset + at, "index entry " + num(k) + " points at offset " +
                                                num(s.offset) + ", outside the block records");
        }
        if (s.t_first > s.t_last) {
            return fault(index_offset + at + e::t_first.at,
                         "index entry " + num(k) + " has its time range reversed");
        }
        if (s.n_events == 0 || s.n_events > header.block_events) {
            return fault(index_offset + at + e::n_events.at,
                         "index entry " + num(k) + " claims " + num(s.n_events) + " events");
        }
        earliest = s.offset + kMinBlockRecordBytes;
    }
    return blocks;
}

// ------------------------------------------------------------------ writer

EventStoreWriter::EventStoreWriter(std::uint16_t width, std::uint16_t height,
                                   std::uint64_t block_events, unsigned threads, std::uint8_t block_version)
    : block_version_(block_version), threads_(std::max(1u, threads)) {
    header_.width = width;
    header_.height = height;
    // Out of range values are refused by begin(); 0 keeps them recognisable.
    header_.block_events = block_events <= lossless::kMaxBlockEvents
                               ? static_cast<std::uint32_t>(block_events)
                               : 0;
}

Status EventStoreWriter::expect(Stage stage, const char* call) const {
    if (stage_ == stage) return kOk;
    return Error::invalid_input(std::string("event store writer: ") + call + " called out of order");
}

Status EventStoreWriter::begin(std::vector<std::uint8_t>& out) {
    ZEL_TRY(expect(Stage::Created, "begin"));
    if (header_.block_events == 0) {
        return Error::invalid_input("block_events must lie in 1 .. " + num(lossless::kMaxBlockEvents));
    }
    if (!lossless::known_block_version(block_version_)) {
        return Error::invalid_input("no lossless block version " + num(block_version_) + " to write");
    }
    const auto bytes = store_header_bytes(header_);
    out.insert(out.end(), bytes.begin(), bytes.end());
    offset_ = kHeaderBytes;
    stage_ = Stage::Writing;
    return kOk;
}

// The helper threads: they take closed blocks in the order handed over and
// mark each coded. A block belongs to its helper between being taken and
// being marked, and to the writer otherwise; the lock orders the two.
class EventStoreWriter::Coders {
public:
    // Starts up to `threads` helpers, fewer when no more can be had.
    explicit Coders(unsigned threads) {
        try {
            helpers_.reserve(threads);
        } catch (const std::bad_alloc&) {
            return;
        }
        for (unsigned h = 0; h < threads; ++h) {
            try {
                helpers_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break;  // no more threads to be had
            } catch (const std::bad_alloc&) {
                break;  // nor memory for one
            }
        }
    }
    ~Coders() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
            queue_.clear();
        }
        handed_.notify_all();
        for (std::thread& helper : helpers_) helper.join();
    }
    Coders(const Coders&) = delete;
    Coders& operator=(const Coders&) = delete;

    std::size_t helpers() const { return helpers_.size(); }
    // True in a process forked from the one these helpers run in: there,
    // they and whatever lock they held at the fork are copies nobody runs.
    bool forked() const { return generation_ != process_generation(); }

    // Codes a closed block's records into its payload, on a helper or on
    // the writer's thread; never throws.
    static void code(ClosedBlock& block) noexcept {
        block.payload.clear();
        block.error.reset();
        block.out_of_memory = false;
        try {
            const std::size_t count = block.records.size() / kPackedEventBytes;
            Status coded = lossless::encode_block(PackedEvents(block.records.data(), count), block.payload,
                                                  block.version, &block.extent);
            if (!coded) block.error = std::move(coded).take_error();
        } catch (const std::bad_alloc&) {
            block.error.reset();
            block.out_of_memory = true;
        }
    }

    // The queue holds at most the blocks in flight, whose count the writer
    // bounds; push_back may still throw bad_alloc, before anything changed.
    void hand_over(ClosedBlock& block) {
        {
            const std::lock_guard lock(mutex_);
            block.coded = false;
            queue_.push_back(&block);
        }
        handed_.notify_one();
    }
    bool coded(const ClosedBlock& block) {
        const std::lock_guard lock(mutex_);
        return block.coded;
    }
    void wait(const ClosedBlock& block) {
        std::unique_lock lock(mutex_);
        coded_.wait(lock, [&] { return block.coded; });
    }

private:
    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            handed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            ClosedBlock& block = *queue_.front();
            queue_.pop_front();
            lock.unlock();
            code(block);
            lock.lock();
            block.coded = true;
            coded_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable handed_;
    std::condition_variable coded_;
    std::deque<ClosedBlock*> queue_;
    bool stopping_ = false;
    const std::uint64_t generation_ = process_generation();
    std::vector<std::thread> helpers_;  // last: they start once the rest is built
};

EventStoreWriter::~EventStoreWriter() {
    leave_forked_helpers();
    coders_.reset();
}

void EventStoreWriter::leave_forked_helpers() {
    if (!coders_ || !coders_->forked()) return;
    // Joining or destroying a thread this process does not have would
    // abort it: the copy is left as it is, a few bytes lost to a process
    // that forked while writing. Only this thread runs here, so the
    // blocks' flags are read without the copied lock.
    [[maybe_unused]] Coders* parents = coders_.release();
    for (const std::unique_ptr<ClosedBlock>& block : in_flight_) {
        if (!block->coded) {
            Coders::code(*block);
            block->coded = true;
        }
    }
}

Status EventStoreWriter::close_block(std::vector<std::uint8_t>& out, Closing closing) {
    if (pending_.empty()) return kOk;
    // A store of one block starts no thread.
    if (threads_ > 1 && !coders_ && closing == Closing::Full) coders_ = std::make_unique<Coders>(threads_);
    std::unique_ptr<ClosedBlock> block;
    if (spare_.empty()) {
        block = std::make_unique<ClosedBlock>();
    } else {
        block = std::move(spare_.back());
        spare_.pop_back();
    }
    ClosedBlock& closed = *block;
    in_flight_.push_back(std::move(block));  // before the events move: a failure here loses none
    closed.records.swap(pending_);
    closed.t_base = pending_base_;
    closed.version = block_version_;
    pending_.clear();
    const std::size_t helpers = coders_ ? coders_->helpers() : 0;
    bool handed = false;
    if (helpers > 0 && closing == Closing::Full) {
        try {
            coders_->hand_over(closed);
            handed = true;
        } catch (const std::bad_alloc&) {
            // No room in the queue: this block is coded here instead.
        }
    }
    if (!handed) {
        Coders::code(closed);
        closed.coded = true;
    }
    // Appending every block already coded gives the caller its bytes as
    // soon as it can have them; more than `helpers` in flight means one
    // more block of memory than the helpers can use.
    while (!in_flight_.empty() &&
           (in_flight_.size() > helpers || coders_->coded(*in_flight_.front()))) {
        ZEL_TRY(append_oldest(out));
    }
    return kOk;
}

Status EventStoreWriter::append_oldest(std::vector<std::uint8_t>& out) {
    ClosedBlock& closed = *in_flight_.front();
    if (coders_) coders_->wait(closed);
    if (closed.out_of_memory) return Error::out_of_memory("out of memory coding block " + num(blocks_.size()));
    if (closed.error) return *closed.error;
    const std::size_t count = closed.records.size() / kPackedEventBytes;
    BlockSummary block;
    block.offset = offset_;
    block.t_base = closed.t_base;
    std::tie(block.t_first, block.t_last) = time_range(closed.records.data(), count);
    block.n_events = count;
    const std::size_t before = out.size();
    append_block(blocks_.size(), block, std::span(closed.payload.data(), closed.payload.size()), out);
    offset_ += out.size() - before;
    blocks_.push_back(block);
    x_max_ = std::max(x_max_, closed.extent.x_max);
    y_max_ = std::max(y_max_, closed.extent.y_max);
    closed.records.clear();
    std::unique_ptr<ClosedBlock> appended = std::move(in_flight_.front());
    in_flight_.pop_front();
    try {
        spare_.push_back(std::move(appended));
    } catch (const std::bad_alloc&) {
        // Kept only to reuse its memory: let it go.
    }
    return kOk;
}

Status EventStoreWriter::add(PackedEvents events, std::uint64_t t_base, std::vector<std::uint8_t>& out) {
    ZEL_TRY(expect(Stage::Writing, "add"));
    leave_forked_helpers();
    if (events.empty()) return kOk;
    const auto [lo, hi] = time_range(events.data(), events.size());
    if (t_base > std::numeric_limits<std::uint64_t>::max() - hi) {
        return Error::timestamp("event " + num(events_added_) + " has a camera time past 64 bits (t_base " +
                                num(t_base) + " plus t)");
    }
    // Events join the pending block when all of their camera times can be
    // written as the block's base plus 32 bits; otherwise they begin a new one.
    if (!pending_.empty() &&
        (t_base + lo < pending_base_ || t_base + hi - pending_base_ >= kTimeSpan)) {
        ZEL_TRY(close_block(out));
    }
    for (std::size_t i = 0; i < events.size();) {
        if (pending_.empty()) pending_base_ = t_base;
        const auto shift = static_cast<std::uint32_t>(t_base - pending_base_);
        const std::size_t room = header_.block_events - pending_.size() / kPackedEventBytes;
        const std::size_t take = std::min(room, events.size() - i);
        const std::size_t start = pending_.size();
        const std::uint8_t* from = events.data() + i * kPackedEventBytes;
        pending_.insert(pending_.end(), from, from + take * kPackedEventBytes);
        if (shift != 0) {
            for (std::size_t j = 0; j < take; ++j) {
                std::uint8_t* t = pending_.data() + start + j * kPackedEventBytes + 4;
                store_le32(t, load_le32(t) + shift);
            }
        }
        i += take;
        if (pending_.size() / kPackedEventBytes == header_.block_events) ZEL_TRY(close_block(out));
    }
    events_added_ += events.size();
    return kOk;
}

Status EventStoreWriter::finish(std::vector<std::uint8_t>& out) {
    ZEL_TRY(expect(Stage::Writing, "finish"));
    leave_forked_helpers();
    ZEL_TRY(close_block(out, Closing::Last));
    while (!in_flight_.empty()) ZEL_TRY(append_oldest(out));
    header_.n_blocks = blocks_.size();
    append_block_index(blocks_, offset_, out);
    stage_ = Stage::Finished;
    return kOk;
}

std::array<std::uint8_t, kHeaderBytes> EventStoreWriter::final_header() const {
    return store_header_bytes(header_);
}

std::array<std::uint8_t, kHeaderBytes> EventStoreWriter::final_header(std::uint16_t width,
                                                                      std::uint16_t height) const {
    StoreHeader resized = header_;
    resized.width = width;
    resized.height = height;
    return store_header_bytes(resized);
}

Result<std::vector<std::uint8_t>> encode_event_store(PackedEvents events, std::uint16_t width,
                                                     std::uint16_t height,
                                                     std::uint64_t block_events, unsigned threads,
                                                     std::uint8_t block_version) {
    EventStoreWriter writer(width, height, block_events, threads, block_version);
    std::vector<std::uint8_t> out;
    ZEL_TRY(writer.begin(out));
    ZEL_TRY(writer.add(events, 0, out));
    ZEL_TRY(writer.finish(out));
    const auto header = writer.final_header();
    std::copy(header.begin(), header.end(), out.begin());
    return out;
}

// ------------------------------------------------------------------ reader

Result<EventStoreReader> EventStoreReader::open(std::unique_ptr<ByteSource> source) {
    ByteBuffer scratch;
    const std::uint64_t size = source->size();
    ZEL_ASSIGN_OR_RETURN(const auto first,
                         source->read(0, static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeaderBytes)),
                                      scratch));
    ZEL_ASSIGN_OR_RETURN(const StoreHeader header, parse_store_header(first));
    EventStoreReader reader(std::move(source), header);
    std::optional<TrailerInfo> trailer;
    if (size >= kHeaderBytes + kTrailerBytes) {
        ZEL_ASSIGN_OR_RETURN(const auto tail, reader.source_->read(size - kTrailerBytes, kTrailerBytes, scratch));
        ZEL_ASSIGN_OR_RETURN(trailer, parse_trailer(tail, size));
    }
    if (trailer && trailer->present) {
        const std::uint64_t index_bytes = size - kTrailerBytes - trailer->index_offset;
        ZEL_ASSIGN_OR_RETURN(const auto index,
                             reader.source_->read(trailer->index_offset, static_cast<std::size_t>(index_bytes), scratch));
        ZEL_ASSIGN_OR_RETURN(reader.blocks_, parse_block_index(index, trailer->index_offset, header));
        reader.records_end_ = trailer->index_offset;
    } else {
        ZEL_TRY(reader.walk_records());
    }
    reader.first_event_.reserve(reader.blocks_.size() + 1);
    std::uint64_t total = 0;
    for (const BlockSummary& b : reader.blocks_) {
        reader.first_event_.push_back(total);
        total += b.n_events;
    }
    reader.first_event_.push_back(total);
    return reader;
}

Status EventStoreReader::walk_records() {
    const std::uint64_t size = source_->size();
    const bool declared = header_.n_blocks != kUnknownFrameCount;
    ByteBuffer scratch;
    std::uint64_t offset = kHeaderBytes;
    while (!declared || blocks_.size() < header_.n_blocks) {
        const std::uint64_t left = size - offset;
        const std::uint64_t k = blocks_.size();
        if (left < kBlockHeaderBytes) {
            if (!declared) break;
            return fault(offset + left, "truncated block " + num(k) + ": the file ends " + num(left) +
                                            " bytes into its record");
        }
        ZEL_ASSIGN_OR_RETURN(const auto head, source_->read(offset, kBlockHeaderBytes, scratch));
        if (!declared && holds(head, index_field::tag, kIndexTag)) break;  // an index, cut short
        const std::uint64_t length = load(head, block_field::payload_bytes);
        if (left < kMinBlockRecordBytes || length > left - kMinBlockRecordBytes) {
            if (!declared && holds(head, block_field::tag, kBlockTag)) break;  // cut mid-record
            ZEL_TRY(check_block_head(head, offset, k, header_));  // says what is wrong, if it can
            return fault(offset + block_field::payload_bytes.at,
                         "block " + num(k) + " payload length " + num(length) + " runs past the end of the file");
        }
        const std::uint64_t record_bytes = kMinBlockRecordBytes + length;
        ZEL_ASSIGN_OR_RETURN(const auto record, source_->read(offset, static_cast<std::size_t>(record_bytes), scratch));
        std::uint64_t payload_bytes = 0;
        ZEL_ASSIGN_OR_RETURN(const BlockSummary block, check_block_record(record, offset, k, header_, &payload_bytes));
        blocks_.push_back(block);
        offset += record_bytes;
    }
    records_end_ = offset;
    complete_ = declared;
    return kOk;
}

Result<std::span<const std::uint8_t>> EventStoreReader::payload(std::uint64_t k, ByteBuffer& scratch) const {
    const BlockSummary& entry = blocks_[k];
    const std::uint64_t end = k + 1 < blocks_.size() ? blocks_[k + 1].offset : records_end_;
    ZEL_ASSIGN_OR_RETURN(const auto record,
                         source_->read(entry.offset, static_cast<std::size_t>(end - entry.offset), scratch));
    std::uint64_t length = 0;
    ZEL_ASSIGN_OR_RETURN(const BlockSummary found, check_block_record(record, entry.offset, k, header_, &length));
    if (auto error = disagreement(found, entry, k)) return std::move(*error);
    return record.subspan(kBlockHeaderBytes, static_cast<std::size_t>(length));
}

namespace {

// A fault the payload decoder found, at its offset in the file.
Error in_record(Error e, const BlockSummary& block) {
    if (e.offset) *e.offset += block.offset + kBlockHeaderBytes;
    return e;
}

}  // namespace

Status EventStoreReader::check_block_range(std::uint64_t first, std::uint64_t count) const {
    if (first > blocks_.size() || count > blocks_.size() - first) {
        return Error::invalid_input("blocks " + num(first) + " + " + num(count) + " lie past the " +
                                    num(blocks_.size()) + " of the file");
    }
    return kOk;
}

Result<EventStoreReader::Extent> EventStoreReader::extent(std::uint64_t first, std::uint64_t count) const {
    ZEL_TRY(check_block_range(first, count));
    Extent whole;
    ByteBuffer scratch;
    for (std::uint64_t k = first; k < first + count; ++k) {
        ZEL_ASSIGN_OR_RETURN(const auto bytes, payload(k, scratch));
        Result<lossless::BlockExtent> found = lossless::read_block_extent(bytes, blocks_[k].n_events);
        if (!found) return in_record(std::move(found).take_error(), blocks_[k]);
        const lossless::BlockExtent& block = found.value();
        whole.x_max = std::max(whole.x_max, block.x_max);
        whole.y_max = std::max(whole.y_max, block.y_max);
        if (k == first) whole.t_first = blocks_[k].t_base + block.t_first;
    }
    return whole;
}

std::optional<Error> EventStoreReader::decode_into(std::uint64_t k, std::span<const std::uint8_t> payload,
                                                  std::uint8_t* to, std::uint64_t subtract) const {
    const BlockSummary& b = blocks_[k];
    lossless::DecodedBounds bounds;
    Status decoded = lossless::decode_block(payload, b.n_events, to, &bounds);
    if (!decoded) return in_record(std::move(decoded).take_error(), b);
    const std::uint32_t lo = bounds.t_min, hi = bounds.t_max;
    if (lo != b.t_first || hi != b.t_last) {
        return fault(b.offset + block_field::t_first.at,
                     "block " + num(k) + "'s events do not span the time range its record states");
    }
    if (b.t_base + lo < subtract || b.t_base + hi - subtract >= kTimeSpan) {
        for (std::uint64_t i = 0; i < b.n_events; ++i) {
            const std::uint64_t camera = b.t_base + load_le32(to + i * kPackedEventBytes + 4);
            if (camera < subtract || camera - subtract >= kTimeSpan) {
                return time_overflow(first_event_[k] + i, camera, subtract);
            }
        }
    }
    const auto shift = static_cast<std::uint32_t>(b.t_base - subtract);
    if (shift != 0) {
        for (std::uint64_t i = 0; i < b.n_events; ++i) {
            std::uint8_t* t = to + i * kPackedEventBytes + 4;
            store_le32(t, load_le32(t) + shift);
        }
    }
    return std::nullopt;
}

Status EventStoreReader::read(std::uint64_t first, std::uint64_t count, std::uint64_t subtract,
                              unsigned threads, ByteBuffer& out) const {
    return read_blocks(first, count, subtract, threads, out);
}

Status EventStoreReader::read_in_block_clocks(std::uint64_t first, std::uint64_t count, unsigned threads,
                                              ByteBuffer& out) const {
    return read_blocks(first, count, std::nullopt, threads, out);
}

Status EventStoreReader::read_blocks(std::uint64_t first, std::uint64_t count,
                                     std::optional<std::uint64_t> subtract, unsigned threads,
                                     ByteBuffer& out) const {
    ZEL_TRY(check_block_range(first, count));
    threads = std::max(1u, threads);
    // Blocks are read and checked a batch at a time, one per thread, and
    // only then is output memory taken for them.
    std::vector<ByteBuffer> scratch(std::min<std::uint64_t>(threads, std::max<std::uint64_t>(count, 1)));
    std::vector<std::span<const std::uint8_t>> payloads(scratch.size());
    std::vector<std::optional<Error>> errors(scratch.size());
    // The first fault of the batch in block order, as a serial reader would
    // have met it.
    const auto first_fault = [&](std::size_t n) -> std::optional<Error> {
        for (std::size_t j = 0; j < n; ++j) {
            if (errors[j]) return std::move(*errors[j]);
        }
        return std::nullopt;
    };
    for (std::uint64_t batch = first; batch < first + count; batch += scratch.size()) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(scratch.size(), first + count - batch));
        // Reading a record and checking its checksum are a good part of what
        // a fast block costs: left to one thread, they would cap what the
        // other threads add.
        const bool read_whole = run_in_parallel(n, [&](std::size_t j) {
            errors[j].reset();
            Result<std::span<const std::uint8_t>> read = payload(batch + j, scratch[j]);
            if (read) {
                payloads[j] = read.value();
            } else {
                errors[j] = std::move(read).take_error();
            }
        });
        if (!read_whole) {
            return Error::out_of_memory("out of memory reading blocks " + num(batch) + " to " + num(batch + n - 1));
        }
        if (auto fault = first_fault(n)) return std::move(*fault);
        const std::uint64_t batch_events = first_event_[batch + n] - first_event_[batch];
        out.reserve_more(static_cast<std::size_t>(batch_events * kPackedEventBytes));
        std::uint8_t* const base = out.tail();
        // One block: decoded, its time range checked against its record, its
        // times rebased.
        const bool whole = run_in_parallel(n, [&](std::size_t j) {
            errors[j] = decode_into(batch + j, payloads[j],
                                    base + (first_event_[batch + j] - first_event_[batch]) * kPackedEventBytes,
                                    subtract.value_or(blocks_[batch + j].t_base));
        });
        if (!whole) {
            return Error::out_of_memory("out of memory decoding blocks " + num(batch) + " to " +
                                        num(batch + n - 1));
        }
        if (auto fault = first_fault(n)) return std::move(*fault);
        out.commit(static_cast<std::size_t>(batch_events * kPackedEventBytes));
    }
    return kOk;
}

}  // namespace zel::container
