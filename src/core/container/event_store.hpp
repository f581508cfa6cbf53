#pragma once

// The event store: a .zel file (format version 2) that keeps a recording's
// events exactly, in independent blocks coded by lossless/block_codec.hpp.
// docs/format.md ("The .zel event store, version 2") gives the layout:
//
//   file header | block record 0 | ... | block record n-1 | index | trailer
//
// It shares the magic, the checksums, the trailer and the rule that records
// follow one another from the header (so a file whose writer was cut off
// can be walked) with the occupancy container (container_format.hpp). A
// block records its time base: each event's camera time is t_base + t, so a
// recording longer than the 32-bit microsecond field keeps its 64-bit clock.

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/byte_buffer.hpp"
#include "base/event.hpp"
#include "base/result.hpp"
#include "container/byte_source.hpp"
#include "container/container_format.hpp"
#include "container/field_io.hpp"
#include "lossless/block_codec.hpp"

namespace zel::container {

namespace store_header_field {
// magic, version, flags, width, height, n_blocks (as n_frames) and crc lie
// where header_field puts them.
inline constexpr ByteField reserved_16{16, 2};
inline constexpr Field<std::uint8_t> content{18};
inline constexpr Field<std::uint8_t> reserved_19{19};
inline constexpr Field<std::uint32_t> block_events{20};
}  // namespace store_header_field

namespace block_field {
inline constexpr ByteField tag{0, 4};
inline constexpr ByteField reserved{4, 4};
inline constexpr Field<std::uint64_t> index{8};
inline constexpr Field<std::uint64_t> t_base{16};
inline constexpr Field<std::uint32_t> t_first{24};
inline constexpr Field<std::uint32_t> t_last{28};
inline constexpr Field<std::uint64_t> n_events{32};
inline constexpr Field<std::uint64_t> payload_bytes{40};
}  // namespace block_field

// Fields of one entry of the event store's index, relative to the entry.
namespace block_entry_field {
inline constexpr Field<std::uint64_t> offset{0};
inline constexpr Field<std::uint64_t> t_base{8};
inline constexpr Field<std::uint32_t> t_first{16};
inline constexpr Field<std::uint32_t> t_last{20};
inline constexpr Field<std::uint64_t> n_events{24};
}  // namespace block_entry_field

// The header's content byte: what the blocks hold.
inline constexpr std::uint8_t kContentLosslessEvents = 1;
inline constexpr std::size_t kBlockHeaderBytes = 48;
inline constexpr std::size_t kBlockEntryBytes = 32;
inline constexpr std::size_t kMinBlockRecordBytes = kBlockHeaderBytes + kCrcBytes;

struct StoreHeader {
    // The sensor the events came from, when the writer was told (0 x 0: not
    // known). Coordinates are not checked against it: the store keeps any.
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    // Most events the writer put in one block (1 .. kMaxBlockEvents).
    std::uint32_t block_events = 0;
    std::uint64_t n_blocks = kUnknownFrameCount;
};

// What the index knows of a block without decoding it: where its record
// starts, its time base, the smallest and largest t of its events (camera
// times t_base + t_first .. t_base + t_last) and its event count (at least
// 1). Natural alignment without padding, so it reaches NumPy unrepacked.
struct BlockSummary {
    std::uint64_t offset = 0;
    std::uint64_t t_base = 0;
    std::uint32_t t_first = 0;
    std::uint32_t t_last = 0;
    std::uint64_t n_events = 0;

