// Times the compression drivers on large inputs (not part of the build).
//   cmake --build <build> --target zel_core
//   g++ -O2 -std=c++20 -Isrc/core bench/bench_pipeline.cpp
//       <build>/libzel_core.a -o /tmp/bench_pipeline      (one command)
//   /tmp/bench_pipeline [--reference]

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>

#include "codec/pipeline.hpp"
#include "reference/pipeline_reference.hpp"

namespace {

double seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

zel::EventList random_events(std::size_t n, std::uint16_t width, std::uint16_t height,
                             std::uint32_t duration) {
    std::mt19937_64 rng(1);
    zel::EventList events(n);
    for (auto& e : events) {
        e = {static_cast<std::uint16_t>(rng() % width), static_cast<std::uint16_t>(rng() % height),
             static_cast<std::uint32_t>(rng() % duration), static_cast<std::uint8_t>(rng() & 1)};
    }
    return events;
}

void report(const char* what, double s, const zel::CompressionStats& st) {
    std::printf("%-46s %8.3f s  bytes=%llu n_bits=%llu enc=%lluus dec=%lluus sparsity=%.6f\n", what,
                s, static_cast<unsigned long long>(st.bitstream_bytes),
                static_cast<unsigned long long>(st.n_bits),
                static_cast<unsigned long long>(st.encode_us),
                static_cast<unsigned long long>(st.decode_us), st.sparsity);
}

}  // namespace

int main(int argc, char** argv) {
    const bool with_reference = argc > 1 && std::strcmp(argv[1], "--reference") == 0;
    const zel::EventList big = random_events(1'000'000, 640, 480, 10'000'000);

    zel::CompressOutput out;
    double s = seconds([&] { out = zel::run_compress(big, 640, 480, 256, 16); });
    report("compress 1M events 640x480 tb256 d16", s, out.stats);
    if (with_reference) {
        zel::CompressOutput ref;
        s = seconds([&] { ref = zel::run_compress_reference(big, 640, 480, 256, 16); });
        report("  reference", s, ref.stats);
        std::printf("  identical stream: %s\n", ref.stream == out.stream ? "yes" : "NO");
    }

    zel::SequenceOutput seq;
    s = seconds([&] { seq = zel::run_compress_sequence(big, 640, 480, 256, 16, 100); });
    report("sequence 1M events, 100 frames", s, seq.stats);

    const zel::EventList few = random_events(10, 640, 480, 10'000'000);
    s = seconds([&] { seq = zel::run_compress_sequence(few, 640, 480, 256, 16, 1'000'000); });
    report("sequence 10 events, 1,000,000 frames", s, seq.stats);
    s = seconds([&] { seq = zel::run_compress_sequence(few, 640, 480, 256, 16, 10'000'000); });
    report("sequence 10 events, 10,000,000 frames", s, seq.stats);

    const zel::EventList huge = random_events(100'000, 65535, 65535, 10'000'000);
    s = seconds([&] { out = zel::run_compress(huge, 65535, 65535, 65535, 16); });
    report("compress 100k events 65535^3 d16", s, out.stats);
    return 0;
}
