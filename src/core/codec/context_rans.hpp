#pragma once

// READ ME FIRST. The entropy coder of the context-coded occupancy payload:
// binary decisions, each with its own adaptive probability, coded by
// interleaved rANS.
//
// - A decision is coded with p, the probability (on a 12-bit scale, 1..4095)
//   that it is 1: a 1 owns the slots [0, p) of the scale, a 0 the slots
//   [p, 4096). The probabilities come from BitModels, which the encoder and
//   the decoder update identically, so nothing about them is stored.
// - rANS states are 32 bits and renormalise by 16-bit words: with the state
//   interval [2^16, 2^32) and a 12-bit scale one decision needs at most one
//   word in either direction, so renormalisation is a branch, never a loop.
// - Up to four states take the decisions round robin (decision k uses state
//   k mod lanes). Their updates do not depend on each other, so the CPU runs
//   them side by side instead of waiting on one long chain.
// - rANS codes last in, first out: the encoder first runs the models
//   forwards and records each decision with its probability, then codes
//   those backwards, writing words from the end of its buffer towards the
//   front. The decoder reads states and words first to last.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zel::context {

inline constexpr unsigned kProbBits = 12;
inline constexpr std::uint32_t kProbScale = 1u << kProbBits;
// Lower end of the state interval; the encoder starts every state here and
// the decoder must end on it, which checks the whole stream for free.
inline constexpr std::uint32_t kStateLow = 1u << 16;
inline constexpr unsigned kMaxLanes = 4;

// A decision as the encoder's model saw it: the probability of a 1 (1..4095)
// in the low 12 bits, the decision in bit 15.
using CodedBit = std::uint16_t;
inline CodedBit coded_bit(std::uint32_t p_one, unsigned bit) {
    return static_cast<CodedBit>(p_one | (bit << 15));
}

// Codes recorded decisions backwards into `out`, which receives the lanes'
// final states (u32 little endian, lane 0 first) followed by the 16-bit
// little-endian words in the order the decoder reads them. `words` is
// scratch space the caller may keep between calls.
void rans_encode_bits(const std::vector<CodedBit>& bits, unsigned lanes,
                      std::vector<std::uint16_t>& words, std::vector<std::uint8_t>& out);

// Reads what rans_encode_bits wrote. A damaged stream never makes it read
// past the end: a word that is not there reads as 0 and marks the stream as
// overrun, which finished_cleanly() reports.
class RansBitDecoder {
public:
    // bytes holds the states then the words; `lanes` states must be present.
    RansBitDecoder(const std::uint8_t* bytes, std::size_t size, unsigned lanes) {
        lanes_ = lanes;
        for (unsigned i = 0; i < lanes; ++i) {
            std::uint32_t x = 0;
            for (unsigned b = 0; b < 4; ++b) x |= std::uint32_t{bytes[4 * i + b]} << (8 * b);
            state_[i] = x;
        }
        pos_ = bytes + 4 * lanes;
        end_ = bytes + size;
    }

    // Decodes one decision whose probability of a 1 is p_one (1..4095).
    unsigned next(std::uint32_t p_one) {
        std::uint32_t x = state_[lane_];
        const std::uint32_t slot = x & (kProbScale - 1);
        const unsigned bit = slot < p_one ? 1u : 0u;
        const std::uint32_t start = bit ? 0 : p_one;
        const std::uint32_t freq = bit ? p_one : kProbScale - p_one;
        x = freq * (x >> kProbBits) + slot - start;
        if (x < kStateLow) {
            std::uint32_t word = 0;
            if (end_ - pos_ >= 2) {
                word = std::uint32_t{pos_[0]} | (std::uint32_t{pos_[1]} << 8);
                pos_ += 2;
            } else {
                overrun_ = true;
            }
            x = (x << 16) | word;
        }
        state_[lane_] = x;
        lane_ = (lane_ + 1) & (lanes_ - 1);
        return bit;
    }

    // True when the stream ended exactly where the decisions did: every word
    // read, none missing, every lane back at the encoder's starting state.
    bool finished_cleanly() const {
        if (overrun_ || pos_ != end_) return false;
        for (unsigned i = 0; i < lanes_; ++i)
            if (state_[i] != kStateLow) return false;
        return true;
    }

    // True once a word was missing: the stream is damaged.
    bool overrun() const { return overrun_; }

    // Offset of the next unread byte, from the start of the states.
    std::size_t consumed(const std::uint8_t* bytes) const {
        return static_cast<std::size_t>(pos_ - bytes);
    }

private:
    std::uint32_t state_[kMaxLanes] = {};
    unsigned lanes_ = 1;  // a power of two
    unsigned lane_ = 0;
    const std::uint8_t* pos_ = nullptr;
    const std::uint8_t* end_ = nullptr;
    bool overrun_ = false;
};

}  // namespace zel::context