    friend bool operator==(const BlockSummary&, const BlockSummary&) = default;
};
static_assert(sizeof(BlockSummary) == kBlockEntryBytes);

// Serialisers, each appending one structure with its checksum.
std::array<std::uint8_t, kHeaderBytes> store_header_bytes(const StoreHeader& header);
void append_block(std::uint64_t index, const BlockSummary& block, std::span<const std::uint8_t> payload,
                  std::vector<std::uint8_t>& out);
// The index over `blocks`, then the trailer.
void append_block_index(std::span<const BlockSummary> blocks, std::uint64_t index_offset,
                        std::vector<std::uint8_t>& out);

// Parsers; every fault is InvalidData at its absolute file offset.
Result<StoreHeader> parse_store_header(std::span<const std::uint8_t> bytes);
Result<std::vector<BlockSummary>> parse_block_index(std::span<const std::uint8_t> index,
                                                    std::uint64_t index_offset,
                                                    const StoreHeader& header);

// Writes an event store piece by piece into the caller's buffers:
//   begin()  the file header (its block count unknown until finish)
//   add()    events in order; full blocks are coded and appended
//   finish() the last block, the index and the trailer
// then final_header() goes over offset 0. Events of one add() share a time
// base; a block takes events of several calls when their camera times fit
// its base, and starts anew otherwise.
//
// With `threads` above 1, closed blocks wait until that many are ready and
// are then coded at once, one per thread, and appended in order: the bytes
// are the same for any thread count; memory holds `threads` blocks.
class EventStoreWriter {
public:
    // block_events: 1 .. lossless::kMaxBlockEvents, else InvalidInput at begin().
    // With threads > 1, closed blocks are coded on that many helper threads
    // while the caller goes on adding; out receives each block once it and
    // every block before it are coded, so a call may return before the
    // blocks it closed appear. finish() appends them all. A process forked
    // from the writer's may go on with its copy: the same bytes come out.
    // block_version: the lossless block written (lossless::kBlockVersion,
    // the smallest, or kFastBlockVersion), else InvalidInput at begin().
    EventStoreWriter(std::uint16_t width, std::uint16_t height, std::uint64_t block_events,
                     unsigned threads = 1, std::uint8_t block_version = lossless::kBlockVersion);
    // Stops the helper threads: waits for the blocks being coded, drops the rest.
    ~EventStoreWriter();
    EventStoreWriter(const EventStoreWriter&) = delete;
    EventStoreWriter& operator=(const EventStoreWriter&) = delete;

    Status begin(std::vector<std::uint8_t>& out);
    Status add(PackedEvents events, std::uint64_t t_base, std::vector<std::uint8_t>& out);
    Status finish(std::vector<std::uint8_t>& out);
    std::array<std::uint8_t, kHeaderBytes> final_header() const;
    // The final header stating another sensor size: for a caller that
    // chooses it from the events' extent once finish() has seen them all.
    std::array<std::uint8_t, kHeaderBytes> final_header(std::uint16_t width, std::uint16_t height) const;

    std::uint64_t events_added() const { return events_added_; }
    // The largest x and y of the events in the blocks appended so far
    // (every event, after finish()); 0 and 0 for none.
    std::uint16_t x_max() const { return x_max_; }
    std::uint16_t y_max() const { return y_max_; }

private:
    enum class Stage : std::uint8_t { Created, Writing, Finished };
    Status expect(Stage stage, const char* call) const;
    // Closes the pending block and codes it, or hands it to the helper
    // threads; then appends the blocks coded by then, in order, waiting
    // while more than the helpers are in flight. The last block is coded
    // on the caller's thread, which would only wait for it otherwise.
    enum class Closing : std::uint8_t { Full, Last };
    Status close_block(std::vector<std::uint8_t>& out, Closing closing = Closing::Full);
    // Appends the oldest block in flight, once it is coded.
    Status append_oldest(std::vector<std::uint8_t>& out);
    // In a process forked from the one whose threads code the blocks: lets
    // go of them unjoined (they exist only there), codes here the blocks
    // they had not finished, and goes on with helpers of this process.
    void leave_forked_helpers();

    // A block closed, until it is appended. `coded` is the helpers'
    // (Coders in event_store.cpp) to set, under their lock.
    struct ClosedBlock {
        std::vector<std::uint8_t> records;
        std::uint64_t t_base = 0;
        std::uint8_t version = lossless::kBlockVersion;
        ByteBuffer payload;
        lossless::BlockExtent extent;
        std::optional<Error> error;
        bool out_of_memory = false;
        bool coded = false;
    };
    class Coders;

