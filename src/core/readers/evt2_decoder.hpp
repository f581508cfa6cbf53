#pragma once

#include "readers/stream_decoder.hpp"

namespace zel::camera {

// Prophesee EVT 2.0: little-endian 32-bit words, type in the top 4 bits.
// CD words carry x, y and the low 6 bits of time; time-high words carry the
// next 28 bits. The 34-bit time is extended to 64 bits by counting wraps.
class Evt2Decoder final : public StreamDecoder {
public:
    // The fast loop takes runs of CD words (see DecodePath).
    Evt2Decoder(std::uint64_t start_offset, const DecodeOptions& options, DecodePath path = DecodePath::Fast)
        : StreamDecoder(4, start_offset, options), fast_(path == DecodePath::Fast) {}

private:
    Result<DecodeProgress> decode_words(const std::uint8_t* words, std::size_t n_words,
                                              std::uint64_t offset, std::uint8_t* out,
                                              std::size_t capacity) override;
    // The CD words from `i` that need no check beyond their coordinates,
    // written to `out` (room for `room` records); returns where they end.
    std::size_t fast_words(const std::uint8_t* words, std::size_t i, std::size_t n_words, std::uint8_t* out,
                           std::size_t room) const;

    std::uint64_t time_high_ = 0;  // already shifted left by 6
    std::uint64_t wraps_ = 0;
    bool has_time_ = false;
    const bool fast_;
};

// Prophesee DAT: 8-byte little-endian records, a 32-bit microsecond time
// then x (14 bits), y (14 bits) and polarity (4 bits, 0 or 1 for CD events).
class DatDecoder final : public StreamDecoder {
public:
    DatDecoder(std::uint64_t start_offset, const DecodeOptions& options)
        : StreamDecoder(8, start_offset, options) {}

private:
    Result<DecodeProgress> decode_words(const std::uint8_t* words, std::size_t n_words,
                                              std::uint64_t offset, std::uint8_t* out,
                                              std::size_t capacity) override;
};

}  // namespace zel::camera
