#include "readers/record_codecs.hpp"

#include "base/byte_order.hpp"

namespace zel {

void decode_nmnist_records(const std::uint8_t* in, std::size_t count, std::uint8_t* out) {
    for (std::size_t i = 0; i < count; ++i, in += kNmnistRecordBytes, out += kPackedEventBytes) {
        // x and y are single bytes; b2's top bit is the polarity, its other
        // 7 bits and b3, b4 the 23-bit big-endian timestamp.
        const std::uint32_t t = (static_cast<std::uint32_t>(in[2] & 0x7F) << 16) |
                                (static_cast<std::uint32_t>(in[3]) << 8) | in[4];
        store_packed(out, packed_head(in[0], in[1], t), static_cast<std::uint8_t>(in[2] >> 7));
    }
}

void decode_aedat2_records(const std::uint8_t* in, std::size_t count, std::uint8_t* out) {
    for (std::size_t i = 0; i < count; ++i, in += kAedat2RecordBytes, out += kPackedEventBytes) {
        // Only the low 15 bits of the big-endian address carry data:
        // polarity, then 7-bit x and y.
        const std::uint32_t address = load_be32(in);
        store_packed(out, packed_head((address >> 1) & 0x7F, (address >> 8) & 0x7F, load_be32(in + 4)),
                     static_cast<std::uint8_t>(address & 1));
    }
}

}  // namespace zel
