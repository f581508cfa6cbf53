#pragma once

#include "readers/stream_decoder.hpp"

namespace zel::camera {

// Prophesee EVT 3.0: little-endian 16-bit words whose top 4 bits name the
// type. Coordinates, polarity and time are state that words update; an
// address word or a 12/8-bit validity mask emits events from that state.
// Time is 24 bits (12 high, 12 low) extended to 64 bits by counting the
// wraps of the high part.
class Evt3Decoder final : public StreamDecoder {
public:
    // Fast runs the common words (addresses, time low, vectors) through a
    // loop without a per-word type switch whenever the state allows it;
    // General decodes every word through the switch. Both give the same
    // records, errors and counts: General exists so tests can compare them.
    enum class Path { Fast, General };

    Evt3Decoder(std::uint64_t start_offset, const DecodeOptions& options, Path path = Path::Fast)
        : StreamDecoder(2, start_offset, options), fast_(path == Path::Fast) {}

private:
    DecodeResult<DecodeProgress> decode_words(const std::uint8_t* words, std::size_t n_words,
                                              std::uint64_t offset, std::uint8_t* out,
                                              std::size_t capacity) override;
    bool pending_output() const override { return state_.pending_mask != 0; }

    DecodeResult<std::uint32_t> refresh_time(std::size_t written);

    // Decoder state between words. decode_words works on a local copy: its
    // byte stores to the output may alias anything, and a local keeps the
    // compiler from reloading every field after each store.
    struct State {
        std::uint32_t y = 0;
        std::uint32_t base_x = 0;
        std::uint8_t polarity = 0;
        std::uint32_t time_high = 0;
        std::uint32_t time_low = 0;
        std::uint64_t wraps = 0;
        bool has_y = false;
        bool has_base = false;
        bool has_time = false;
        // Record time for the current time words, valid while time_fresh.
        std::uint32_t record_time = 0;
        bool time_fresh = false;
        // Events of a vector word that did not fit the output.
        std::uint32_t pending_mask = 0;
        std::uint32_t pending_base = 0;
    };
    State state_;
    const bool fast_;
};

}  // namespace zel::camera
