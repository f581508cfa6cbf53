#pragma once

#include <string>

#include "readers/stream_decoder.hpp"

namespace zel::camera {

// Prophesee EVT 3.0: little-endian 16-bit words whose top 4 bits name the
// type. Coordinates, polarity and time are state that words update; an
// address word or a 12/8-bit validity mask emits events from that state.
// Time is 24 bits (12 high, 12 low) extended to 64 bits by counting the
// wraps of the high part.
class Evt3Decoder final : public StreamDecoder {
public:
    // The fast loop takes the address, time-low and vector words without a
    // per-word type switch.
    using Path = DecodePath;

    Evt3Decoder(std::uint64_t start_offset, const DecodeOptions& options, Path path = Path::Fast)
        : StreamDecoder(2, start_offset, options), fast_(path == Path::Fast) {}

private:
    Result<DecodeProgress> decode_words(const std::uint8_t* words, std::size_t n_words,
                                              std::uint64_t offset, std::uint8_t* out,
                                              std::size_t capacity) override;
    bool pending_output() const override { return state_.pending_mask != 0; }

    // Decoder state between words.
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

    // One decode_words call: a working copy of the state (the output is
    // written through byte pointers, which may alias anything addressable,
    // so members would be reloaded after every record), the output and the
    // bound an x address must be below to be written as it stands: the
    // sensor width while y, time and record time are all known, else 0, so
    // the first event after any change to them takes the careful path.
    struct Run {
        State s;
        std::uint8_t* out;
        std::size_t capacity;
        std::size_t written = 0;
        std::uint32_t x_bound = 0;
    };

    // What the general path does after a word.
    enum class Flow { Next, StopBefore, StopAfter };

    std::size_t fast_words(const std::uint8_t* words, std::size_t i, std::size_t n_words, Run& run) const;
    Result<Flow> general_word(std::uint32_t word, std::uint64_t at, Run& run);
    Result<Flow> x_address(std::uint32_t word, std::uint64_t at, Run& run);
    Result<Flow> y_address(std::uint32_t word, std::uint64_t at, Run& run);
    Result<Flow> vector_mask(std::uint32_t word, std::uint32_t width, std::uint64_t at, Run& run);
    Result<Flow> time_high(std::uint32_t word, std::uint64_t at, Run& run);
    // A bad word: the error in strict mode, else counted and passed over.
    Result<Flow> bad_word(std::uint64_t at, std::string message);
    // Maps the time in `run` to its record time unless it is fresh. False
    // when the batch is full: the caller puts the word's changes back and
    // stops before it.
    Result<bool> fresh_time(Run& run);
    Result<std::uint32_t> map_time(State& s, std::size_t written);
    // Writes held vector events; false while some still do not fit.
    Result<bool> flush_pending(Run& run);

    State state_;
    const bool fast_;
};

}  // namespace zel::camera
