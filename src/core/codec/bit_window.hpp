#pragma once

#include <cstdint>

namespace zel {

// Eight bits of data starting at bit `pos`, most significant first; bits at
// or past `end` (which never exceeds data's bit length, and lies past pos)
// read as 0. Nothing beyond the byte holding bit end - 1 is touched.
inline unsigned bits_at(const std::uint8_t* data, std::uint64_t pos, std::uint64_t end) {
    const std::uint64_t byte = pos / 8;
    const unsigned offset = pos % 8;
    unsigned pair = static_cast<unsigned>(data[byte]) << 8;
    if (offset != 0 && (byte + 1) * 8 < end) pair |= data[byte + 1];
    unsigned value = (pair >> (8 - offset)) & 0xFFu;
    if (end - pos < 8) value &= 0xFFu << (8 - (end - pos));
    return value;
}

}  // namespace zel
