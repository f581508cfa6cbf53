#include "readers/record_codecs.hpp"

namespace zel {

void decode_nmnist_records(const std::uint8_t* in, std::size_t count, std::uint8_t* out) {
    for (std::size_t i = 0; i < count; ++i, in += kNmnistRecordBytes, out += kPackedEventBytes) {
        // x and y are single bytes; b2's top bit is the polarity, its other
        // 7 bits and b3, b4 the 23-bit big-endian timestamp.
        out[0] = in[0];
        out[1] = 0;
        out[2] = in[1];
        out[3] = 0;
        out[4] = in[4];
        out[5] = in[3];
        out[6] = static_cast<std::uint8_t>(in[2] & 0x7F);
        out[7] = 0;
        out[8] = static_cast<std::uint8_t>(in[2] >> 7);
    }
}

void decode_aedat2_records(const std::uint8_t* in, std::size_t count, std::uint8_t* out) {
    for (std::size_t i = 0; i < count; ++i, in += kAedat2RecordBytes, out += kPackedEventBytes) {
        // Big-endian address: only its low 15 bits (bytes 2 and 3) carry
        // polarity, then 7-bit x and y. The timestamp is reversed into LE.
        const std::uint8_t low = in[3];
        const std::uint8_t high = in[2];
        out[0] = static_cast<std::uint8_t>((low >> 1) & 0x7F);
        out[1] = 0;
        out[2] = static_cast<std::uint8_t>(high & 0x7F);
        out[3] = 0;
        out[4] = in[7];
        out[5] = in[6];
        out[6] = in[5];
        out[7] = in[4];
        out[8] = static_cast<std::uint8_t>(low & 1);
    }
}

}  // namespace zel
