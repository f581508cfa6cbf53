// Size and speed of the lossless block codec on files of packed 9-byte
// records (what bench_lossless.py writes), one thread, best of N runs.
//
//   bench_lossless [--repeats N] [--block EVENTS] [--threads T] [--version V] [--parts] FILE.rec...
//
// Prints, per file: events, bits/event, encode and decode M events/s on
// one thread, decode M events/s with T threads (blocks shared out), and
// checks that every block decodes back to its records. With --parts, a
// second line per file: bits/event spent on each part of an event (the
// symbols' ideal cost and the raw bits) and the rest of the payloads.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "lossless/block_codec.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> read_file(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = 5;
    unsigned threads = 2;
    std::uint64_t block = zel::lossless::kDefaultBlockEvents;
    bool parts = false;
    unsigned version = zel::lossless::kBlockVersion;
    int first = 1;
    while (first < argc && argv[first][0] == '-') {
        const std::string flag = argv[first];
        if (flag == "--parts") {
            parts = true;
            first += 1;
            continue;
        }
        if (flag == "--repeats" && first + 1 < argc) repeats = std::atoi(argv[first + 1]);
        else if (flag == "--block" && first + 1 < argc) block = std::strtoull(argv[first + 1], nullptr, 10);
        else if (flag == "--version" && first + 1 < argc) version = static_cast<unsigned>(std::atoi(argv[first + 1]));
        else if (flag == "--threads" && first + 1 < argc) threads = static_cast<unsigned>(std::atoi(argv[first + 1]));
        else return std::fprintf(stderr, "unknown option %s\n", argv[first]), 2;
        first += 2;
    }
    for (int a = first; a < argc; ++a) {
        const std::vector<std::uint8_t> records = read_file(argv[a]);
        const std::size_t n = records.size() / zel::kPackedEventBytes;
        std::vector<std::size_t> starts;
        for (std::size_t s = 0; s < n; s += block) starts.push_back(s);
        std::vector<zel::ByteBuffer> payloads(starts.size());
        double best_encode = 1e30, best_decode = 1e30;
        std::vector<std::uint8_t> back(records.size());
        for (int r = 0; r < repeats; ++r) {
            const auto t0 = Clock::now();
            for (std::size_t k = 0; k < starts.size(); ++k) {
                payloads[k].clear();
                const std::size_t m = std::min<std::size_t>(block, n - starts[k]);
                const auto status = zel::lossless::encode_block(
                    zel::PackedEvents(records.data() + starts[k] * zel::kPackedEventBytes, m), payloads[k],
                    static_cast<std::uint8_t>(version));
                if (!status) return std::fprintf(stderr, "encode failed\n"), 1;
            }
            const auto t1 = Clock::now();
            for (std::size_t k = 0; k < starts.size(); ++k) {
                const std::size_t m = std::min<std::size_t>(block, n - starts[k]);
                const auto status = zel::lossless::decode_block(
                    {payloads[k].data(), payloads[k].size()}, m, back.data() + starts[k] * zel::kPackedEventBytes);
                if (!status) {
                    return std::fprintf(stderr, "%s: decode failed: %s at %llu\n", argv[a],
                                        status.error().message.c_str(),
                                        static_cast<unsigned long long>(status.error().offset.value_or(0))),
                           1;
                }
            }
            const auto t2 = Clock::now();
            best_encode = std::min(best_encode, std::chrono::duration<double>(t1 - t0).count());
            best_decode = std::min(best_decode, std::chrono::duration<double>(t2 - t1).count());
        }
        if (back != records) return std::fprintf(stderr, "%s: round trip differs\n", argv[a]), 1;
        // Blocks decode independently: thread k takes blocks k, k + T, ...
        double best_parallel = 1e30;
        for (int r = 0; r < repeats; ++r) {
            std::fill(back.begin(), back.end(), 0);
            const auto t0 = Clock::now();
            std::vector<std::thread> pool;
            for (unsigned k = 0; k < threads; ++k) {
                pool.emplace_back([&, k] {
                    for (std::size_t b = k; b < starts.size(); b += threads) {
                        const std::size_t m = std::min<std::size_t>(block, n - starts[b]);
                        (void)zel::lossless::decode_block({payloads[b].data(), payloads[b].size()}, m,
                                                          back.data() + starts[b] * zel::kPackedEventBytes);
                    }
                });
            }
            for (std::thread& t : pool) t.join();
            best_parallel = std::min(best_parallel, std::chrono::duration<double>(Clock::now() - t0).count());
        }
        if (back != records) return std::fprintf(stderr, "%s: parallel round trip differs\n", argv[a]), 1;
        std::size_t bytes = 0;
        for (const auto& p : payloads) bytes += p.size();
        std::printf("%-34s %9zu events %7.3f bits/event  encode %6.1f  decode %6.1f  decode x%u %6.1f M events/s\n",
                    argv[a], n, 8.0 * double(bytes) / double(n), double(n) / best_encode / 1e6,
                    double(n) / best_decode / 1e6, threads, double(n) / best_parallel / 1e6);
        if (parts) {
            double part_bits[zel::lossless::kEventParts] = {};
            for (std::size_t k = 0; k < starts.size(); ++k) {
                const std::size_t m = std::min<std::size_t>(block, n - starts[k]);
                const auto costs = zel::lossless::part_costs(
                    zel::PackedEvents(records.data() + starts[k] * zel::kPackedEventBytes, m));
                if (!costs) return std::fprintf(stderr, "part costs failed\n"), 1;
                for (unsigned p = 0; p < zel::lossless::kEventParts; ++p) {
                    part_bits[p] += costs.value().symbol_bits[p] + double(costs.value().raw_bits[p]);
                }
            }
            double rest = 8.0 * double(bytes);
            std::printf("parts %s", argv[a]);
            for (const double bits : part_bits) {
                std::printf(" %.3f", bits / double(n));
                rest -= bits;
            }
            std::printf(" %.3f\n", rest / double(n));
        }
    }
}
