// The round trip past the sparse coder's switch from comparison sort to
// radix sort (4096 keys): the input seeds a generator for 4097 to 12288
// events, half of them clustered so both dense and sparse regions occur.
#include "roundtrip_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::Input in(data, size);
    const zel_fuzz::GridArgs grid = zel_fuzz::take_grid_args(in);
    const std::size_t count = 4097 + in.take(2) % 8192;
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (const std::uint8_t byte : in.rest()) state = (state ^ byte) * 0x100000001B3ull;
    auto next = [&state] {  // xorshift64*
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return (state * 0x2545F4914F6CDD1Dull) >> 32;
    };
    zel::EventList events(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t r = next();
        const bool clustered = (r & 1) != 0;
        const std::uint64_t spread_x = clustered ? 8 : grid.width + 4u;
        const std::uint64_t spread_y = clustered ? 8 : grid.height + 4u;
        events[i].x = static_cast<std::uint16_t>(next() % spread_x);
        events[i].y = static_cast<std::uint16_t>(next() % spread_y);
        events[i].t = static_cast<std::uint32_t>(next() % 100000);
        events[i].p = static_cast<std::uint8_t>(r >> 8);
    }
    zel_fuzz::check_round_trip(events, grid);
    return 0;
}
