#include "codec/rans.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/bit_count.hpp"

namespace zel {

namespace {

// Where the final state sits in a stream, after p_zero.
constexpr std::size_t kStateOffset = sizeof(std::uint16_t);
// A symbol's renormalisation moves at most two bytes (out of the encoder,
// into the decoder), so a byte of input needs at most 16 bytes of room.
constexpr std::size_t kMaxBytesPerSymbol = 2;
constexpr std::size_t kMaxBytesPerInputByte = 8 * kMaxBytesPerSymbol;
// The decoder's fast path takes 64 symbols, one output word, at a time.
constexpr unsigned kSymbolsPerWord = 64;

std::uint64_t count_zero_bits(std::span<const std::uint8_t> packed, std::uint64_t n_bits) {
    const std::uint64_t whole = n_bits / 8;
    std::uint64_t ones = count_set_bits(packed.data(), whole);
    if (n_bits % 8 != 0) {
        const unsigned keep = 0xFFu << (8 - n_bits % 8);
        ones += static_cast<std::uint64_t>(std::popcount(static_cast<unsigned>(packed[whole] & keep)));
    }
    return n_bits - ones;
}

std::uint8_t byte_or_zero(std::span<const std::uint8_t> stream, std::size_t i) {
    return i < stream.size() ? stream[i] : 0;
}

// s >= p ? if_at_least : otherwise as a conditional move: the decoder's
// symbol is random, so a branch would be mispredicted, and the masking that
// compilers emit instead puts three more steps on the state's dependency
// chain. Where no conditional move can be forced, the plain form stands.
inline std::uint32_t at_least_then(std::uint32_t s, std::uint32_t p, std::uint32_t otherwise,
                                   std::uint32_t if_at_least) {
#if defined(__GNUC__) && defined(__x86_64__)
    __asm__("cmpl %2, %1\n\tcmovae %3, %0" : "+r"(otherwise) : "r"(s), "r"(p), "r"(if_at_least) : "cc");
    return otherwise;
#else
    return s >= p ? if_at_least : otherwise;
#endif
}

}  // namespace

ReciprocalDivider::ReciprocalDivider(std::uint32_t f) : divisor(f) {
    const unsigned ceil_log2 = f <= 1 ? 0 : static_cast<unsigned>(std::bit_width(f - 1));
    shift = 31 + ceil_log2;
    multiplier = ((std::uint64_t{1} << shift) + f - 1) / f;
}

std::uint16_t rans_p_zero(std::span<const std::uint8_t> packed, std::uint64_t n_bits) {
    if (n_bits == 0) return PROB_SCALE / 2;
    const std::uint64_t zeros = count_zero_bits(packed, n_bits);
    const std::uint64_t p = (zeros * PROB_SCALE + n_bits / 2) / n_bits;
    return static_cast<std::uint16_t>(std::clamp<std::uint64_t>(p, 1, PROB_SCALE - 1));
}

RansStream rans_encode(std::span<const std::uint8_t> packed, std::uint64_t n_bits) {
    if (n_bits > packed.size() * std::uint64_t{8}) {
        // Rare caller error: code a zero-extended copy rather than read past the end.
        std::vector<std::uint8_t> extended((n_bits + 7) / 8, 0);
        std::copy(packed.begin(), packed.end(), extended.begin());
        return rans_encode(extended, n_bits);
    }
    const std::uint32_t p = n_bits == 0 ? PROB_SCALE / 2 : rans_p_zero(packed, n_bits);
    // Only two frequencies occur, so both divisions are prepared once and the
    // symbol's parameters are picked by index rather than by branching.
    const ReciprocalDivider by_freq[2] = {ReciprocalDivider(p), ReciprocalDivider(PROB_SCALE - p)};
    const std::uint32_t start_of[2] = {0, p};
    const std::uint32_t rest_of[2] = {PROB_SCALE - p, p};  // PROB_SCALE - freq
    const std::uint64_t limit_of[2] = {std::uint64_t{(RANS_L >> PROB_BITS) << 8} * p,
                                       std::uint64_t{(RANS_L >> PROB_BITS) << 8} * (PROB_SCALE - p)};

    // Coding runs last bit first so the decoder can read first bit first; the
    // renormalisation bytes are written backwards from the end of a buffer,
    // which leaves them in the order the decoder reads them. One check per
    // input byte keeps room for the most its eight symbols can emit.
    // The buffer stays with the thread (up to a cap) so that repeated calls
    // write into memory that is already mapped.
    constexpr std::size_t kKeepBytes = std::size_t{16} << 20;
    thread_local std::vector<std::uint8_t> buffer;
    const std::size_t wanted = std::max<std::size_t>(64, n_bits / 4 + kMaxBytesPerInputByte);
    if (buffer.size() < wanted) buffer.resize(wanted);
    std::size_t front = buffer.size();  // first written byte
    std::uint32_t x = RANS_L;
    const auto code_bits = [&](std::uint8_t byte, unsigned first_bit, unsigned last_bit) {
        if (front < kMaxBytesPerInputByte) {
            // Out of room: move what is written to the end of a buffer twice as large.
            std::vector<std::uint8_t> larger(buffer.size() * 2);
            const std::size_t written = buffer.size() - front;
            std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(front), buffer.end(),
                      larger.end() - static_cast<std::ptrdiff_t>(written));
            front = larger.size() - written;
            buffer.swap(larger);
        }
        std::uint8_t* out = buffer.data();
        // Bit 7 - k of the byte is stream bit k; walk from last_bit down.
        for (unsigned k = last_bit + 1; k-- > first_bit;) {
            const unsigned one = (unsigned{byte} >> (7 - k)) & 1u;
            const std::uint64_t limit = limit_of[one];
            const unsigned emit = unsigned{x >= limit} + unsigned{x >= (limit << 8)};
            out[front - 1] = static_cast<std::uint8_t>(x);
            out[front - 2] = static_cast<std::uint8_t>(x >> 8);
            front -= emit;
            // The quotient of the renormalised state, floor((x >> 8 emit) /
            // freq), equals floor(x / freq) >> 8 emit, so the multiplication
            // starts from x before renormalisation, alongside the emit test,
            // instead of after it. x < 2^31 here, inside the divider's exact
            // range. Then q * PROB_SCALE + (x - q * freq) + start.
            const ReciprocalDivider& by = by_freq[one];
            const auto q = static_cast<std::uint32_t>((std::uint64_t{x} * by.multiplier) >>
                                                      (by.shift + 8 * emit));
            x = (x >> (8 * emit)) + q * rest_of[one] + start_of[one];
        }
    };
    const std::uint64_t whole = n_bits / 8;
    if (n_bits % 8 != 0) code_bits(packed[whole], 0, static_cast<unsigned>(n_bits % 8) - 1);
    for (std::uint64_t b = whole; b-- > 0;) code_bits(packed[b], 0, 7);

