// Size and speed of the context-coded payload against codec "zel" on the
// same frames. Built with -DZEL_BUILD_BENCH=ON as target bench_context:
//
//   build/bench/bench_context [--repeats N] [--bins 16,64,256] [FILE.rec WIDTH HEIGHT ...]
//
// Without files it runs the davis-like streams of davis_like.hpp. A .rec
// file holds packed 9-byte event records (numpy's `events.tofile`);
// bench/context_study/dump_streams.py writes the real recordings that way.
// Per stream and time_bins: zel's bytes (its rANS stream), the context
// payload's bytes and their ratio, then the best-of-N times of a frame's
// encode (octree + entropy coding) and of its decode to boxes, the two
// codecs interleaved so both see the same machine state.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/box_decoder.hpp"
#include "codec/context_codec.hpp"
#include "codec/rans.hpp"
#include "codec/sparse_octree.hpp"
#include "davis_like.hpp"

namespace {

struct Stream {
    std::string name;
    std::vector<std::uint8_t> records;
    std::uint16_t width, height;
    zel::PackedEvents events() const {
        return {records.data(), records.size() / zel::kPackedEventBytes};
    }
};

std::vector<std::uint8_t> pack(const zel::EventList& events) {
    std::vector<std::uint8_t> out(events.size() * zel::kPackedEventBytes);
    for (std::size_t i = 0; i < events.size(); ++i) {
        const zel::Event& e = events[i];
        std::uint8_t* r = out.data() + i * zel::kPackedEventBytes;
        r[0] = static_cast<std::uint8_t>(e.x);
        r[1] = static_cast<std::uint8_t>(e.x >> 8);
        r[2] = static_cast<std::uint8_t>(e.y);
        r[3] = static_cast<std::uint8_t>(e.y >> 8);
        for (unsigned b = 0; b < 4; ++b) r[4 + b] = static_cast<std::uint8_t>(e.t >> (8 * b));
        r[8] = e.p;
    }
    return out;
}

double seconds_of(const std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <class F>
double time_once(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return seconds_of(start);
}

void run(const Stream& s, std::uint16_t time_bins, int repeats) {
    const zel::GridParams params{s.width, s.height, time_bins, 16};
    const zel::PackedEvents events = s.events();

    zel::SparseOctreeCoder zel_coder(s.width, s.height, time_bins, 16);
    zel::OctreeBitstream bits;
    zel_coder.encode(events, bits);
    const zel::RansStream zel_stream = zel::rans_encode(bits.packed, bits.n_bits);

    zel::context::ContextEncoder encoder(params);
    std::vector<std::uint8_t> payload;
    const zel::context::FrameFigures figures = encoder.encode(events, payload);

    // Both decoders must give the same boxes.
    std::vector<std::uint8_t> decoded;
    zel::rans_decode_into(zel_stream, bits.n_bits, decoded);
    const zel::LeafDecode zel_boxes =
        zel::decode_leaf_boxes(decoded, bits.n_bits, zel_coder.dim_x(), zel_coder.dim_y(),
                               zel_coder.dim_t(), 16, events.size());
    auto context_boxes = zel::context::decode_boxes(payload, params, figures.n_bits, events.size());
    if (!context_boxes || context_boxes.value().origins != zel_boxes.boxes.origins ||
        figures.n_bits != bits.n_bits) {
        std::printf("MISMATCH on %s tb%u: %s\n", s.name.c_str(), time_bins,
                    context_boxes ? "different boxes" : context_boxes.error().message.c_str());
        std::exit(1);
    }

    double zel_encode = 1e9, zel_decode = 1e9, ctx_encode = 1e9, ctx_decode = 1e9;
    for (int r = 0; r < repeats; ++r) {
        zel_encode = std::min(zel_encode, time_once([&] {
                                  zel::SparseOctreeCoder coder(s.width, s.height, time_bins, 16);
                                  coder.encode(events, bits);
                                  const zel::RansStream stream =
                                      zel::rans_encode(bits.packed, bits.n_bits);
                                  if (stream.empty()) std::abort();
                              }));
        ctx_encode = std::min(ctx_encode, time_once([&] { encoder.encode(events, payload); }));
        zel_decode = std::min(zel_decode, time_once([&] {
                                  zel::rans_decode_into(zel_stream, bits.n_bits, decoded);
                                  const zel::LeafDecode d = zel::decode_leaf_boxes(
                                      decoded, bits.n_bits, zel_coder.dim_x(), zel_coder.dim_y(),
                                      zel_coder.dim_t(), 16, events.size());
                                  if (d.too_many) std::abort();
                              }));
        ctx_decode = std::min(ctx_decode, time_once([&] {
                                  auto d = zel::context::decode_boxes(payload, params,
                                                                      figures.n_bits, events.size());
                                  if (!d) std::abort();
                              }));
    }
    std::printf("| %s | %u | %zu | %llu | %zu | %zu | %.3f | %.2f / %.2f (%.2fx) | %.2f / %.2f (%.2fx) |\n",
                s.name.c_str(), time_bins, events.size(),
                static_cast<unsigned long long>(bits.n_bits), zel_stream.size(), payload.size(),
                static_cast<double>(payload.size()) / static_cast<double>(zel_stream.size()),
                zel_encode * 1e3, ctx_encode * 1e3, zel_encode / ctx_encode, zel_decode * 1e3,
                ctx_decode * 1e3, zel_decode / ctx_decode);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = 5;
    std::vector<std::uint16_t> bins = {16, 64, 256};
    std::vector<Stream> streams;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--repeats" && i + 1 < argc) {
            repeats = std::atoi(argv[++i]);
        } else if (arg == "--bins" && i + 1 < argc) {
            bins.clear();
            std::string list = argv[++i];
            for (std::size_t at = 0; at < list.size();) {
                const std::size_t comma = std::min(list.find(',', at), list.size());
                bins.push_back(static_cast<std::uint16_t>(std::stoi(list.substr(at, comma - at))));
                at = comma + 1;
            }
        } else if (i + 2 < argc) {
            std::ifstream in(arg, std::ios::binary);
            Stream s{arg.substr(arg.find_last_of('/') + 1),
                     std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}),
                     static_cast<std::uint16_t>(std::atoi(argv[i + 1])),
                     static_cast<std::uint16_t>(std::atoi(argv[i + 2]))};
            streams.push_back(std::move(s));
            i += 2;
        }
    }
    if (streams.empty()) {
        streams.push_back({"davis-like 1M 346x260", pack(zel::bench::davis_like(1'000'000)), 346, 260});
        streams.push_back({"davis-like 2M 1280x720",
                           pack(zel::bench::davis_like(2'000'000, 1280, 720)), 1280, 720});
    }
    std::printf("| stream | time_bins | events | tree bits | zel bytes | context bytes | ratio | "
                "encode ms zel / context | decode to boxes ms zel / context |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const Stream& s : streams)
        for (const std::uint16_t tb : bins) run(s, tb, repeats);
    return 0;
}
