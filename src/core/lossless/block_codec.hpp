#pragma once

// Lossless coding of one block of events: the payload a container stores
// for a run of events (docs/format.md, "Lossless event block").
// Blocks are independent: any block decodes alone, on any thread.

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/byte_buffer.hpp"
#include "base/event.hpp"
#include "base/result.hpp"
#include "lossless/event_part.hpp"

namespace zel::lossless {

struct HistoryLayout;  // lossless/event_model.hpp

// Most events one block may hold. A decoder refuses larger counts before
// it allocates anything; writers split longer recordings.
inline constexpr std::uint64_t kMaxBlockEvents = std::uint64_t{1} << 22;

// Events per block that writers should use unless they have a reason not
// to: large enough that restarting the model costs little, small enough
// that a block's coder state and output stay a few tens of megabytes.
inline constexpr std::uint64_t kDefaultBlockEvents = std::uint64_t{1} << 20;

// The block versions decoders read: the modelled blocks 1, and 2, the one
// writers write by default, which differs only in how it keeps the pixel
// history (HistoryLayout): at most 2^16 slots rather than 2^22, hashed by
// line rather than by pixel. And 3, the fast block (plane_block.hpp):
// larger, but coded and decoded several times as fast.
inline constexpr std::uint8_t kOldestBlockVersion = 1;
inline constexpr std::uint8_t kBlockVersion = 2;
inline constexpr std::uint8_t kFastBlockVersion = 3;

// Whether decoders read, and writers write, blocks of `version`.
bool known_block_version(std::uint8_t version);

// The pixel history of a modelled block of `version` (1 or 2).
HistoryLayout history_layout(std::uint8_t version);

// What a payload's header says of its events without decoding them: the
// largest x and y and the first event's t (all 0 for no events).
// decode_block refuses a payload whose events say otherwise, so for any
// payload that decodes this is exactly what decoding would show.
struct BlockExtent {
    std::uint16_t x_max = 0;
    std::uint16_t y_max = 0;
    std::uint32_t t_first = 0;
};

// Appends the payload of `events` (any values, any order; at most
// kMaxBlockEvents of them) to `out`, as a block of `version` (an older one
// only to check that its payloads keep decoding), and sets `*extent`, when
// given, to what its header states. Fails with InvalidInput for a block
// that is too large or a version it does not know; throws std::bad_alloc
// when memory runs out.
Status encode_block(PackedEvents events, ByteBuffer& out, std::uint8_t version = kBlockVersion,
                    BlockExtent* extent = nullptr);

// What a block's decoded events span (all 0 for no events).
struct DecodedBounds {
    std::uint16_t x_max = 0;
    std::uint16_t y_max = 0;
    std::uint32_t t_min = 0;
    std::uint32_t t_max = 0;
};

// Decodes a payload written by encode_block for `count` events into `out`
// (count * kPackedEventBytes bytes, sized by the caller after checking
// count <= kMaxBlockEvents), and sets `*bounds`, when given, to what the
// events span: found while decoding, so a caller need not pass over them
// again. Fails with InvalidData, at the byte offset within the payload
// where the damage showed, when the payload is malformed or does not decode
// to exactly `count` events; `out` then holds garbage. Throws
// std::bad_alloc when memory runs out.
Status decode_block(std::span<const std::uint8_t> payload, std::uint64_t count, std::uint8_t* out,
                    DecodedBounds* bounds = nullptr);

// The extent of a payload for `count` events, after the checks decode_block
// makes before it decodes (version, flags, checksum, stream length), which
// fail the same way.
Result<BlockExtent> read_block_extent(std::span<const std::uint8_t> payload, std::uint64_t count);

// What coding `events` as one block spends on each part of an event
// (EventPart order): every symbol's ideal cost, -log2 of its probability
// in the adaptive table that codes it, and the raw bits. The payload is
// this plus its header, the two rANS states, the coder's rounding (a
// fraction of a percent) and the raw bits' padding. For studying the
// model; coding does not use it. Fails and throws as encode_block does.
struct PartCosts {
    double symbol_bits[kEventParts] = {};
    std::uint64_t raw_bits[kEventParts] = {};
};
Result<PartCosts> part_costs(PackedEvents events);

// Writes the payload's checksum field for `count` events (what encode_block
// does last). For tools that build or alter payloads on purpose, such as
// the fuzz target, which must reach the decoder past the checksum; payloads
// shorter than the header are left alone.
void seal_block(std::span<std::uint8_t> payload, std::uint64_t count);

}  // namespace zel::lossless
