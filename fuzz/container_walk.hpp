#pragma once

// Reads a whole .zel container from memory the way zelkit's reader does:
// header, then the index the trailer points at (or, without a trailer, the
// frame records one after another), then every frame along its delta chain.

#include <optional>
#include <span>
#include <vector>

#include "container/frame_decoder.hpp"

namespace zel_fuzz {

struct WalkedContainer {
    zel::container::FileHeader header;
    std::vector<zel::container::DecodedFrame> frames;
};

inline zel::container::Parsed<WalkedContainer> walk_container(std::span<const std::uint8_t> bytes,
                                                              bool want_boxes) {
    namespace ct = zel::container;
    auto header = ct::parse_header(bytes);
    if (!header) return header.error();
    WalkedContainer walked{header.value(), {}};
    std::uint64_t frames_end = bytes.size();
    std::optional<std::vector<ct::FrameSummary>> index;
    if (bytes.size() >= ct::kHeaderBytes + ct::kTrailerBytes) {
        auto trailer = ct::parse_trailer(bytes.last(ct::kTrailerBytes), bytes.size());
        if (!trailer) return trailer.error();
        if (trailer.value().present) {
            const std::uint64_t at = trailer.value().index_offset;
            auto parsed = ct::parse_index(
                bytes.subspan(at, bytes.size() - ct::kTrailerBytes - at), at, walked.header);
            if (!parsed) return parsed.error();
            index = std::move(parsed.value());
            frames_end = at;
        }
    }
    std::vector<std::uint8_t> bits;
    std::uint64_t offset = ct::kHeaderBytes;
    for (std::uint64_t k = 0;; ++k) {
        if (index ? k == index->size() : offset == frames_end) break;
        if (index) offset = (*index)[k].offset;
        auto head = ct::parse_frame_header(bytes.subspan(offset, frames_end - offset), offset, k);
        if (!head) return head.error();
        const std::uint64_t record_bytes = head.value().record_bytes();
        if (record_bytes > frames_end - offset) {
            return ct::FormatFault{offset, "frame record runs past the frames"};
        }
        auto frame = ct::decode_frame(bytes.subspan(offset, record_bytes), offset, k, walked.header,
                                      bits, k > 0, want_boxes);
        if (!frame) return frame.error();
        walked.frames.push_back(std::move(frame.value()));
        offset += record_bytes;
    }
    return walked;
}

}  // namespace zel_fuzz