    const std::size_t emitted = buffer.size() - front;
    RansStream out(kRansHeaderBytes + emitted);
    out[0] = static_cast<std::uint8_t>(p & 0xFF);
    out[1] = static_cast<std::uint8_t>(p >> 8);
    for (unsigned k = 0; k < sizeof x; ++k) {
        out[kStateOffset + k] = static_cast<std::uint8_t>(x >> (8 * k));
    }
    std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(front), buffer.end(),
              out.begin() + kRansHeaderBytes);
    if (buffer.capacity() > kKeepBytes) std::vector<std::uint8_t>().swap(buffer);
    return out;
}

std::vector<std::uint8_t> rans_decode(std::span<const std::uint8_t> stream,
                                      std::uint64_t n_bits) {
    std::vector<std::uint8_t> out;
    rans_decode_into(stream, n_bits, out);
    return out;
}

void rans_decode_into(std::span<const std::uint8_t> stream, std::uint64_t n_bits,
                      std::vector<std::uint8_t>& out) {
    out.clear();
    if (n_bits == 0) return;
    const std::uint32_t p =
        std::uint32_t{byte_or_zero(stream, 0)} | (std::uint32_t{byte_or_zero(stream, 1)} << 8);
    std::uint32_t x = 0;
    for (unsigned k = 0; k < sizeof x; ++k) {
        x |= std::uint32_t{byte_or_zero(stream, kStateOffset + k)} << (8 * k);
    }
    std::size_t r = kRansHeaderBytes;

    out.resize((n_bits + 7) / 8, 0);
    // With x >= RANS_L before a symbol, decoding leaves x >= 2^11, so two
    // renormalisation steps always suffice and restore x >= RANS_L; the fast
    // loop relies on that and reads the symbol branch-free. Whatever it
    // cannot take (a malformed state, the stream's last bytes, the last
    // partial word) goes through the general step, bit by bit.
    const std::uint32_t freq_one = PROB_SCALE - p;
    const std::uint8_t* bytes = stream.data();
    const std::size_t size = stream.size();
    std::uint64_t i = 0;
    while (i < n_bits) {
        // A whole 64-bit word of output at once when the state is in range
        // and the most its symbols can consume remains; the state then stays
        // in range, so nothing is checked per symbol.
        if (x >= RANS_L && n_bits - i >= kSymbolsPerWord &&
            size - std::min(size, r) >= kSymbolsPerWord * kMaxBytesPerSymbol) {
            std::uint64_t word = 0;
            for (unsigned k = 0; k < kSymbolsPerWord; ++k) {
                // Both successor states are computed while the symbol is
                // still being compared, then one is picked.
                const std::uint32_t s = x & (PROB_SCALE - 1);
                const std::uint32_t high = x >> PROB_BITS;
                const std::uint32_t if_zero = p * high + s;
                const std::uint32_t if_one = freq_one * high + s - p;
                const std::uint32_t one = s >= p;
                x = at_least_then(s, p, if_zero, if_one);
                const std::uint32_t a = x < RANS_L;
                x = a ? (x << 8) | bytes[r] : x;
                r += a;
                const std::uint32_t b = x < RANS_L;
                x = b ? (x << 8) | bytes[r] : x;
                r += b;
                word = (word << 1) | one;
            }
            std::uint8_t* dst = out.data() + i / 8;
            for (int k = 0; k < 8; ++k) dst[k] = static_cast<std::uint8_t>(word >> (56 - 8 * k));
            i += kSymbolsPerWord;
            continue;
        }
        // General step, bit by bit up to the next word boundary.
        for (const std::uint64_t stop =
                 std::min(n_bits, (i / kSymbolsPerWord + 1) * kSymbolsPerWord);
             i < stop; ++i) {
            const std::uint32_t s = x & (PROB_SCALE - 1);
            std::uint32_t start = 0;
            std::uint32_t freq = p;
            if (s >= p) {
                out[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
                start = p;
                freq = freq_one;
            }
            x = freq * (x >> PROB_BITS) + s - start;
            while (x <= RANS_L - 1) {
                if (r < size) {
                    x = (x << 8) | bytes[r++];
                } else if (x == 0) {
                    break;  // only a malformed stream gets here; shifting would never end
                } else {
                    x <<= 8;
                }
            }
        }
    }
}

}  // namespace zel
