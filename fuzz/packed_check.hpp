#pragma once

// Comparison of two buffers of packed 9-byte records.

#include <cstring>

#include "base/byte_buffer.hpp"

namespace zel_fuzz {

inline bool same_bytes(const zel::ByteBuffer& a, const zel::ByteBuffer& b) {
    return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace zel_fuzz
