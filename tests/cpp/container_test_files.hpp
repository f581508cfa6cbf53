#pragma once

// Containers for the container tests: small event sets packed as records,
// a whole container of them written by the core's writer, and a reader over
// one in memory.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "base/event.hpp"
#include "container/byte_source.hpp"
#include "container/container_reader.hpp"
#include "container/container_writer.hpp"

namespace zel_test {

// `n` events on a 16 x 16 sensor spread over t 0 .. 10 * (n - 1), as packed
// records.
inline std::vector<std::uint8_t> packed_events(std::size_t n) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<std::uint16_t>(i * 7 % 16);
        const auto y = static_cast<std::uint16_t>(i * 5 % 16);
        const auto t = static_cast<std::uint32_t>(10 * i);
        for (std::uint8_t b : {std::uint8_t(x), std::uint8_t(x >> 8), std::uint8_t(y),
                               std::uint8_t(y >> 8), std::uint8_t(t), std::uint8_t(t >> 8),
                               std::uint8_t(t >> 16), std::uint8_t(t >> 24), std::uint8_t(i % 2)}) {
            out.push_back(b);
        }
    }
    return out;
}

inline zel::GridParams small_grid() { return zel::GridParams{16, 16, 4, 4}; }

// A container of n_frames frames of 200 events, every frame but the first
// a delta unless the interval says otherwise.
inline std::vector<std::uint8_t> sample_container(
    std::uint64_t n_frames, std::uint32_t keyframe_interval = 0,
    zel::container::KeyframeCodec codec = zel::container::KeyframeCodec::Zel) {
    const std::vector<std::uint8_t> records = packed_events(200);
    auto file = zel::container::encode_container(
        zel::PackedEvents(records.data(), records.size() / zel::kPackedEventBytes), small_grid(),
        n_frames, keyframe_interval, codec);
    return std::move(file.value());
}

// A reader over a container in memory; a file that does not open fails the test.
inline zel::container::ContainerReader open_memory(const std::vector<std::uint8_t>& file) {
    auto opened = zel::container::ContainerReader::open(zel::container::memory_source(file));
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error().message);
    return std::move(opened.value());
}

}  // namespace zel_test
