#include "container/frame_decoder.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "codec/context_codec.hpp"
#include "codec/delta.hpp"
#include "codec/rans.hpp"
#include "codec/voxel.hpp"

namespace zel::container {

namespace {

constexpr std::size_t kRansHeaderBytes = 6;

std::string num(std::uint64_t v) { return std::to_string(v); }

Error fault(std::uint64_t offset, std::string message) {
    return Error::invalid_data(std::move(message), offset);
}

std::uint16_t p_zero_of(std::span<const std::uint8_t> stream) {
    return static_cast<std::uint16_t>(stream[0] | (stream[1] << 8));
}

std::uint64_t rle_expanded_bytes(std::span<const std::uint8_t> rle) {
    std::uint64_t total = 0;
    for (std::size_t j = 0; j + 1 < rle.size(); j += 2) total += rle[j];
    return total;
}

// Where the frame's pieces lie in the file, for the messages.
struct Place {
    std::uint64_t record;  // offset of the record
    std::uint64_t index;   // the frame's number
    std::uint64_t payload() const { return record + kFrameHeaderBytes; }
    std::uint64_t field(std::size_t at) const { return record + at; }
};

Status decode_key_payload(std::span<const std::uint8_t> payload, const FrameHeader& h,
                          const Place& at, std::vector<std::uint8_t>& bits) {
    if (payload.size() < kRansHeaderBytes) {
        return fault(at.payload(), "frame " + num(at.index) + " keyframe payload of " +
                                       num(payload.size()) +
                                       " bytes is shorter than a rANS stream header");
    }
    const std::uint16_t p = p_zero_of(payload);
    if (p == 0 || p >= PROB_SCALE) {
        return fault(at.payload(), "frame " + num(at.index) + " rANS probability " + num(p) +
                                       " is outside 1..4095");
    }
    if (h.n_bits > rans_bit_capacity(payload)) {
        return fault(at.field(frame_field::n_bits.at),
                     "frame " + num(at.index) + " claims " + num(h.n_bits) +
                         " bits, more than its " + num(payload.size()) + "-byte stream can hold");
    }
    rans_decode_into(payload, h.n_bits, bits);
    return kOk;
}

Status apply_delta_payload(std::span<const std::uint8_t> payload, const FrameHeader& h,
                           const Place& at, std::vector<std::uint8_t>& bits) {
    if (payload.size() % 2 != 0) {
        return fault(at.payload(), "frame " + num(at.index) + " delta payload has odd length " +
                                       num(payload.size()));
    }
    // Expanding the pairs grows the chain buffer to at most 255 bytes per
    // pair, so its size follows the data present.
    const std::uint64_t expanded = rle_expanded_bytes(payload);
    if (h.n_bits > 8 * std::max<std::uint64_t>(expanded, bits.size())) {
        return fault(at.field(frame_field::n_bits.at),
                     "frame " + num(at.index) + " claims " + num(h.n_bits) +
                         " bits, more than its delta chain holds");
    }
    apply_rle_xor(payload, bits);
    return kOk;
}

// The context decoder checks the tree against the frame's counts as it
// walks it (bits against n_bits, every level's nodes against n_events) and
// yields the boxes from the same walk, so no second pass over the
// bitstream is needed. Its faults are placed within the payload.
Status decode_context_payload(std::span<const std::uint8_t> payload, const FrameHeader& h,
                              const Place& at, const GridParams& grid,
                              std::vector<std::uint8_t>& bits, LeafBoxes* boxes) {
    if (h.n_bits > context::tree_bit_capacity(payload)) {
        return fault(at.field(frame_field::n_bits.at),
                     "frame " + num(at.index) + " claims " + num(h.n_bits) +
                         " bits, more than its " + num(payload.size()) + "-byte payload can hold");
    }
    Status decoded = context::decode_tree(payload, grid, h.n_bits, h.n_events, bits, boxes);
    if (decoded) return kOk;
    Error error = std::move(decoded).take_error();
    error.offset = at.payload() + error.offset.value_or(0);
    error.message = "frame " + num(at.index) + " " + error.message;
    return error;
}

}  // namespace

std::uint64_t rans_bit_capacity(std::span<const std::uint8_t> stream) {
    if (stream.size() < kRansHeaderBytes) return 0;
    const std::uint16_t p = p_zero_of(stream);
    if (p == 0 || p >= PROB_SCALE) return 0;
    const double likelier = static_cast<double>(p > PROB_SCALE - p ? p : PROB_SCALE - p);
    const double min_cost = -std::log2(likelier / PROB_SCALE);
    const double state_bits = 8.0 * static_cast<double>(stream.size()) + 64.0;
    const double capacity = 2.0 * state_bits / min_cost;
    return capacity >= 0x1p62 ? std::uint64_t{1} << 62 : static_cast<std::uint64_t>(capacity);
}

Result<DecodedFrame> decode_frame(std::span<const std::uint8_t> record, std::uint64_t offset,
                                  std::uint64_t expected_index, const FileHeader& file,
                                  std::vector<std::uint8_t>& bits, bool have_previous,
                                  bool want_boxes) {
    ZEL_ASSIGN_OR_RETURN(const FrameHeader h, check_frame_record(record, offset, expected_index));
    const Place at{offset, h.index};
    const auto payload = record.subspan(kFrameHeaderBytes, h.payload_bytes);

    if (h.kind == FrameKind::Delta && !have_previous) {
        return fault(at.field(frame_field::kind.at),
                     "delta frame " + num(h.index) + " has no frame before it to apply to");
    }
    // Either keyframe kind is read at a keyframe position: a writer never
    // mixes them, but each frame says how it is coded, so a reader needs no
    // file-wide rule to decode one.
    if (is_key_kind(h.kind) != file.is_keyframe(h.index)) {
        return fault(at.field(frame_field::kind.at),
                     "frame " + num(h.index) + " is stored as a " +
                         (is_key_kind(h.kind) ? "keyframe" : "delta") +
                         " but the keyframe interval " + num(file.keyframe_interval) +
                         " says otherwise");
    }
    if (h.n_events == 0 && (h.t_first != 0 || h.t_last != 0)) {
        return fault(at.field(frame_field::t_first.at),
                     "frame " + num(h.index) + " has no events but a time range");
    }

    // The one dispatch on the payload's kind.
    switch (h.kind) {
        case FrameKind::Key:
            ZEL_TRY(decode_key_payload(payload, h, at, bits));
            break;
        case FrameKind::Delta:
            ZEL_TRY(apply_delta_payload(payload, h, at, bits));
            break;
        case FrameKind::ContextKey: {
            DecodedFrame out{h, {}};
            ZEL_TRY(decode_context_payload(payload, h, at, file.grid, bits,
                                           want_boxes ? &out.boxes : nullptr));
            return out;
        }
    }

    // Every occupied leaf holds at least one event, which bounds the boxes by
    // the frame's own count and catches a bitstream that lies about its tree.
    const GridParams& g = file.grid;
    LeafDecode leaves =
        decode_leaf_boxes(bits, h.n_bits, next_pow2(g.width), next_pow2(g.height),
                          next_pow2(g.time_bins), g.max_depth, h.n_events);
    if (leaves.too_many) {
        return fault(at.field(frame_field::n_events.at),
                     "frame " + num(h.index) + " decodes to more occupied boxes than its " +
                         num(h.n_events) + " events");
    }
    if (leaves.bits_used != h.n_bits) {
        return fault(at.field(frame_field::n_bits.at),
                     "frame " + num(h.index) + " claims " + num(h.n_bits) +
                         " bits but its tree uses " + num(leaves.bits_used));
    }
    if (h.n_events > 0 && leaves.boxes.empty()) {
        return fault(at.field(frame_field::n_events.at), "frame " + num(h.index) + " has " +
                                                             num(h.n_events) +
                                                             " events but no occupied box");
    }
    DecodedFrame out{h, {}};
    if (want_boxes) out.boxes = std::move(leaves.boxes);
    return out;
}

}  // namespace zel::container
