// The camera readers on the recorded samples (Google Benchmark), the core
// alone: a whole-file load (read, header, decode, output) and the decode
// loop into output already allocated. Built with -DZEL_BUILD_BENCH=ON as
// target bench_readers:
//   build/bench/bench_readers [data folder] --benchmark_repetitions=5
// Items per second are events per second. A sample that is absent is
// skipped.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "readers/camera_reader.hpp"
#include "readers/evt2_decoder.hpp"
#include "readers/evt3_decoder.hpp"
#include "readers/io_hooks.hpp"
#include "readers/prophesee_header.hpp"

namespace {

using namespace zel::camera;

std::string g_data = "/work/shared/data";

struct Sample {
    const char* file;
    CameraFormat format;
};

const Sample kSamples[] = {{"evt3_sample.raw", CameraFormat::Raw},
                           {"evt2_sample.raw", CameraFormat::Raw},
                           {"sample_ncars.dat", CameraFormat::Dat},
                           {"sample.aedat4", CameraFormat::Aedat4}};

void Load(benchmark::State& state) {
    const Sample& s = kSamples[state.range(0)];
    const std::string path = g_data + "/" + s.file;
    std::size_t events = 0;
    for (auto _ : state) {
        auto loaded = load_camera_file(path, s.format, BadWords::Strict, {TimeBase::Mode::FirstEvent, 0},
                                       zel::no_io_hooks());
        if (!loaded) {
            state.SkipWithError(loaded.error().text().c_str());
            return;
        }
        events = loaded.value().records.size() / zel::kPackedEventBytes;
        benchmark::DoNotOptimize(loaded.value().records.data());
    }
    state.SetLabel(s.file);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(events));
}

template <class Decoder>
void DecodeLoop(benchmark::State& state, const char* file) {
    std::ifstream in(g_data + "/" + file, std::ios::binary);
    const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), {});
    auto header = parse_raw_header(data);
    if (!header) {
        state.SkipWithError("sample absent or unreadable");
        return;
    }
    const std::span<const std::uint8_t> words(data.data() + header.value().data_offset,
                                              data.size() - header.value().data_offset);
    std::vector<std::uint8_t> out(words.size() * 6 * zel::kPackedEventBytes);
    std::size_t events = 0;
    for (auto _ : state) {
        Decoder d(0, prophesee_options(header.value(), BadWords::Strict, {TimeBase::Mode::FirstEvent, 0}));
        events = d.decode(words, out).value().written;
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(events));
}

void DecodeEvt3(benchmark::State& state) { DecodeLoop<Evt3Decoder>(state, "evt3_sample.raw"); }
void DecodeEvt2(benchmark::State& state) { DecodeLoop<Evt2Decoder>(state, "evt2_sample.raw"); }

}  // namespace

BENCHMARK(Load)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeEvt3)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeEvt2)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 1) g_data = argv[1];
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
