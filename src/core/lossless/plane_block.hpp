#pragma once

// The fast lossless block (kFastBlockVersion in block_codec.hpp): the
// events' fields as byte planes of small differences, each plane a
// Zstandard frame. It is larger than the modelled block (versions 1 and 2)
// but codes and decodes several times as fast; the header and checksum are
// the modelled block's, so a reader tells them apart by the version byte
// alone (block_codec.cpp).

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/byte_buffer.hpp"
#include "base/event.hpp"
#include "base/result.hpp"
#include "lossless/block_codec.hpp"

namespace zel::lossless {

// Planes of the block, in payload order.
enum PlaneIndex : unsigned {
    // Low and high byte of each time step's zigzag (32 bits) when below
    // 65535, else of 65535 with the zigzag in the escape plane.
    kTimeLowPlane = 0,
    kTimeHighPlane = 1,
    kYLowPlane = 2,  // low byte of the zigzagged y step (16 bits)
    kYHighPlane = 3,
    kXLowPlane = 4,  // likewise for x
    kXHighPlane = 5,
    kPolarityPlane = 6,  // a byte per event, or a bit (kPolarityBits)
    kEscapePlane = 7,    // the time steps' zigzags of 65535 and more, u32 each
    kPlanes = 8,
};

// Header flag of the fast block: every polarity is 0 or 1, and the
// polarity plane holds one bit per event, from the least significant bit
// of each byte up, the last byte padded with zero bits.
inline constexpr std::uint8_t kPolarityBits = 0x01;

// What encode_planes found for the header: the events' extent, and its
// flags (kPolarityBits).
struct PlanesHeader {
    std::uint16_t x_max = 0;
    std::uint16_t y_max = 0;
    std::uint8_t flags = 0;
};

// The planes' part of a payload, after its 14 header bytes: appends the
// plane lengths and frames of `events` to `out`.
PlanesHeader encode_planes(PackedEvents events, std::uint32_t t_first, ByteBuffer& out);

// Decodes the planes part (`planes`, at byte `base` of the payload, for
// offsets in errors) of `count` events into `out`, and reports what they
// span. Fails with InvalidData at the payload offset where the damage
// showed.
Status decode_planes(std::span<const std::uint8_t> planes, std::size_t base, std::uint64_t count,
                     std::uint32_t t_first, std::uint8_t flags, std::uint8_t* out, DecodedBounds& bounds);

}  // namespace zel::lossless
