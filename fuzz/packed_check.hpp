#pragma once

// Comparisons between zelkit's packed 9-byte records and zel's EventList.

#include <cstring>

#include "base/byte_buffer.hpp"
#include "fuzz_support.hpp"
#include "readers/chunked_reader.hpp"
#include "readers/record_codecs.hpp"

namespace zel_fuzz {

inline bool same_events(const zel::ByteBuffer& packed, const zel::EventList& events) {
    if (packed.size() != events.size() * zel::kPackedEventBytes) return false;
    for (std::size_t i = 0; i < events.size(); ++i) {
        std::uint8_t record[zel::kPackedEventBytes];
        zel::store_packed(events[i], record);
        if (std::memcmp(record, packed.data() + i * zel::kPackedEventBytes, sizeof record) != 0) {
            return false;
        }
    }
    return true;
}

inline bool same_bytes(const zel::ByteBuffer& a, const zel::ByteBuffer& b) {
    return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace zel_fuzz
