#include "codec/key_interleave.hpp"

namespace zel {

KeyInterleaver::KeyInterleaver(const std::array<unsigned, kAxes>& log2,
                               const Positions& position) {
    for (unsigned a = 0; a < kAxes; ++a) {
        for (unsigned b = 0; b < log2[a]; ++b) {
            const std::uint64_t bit = std::uint64_t{1} << position[a][b];
            masks_[a] |= bit;
            for (unsigned v = 0; v < 256; ++v) {
                if ((v >> (b % 8)) & 1u) deposit_[a][b / 8][v] |= bit;
            }
        }
    }
}

bool fast_bit_deposit() {
#ifdef ZEL_HAVE_BIT_DEPOSIT
    static const bool fast = [] {
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("bmi2")) return false;
        return !__builtin_cpu_is("amd") || __builtin_cpu_is("znver3");
    }();
    return fast;
#else
    return false;
#endif
}

}  // namespace zel
