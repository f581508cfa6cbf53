// Per-stage timings of the compression core on the davis-like stream
// (Google Benchmark). Built with -DZEL_BUILD_BENCH=ON as target bench_stages:
//   build/bench/bench_stages --benchmark_repetitions=5 --benchmark_report_aggregates_only

#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "codec/decoder.hpp"
#include "codec/pipeline.hpp"
#include "codec/rans.hpp"
#include "codec/sparse_octree.hpp"
#include "davis_like.hpp"

namespace {

using zel::EventList;

// The 1M-event davis-like stream, or its 2M-event 1280 x 720 variant.
const EventList& stream(std::uint16_t width) {
    static const EventList davis = zel::bench::davis_like(1'000'000);
    static const EventList hd = zel::bench::davis_like(2'000'000, 1280, 720);
    return width == 1280 ? hd : davis;
}

struct Case {
    std::size_t n;
    std::uint16_t width, height, time_bins;
};

Case case_of(const benchmark::State& state) {
    switch (state.range(0)) {
        case 0: return {1'000'000, 346, 260, 64};
        case 1: return {1'000'000, 346, 260, 256};
        default: return {2'000'000, 1280, 720, 64};
    }
}

void label(benchmark::State& state, const Case& c) {
    state.SetLabel(std::to_string(c.n / 1000) + "k " + std::to_string(c.width) + "x" +
                   std::to_string(c.height) + " tb" + std::to_string(c.time_bins));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(c.n));
}

void OctreeEncode(benchmark::State& state) {
    const Case c = case_of(state);
    const EventList& events = stream(c.width);
    zel::OctreeBitstream bits;
    for (auto _ : state) {
        zel::SparseOctreeCoder coder(c.width, c.height, c.time_bins, 16);
        benchmark::DoNotOptimize(coder.encode(events, bits));
    }
    label(state, c);
}

zel::OctreeBitstream bitstream_of(const Case& c) {
    zel::SparseOctreeCoder coder(c.width, c.height, c.time_bins, 16);
    zel::OctreeBitstream bits;
    coder.encode(stream(c.width), bits);
    return bits;
}

void RansEncode(benchmark::State& state) {
    const Case c = case_of(state);
    const zel::OctreeBitstream bits = bitstream_of(c);
    for (auto _ : state) benchmark::DoNotOptimize(zel::rans_encode(bits.packed, bits.n_bits));
    label(state, c);
}

void RansDecode(benchmark::State& state) {
    const Case c = case_of(state);
    const zel::OctreeBitstream bits = bitstream_of(c);
    const zel::RansStream coded = zel::rans_encode(bits.packed, bits.n_bits);
    for (auto _ : state) benchmark::DoNotOptimize(zel::rans_decode(coded, bits.n_bits));
    label(state, c);
}

void OctreeDecode(benchmark::State& state) {
    const Case c = case_of(state);
    const zel::OctreeBitstream bits = bitstream_of(c);
    std::vector<zel::NodeKind> kinds;
    for (auto _ : state) {
        zel::decode_octree_flat(bits.packed, bits.n_bits, zel::next_pow2(c.width),
                                zel::next_pow2(c.height), zel::next_pow2(c.time_bins), 16, kinds);
        benchmark::DoNotOptimize(kinds.data());
    }
    label(state, c);
}

void Compress(benchmark::State& state) {
    const Case c = case_of(state);
    const EventList& events = stream(c.width);
    for (auto _ : state) {
        benchmark::DoNotOptimize(zel::run_compress(events, c.width, c.height, c.time_bins, 16));
    }
    label(state, c);
}

void CompressPacked(benchmark::State& state) {
    const Case c = case_of(state);
    const EventList& events = stream(c.width);
    std::vector<std::uint8_t> records(events.size() * zel::kPackedEventBytes);
    for (std::size_t i = 0; i < events.size(); ++i) {
        std::uint8_t* r = records.data() + i * zel::kPackedEventBytes;
        const zel::Event& e = events[i];
        const std::uint8_t bytes[9] = {
            static_cast<std::uint8_t>(e.x), static_cast<std::uint8_t>(e.x >> 8),
            static_cast<std::uint8_t>(e.y), static_cast<std::uint8_t>(e.y >> 8),
            static_cast<std::uint8_t>(e.t), static_cast<std::uint8_t>(e.t >> 8),
            static_cast<std::uint8_t>(e.t >> 16), static_cast<std::uint8_t>(e.t >> 24), e.p};
        std::copy(bytes, bytes + 9, r);
    }
    const zel::PackedEvents packed(records.data(), events.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(zel::run_compress(packed, c.width, c.height, c.time_bins, 16));
    }
    label(state, c);
}

void Sequence(benchmark::State& state) {
    const EventList& events = stream(346);
    const auto n_frames = static_cast<std::uint64_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(zel::run_compress_sequence(events, 346, 260, 256, 16, n_frames));
    }
    state.SetLabel("1000k 346x260 tb256 d16, frames " + std::to_string(n_frames));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(events.size()));
}

// A field of /proc/self/status in bytes (0 where there is none).
double status_bytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::stod(line.substr(field.size())) * 1024;
    }
    return 0;
}

void ManyEmptyFrames(benchmark::State& state) {
    const EventList few = {{1, 2, 0, 0}, {3, 4, 500, 1}, {5, 6, 1'000'000, 0}};
    const auto n_frames = static_cast<std::uint64_t>(state.range(0));
    double peak = 0;
    for (auto _ : state) {
        // Writing 5 to clear_refs resets the high-water mark, so VmHWM then
        // tells the peak of this call alone.
        std::ofstream("/proc/self/clear_refs") << "5";
        const double before = status_bytes("VmRSS:");
        benchmark::DoNotOptimize(zel::run_compress_sequence(few, 346, 260, 16, 16, n_frames));
        peak = std::max(peak, status_bytes("VmHWM:") - before);
    }
    state.counters["peak_bytes_per_frame"] = peak / static_cast<double>(n_frames);
    state.SetLabel("3 events, frames " + std::to_string(n_frames));
}

BENCHMARK(OctreeEncode)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(RansEncode)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(RansDecode)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(OctreeDecode)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(Compress)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(CompressPacked)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(Sequence)->Arg(1)->Arg(32)->Arg(256)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(ManyEmptyFrames)->Arg(10'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
