#pragma once

// The records the study programs read: files of 9-byte events (x u16, y u16,
// t u32, p u8, little-endian), as dump_recordings.py writes them.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

struct Ev {
    std::uint32_t x, y, t, p;
};

inline std::vector<Ev> load(const char* path) {
    std::ifstream f(path, std::ios::binary);
    std::vector<unsigned char> b((std::istreambuf_iterator<char>(f)), {});
    std::vector<Ev> e(b.size() / 9);
    for (std::size_t i = 0; i < e.size(); ++i) {
        const unsigned char* r = &b[i * 9];
        e[i] = {std::uint32_t(r[0] | r[1] << 8), std::uint32_t(r[2] | r[3] << 8),
                std::uint32_t(r[4] | r[5] << 8 | r[6] << 16 | std::uint32_t(r[7]) << 24), r[8]};
    }
    return e;
}
