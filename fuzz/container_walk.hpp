#pragma once

// Reads a whole .zel container from memory through the core's reader, the
// one zelkit ships: open (header, then the index or the records), then
// every frame in order along its delta chain.

#include <span>
#include <vector>

#include "container/byte_source.hpp"
#include "container/container_reader.hpp"

namespace zel_fuzz {

struct WalkedContainer {
    zel::container::FileHeader header;
    bool complete = true;
    std::vector<zel::container::DecodedFrame> frames;
};

inline zel::Result<WalkedContainer> walk_container(std::span<const std::uint8_t> bytes,
                                                   bool want_boxes) {
    namespace ct = zel::container;
    ZEL_ASSIGN_OR_RETURN(ct::ContainerReader reader,
                         ct::ContainerReader::open(ct::memory_source(bytes)));
    WalkedContainer walked{reader.header(), reader.complete(), {}};
    for (std::uint64_t k = 0; k < reader.frames().size(); ++k) {
        ZEL_ASSIGN_OR_RETURN(ct::DecodedFrame frame, reader.decode(k, want_boxes));
        walked.frames.push_back(std::move(frame));
    }
    return walked;
}

}  // namespace zel_fuzz
