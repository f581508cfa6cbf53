// The event store reader over arbitrary files: never reads or writes out of
// bounds, sizes nothing by an unchecked length, and reads the same events
// (or fails the same way) on one thread and on three; what the block
// headers say without decoding agrees with what decoding gives, and fails
// only where decoding fails too; read in the blocks' own clocks, the same
// events lie their bases before their camera times.
#include <algorithm>
#include <vector>

#include "base/byte_buffer.hpp"
#include "container/byte_source.hpp"
#include "container/event_store.hpp"
#include "fuzz_support.hpp"

namespace {

struct Outcome {
    bool ok = false;
    std::vector<std::uint8_t> events;
};

Outcome read_all(const zel::container::EventStoreReader& reader, unsigned threads) {
    zel::ByteBuffer out;
    Outcome o;
    o.ok = reader.read(0, reader.blocks().size(), 0, threads, out).ok();
    if (o.ok) o.events.assign(out.data(), out.data() + out.size());
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto opened = zel::container::EventStoreReader::open(zel::container::memory_source({data, size}));
    if (!opened.ok()) return 0;
    const auto& reader = opened.value();
    std::uint64_t total = 0;
    for (const auto& b : reader.blocks()) {
        FUZZ_CHECK(b.n_events >= 1 && b.n_events <= reader.header().block_events);
        total += b.n_events;
    }
    const Outcome one = read_all(reader, 1);
    const Outcome three = read_all(reader, 3);
    FUZZ_CHECK(one.ok == three.ok);
    FUZZ_CHECK(one.events == three.events);
    if (one.ok) FUZZ_CHECK(one.events.size() == total * zel::kPackedEventBytes);
    zel::ByteBuffer own;
    const bool own_ok = reader.read_in_block_clocks(0, reader.blocks().size(), 2, own).ok();
    if (one.ok) {
        FUZZ_CHECK(own_ok && own.size() == one.events.size());
        std::size_t at = 0;
        for (const auto& b : reader.blocks()) {
            for (std::uint64_t i = 0; i < b.n_events; ++i, at += zel::kPackedEventBytes) {
                const zel::Event camera = zel::load_packed_event(one.events.data() + at);
                const zel::Event stored = zel::load_packed_event(own.data() + at);
                FUZZ_CHECK(camera.x == stored.x && camera.y == stored.y && camera.p == stored.p);
                FUZZ_CHECK(camera.t == b.t_base + stored.t);
            }
        }
    }
    const auto extent = reader.extent();
    if (!extent.ok()) {
        FUZZ_CHECK(!one.ok);
    } else if (one.ok) {
        std::uint16_t x_max = 0, y_max = 0;
        for (std::size_t at = 0; at < one.events.size(); at += zel::kPackedEventBytes) {
            const zel::Event e = zel::load_packed_event(one.events.data() + at);
            x_max = std::max(x_max, e.x);
            y_max = std::max(y_max, e.y);
        }
        FUZZ_CHECK(extent.value().x_max == x_max && extent.value().y_max == y_max);
        if (total) FUZZ_CHECK(extent.value().t_first == zel::load_packed_event(one.events.data()).t);
    }
    return 0;
}
