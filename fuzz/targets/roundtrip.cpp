// Differential round trip on events taken from the input as compact records
// (so the .evb sample seeds it), small grids, all depths and frame counts.
#include <algorithm>

#include "roundtrip_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::Input in(data, size);
    const zel_fuzz::GridArgs grid = zel_fuzz::take_grid_args(in);
    // Up to 1024 events keeps each run quick; roundtrip_large covers more.
    std::span<const std::uint8_t> records = in.rest();
    records = records.first(std::min<std::size_t>(records.size() / 9, 1024) * 9);
    zel_fuzz::check_round_trip(zel::unpack_events({records.data(), records.size() / 9}), grid);
    return 0;
}