    StoreHeader header_;
    std::uint8_t block_version_;
    Stage stage_ = Stage::Created;
    std::vector<BlockSummary> blocks_;
    std::uint64_t offset_ = 0;
    std::uint64_t events_added_ = 0;
    std::uint16_t x_max_ = 0, y_max_ = 0;
    // Events not yet coded, at camera times pending_base_ + t.
    std::vector<std::uint8_t> pending_;
    std::uint64_t pending_base_ = 0;
    unsigned threads_;
    // Closed blocks in file order, and appended ones kept for their memory.
    // On the heap, so that a helper's pointer stays valid.
    std::deque<std::unique_ptr<ClosedBlock>> in_flight_;
    std::vector<std::unique_ptr<ClosedBlock>> spare_;
    // Declared last, so that it stops before the blocks it codes go.
    std::unique_ptr<Coders> coders_;
};

// A whole store in memory (a writer's pieces, joined).
Result<std::vector<std::uint8_t>> encode_event_store(PackedEvents events, std::uint16_t width,
                                                     std::uint16_t height,
                                                     std::uint64_t block_events, unsigned threads = 1,
                                                     std::uint8_t block_version = lossless::kBlockVersion);

// An event store opened for reading: the header, then the index the
// trailer names, or (without a trailer) the records walked from the header.
// Blocks are decoded on request, on up to `threads` threads, each record
// checked in full first (checksum, numbering, fields against the index, the
// payload's own check, the events' time range); output memory is taken
// only for blocks whose records have been read and checked.
class EventStoreReader {
public:
    static Result<EventStoreReader> open(std::unique_ptr<ByteSource> source);

    const StoreHeader& header() const { return header_; }
    std::span<const BlockSummary> blocks() const { return blocks_; }
    // False for a file without index or block count (an interrupted writer).
    bool complete() const { return complete_; }

    // The events of blocks [first, first + count) in order, appended to `out`
    // as packed records with t = t_base + t - subtract. An event whose
    // camera time falls below `subtract` or 2^32 or more above it fails with
    // a Timestamp error naming its index among all the file's events.
    Status read(std::uint64_t first, std::uint64_t count, std::uint64_t subtract, unsigned threads,
                ByteBuffer& out) const;
    // The same blocks with each event's time as its block stores it, from
    // the block's own t_base (blocks()[k].t_base): what a reader that keeps
    // the camera clock chunk by chunk needs, whatever bases the blocks have,
    // and the times cannot overflow.
    Status read_in_block_clocks(std::uint64_t first, std::uint64_t count, unsigned threads,
                                ByteBuffer& out) const;

    // What the records of blocks [first, first + count) say of their events
    // without decoding them: the largest x and y of any of them and the
    // first event's camera time (all 0 for no blocks). Each record is read
    // and checked as read() checks it before decoding; the first fault fails
    // the call. The whole file's by default; one block's is what a reader
    // needs to rebase times to the first event.
    struct Extent {
        std::uint16_t x_max = 0;
        std::uint16_t y_max = 0;
        std::uint64_t t_first = 0;
    };
    Result<Extent> extent(std::uint64_t first, std::uint64_t count) const;
    Result<Extent> extent() const { return extent(0, blocks_.size()); }

private:
    EventStoreReader(std::unique_ptr<ByteSource> source, StoreHeader header)
        : source_(std::move(source)), header_(header) {}
    Status walk_records();
    // InvalidInput unless blocks [first, first + count) are all in the file.
    Status check_block_range(std::uint64_t first, std::uint64_t count) const;
    // The checked record of block k: its payload's bytes in `scratch`.
    Result<std::span<const std::uint8_t>> payload(std::uint64_t k, ByteBuffer& scratch) const;
    // Decodes block k's checked payload into `to` and rebases its times;
    // the error, if any. Throws std::bad_alloc when memory runs out.
    std::optional<Error> decode_into(std::uint64_t k, std::span<const std::uint8_t> payload, std::uint8_t* to,
                                     std::uint64_t subtract) const;
    // read() with one time subtracted from every block, or each block's own
    // base (no subtract).
    Status read_blocks(std::uint64_t first, std::uint64_t count, std::optional<std::uint64_t> subtract,
                       unsigned threads, ByteBuffer& out) const;

    std::unique_ptr<ByteSource> source_;
    StoreHeader header_;
    std::vector<BlockSummary> blocks_;
    std::vector<std::uint64_t> first_event_;  // events before block k
    std::uint64_t records_end_ = kHeaderBytes;
    bool complete_ = true;
};

}  // namespace zel::container
