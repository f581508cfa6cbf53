#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "lossless/adaptive_rans.hpp"
#include "lossless/bit_stream.hpp"
#include "lossless/event_model.hpp"

namespace zel::lossless {
namespace {

// 32-bit draws (std::mt19937's result type is wider on LP64).
struct Rng {
    explicit Rng(unsigned seed) : engine(seed) {}
    std::uint32_t operator()() { return static_cast<std::uint32_t>(engine()); }
    std::mt19937 engine;
};

// Every slot of the 15-bit range belongs to exactly one symbol, the one
// find() returns, and every symbol keeps a non-zero frequency.
void expect_partition(const AdaptiveCdf& cdf) {
    std::uint32_t total = 0;
    for (unsigned s = 0; s < cdf.size(); ++s) {
        ASSERT_GE(cdf.frequency(s), 1u) << "symbol " << s;
        ASSERT_EQ(cdf.start(s), total);
        total += cdf.frequency(s);
    }
    ASSERT_EQ(total, kProbScale);
    for (std::uint32_t slot = 0; slot < kProbScale; slot += 7) {
        const unsigned s = cdf.find(slot);
        ASSERT_LT(s, cdf.size());
        ASSERT_LE(cdf.start(s), slot);
        ASSERT_LT(slot, cdf.start(s) + cdf.frequency(s));
    }
}

class AdaptiveCdfSizes : public ::testing::TestWithParam<unsigned> {};

TEST_P(AdaptiveCdfSizes, StaysAPartitionUnderAnyUpdates) {
    const unsigned n = GetParam();
    AdaptiveCdf cdf(n);
    expect_partition(cdf);
    Rng rng(n);
    // One symbol for a long time squeezes the others to their minimum,
    // then every symbol in turn, then random ones.
    for (int i = 0; i < 3000; ++i) cdf.update(n - 1);
    expect_partition(cdf);
    EXPECT_GT(cdf.frequency(n - 1), kProbScale - 64 * n);
    for (unsigned s = 0; s < n; ++s) {
        for (int i = 0; i < 500; ++i) cdf.update(s);
        expect_partition(cdf);
    }
    for (int i = 0; i < 2000; ++i) cdf.update(rng() % n);
    expect_partition(cdf);
}

INSTANTIATE_TEST_SUITE_P(All, AdaptiveCdfSizes, ::testing::Values(2u, 3u, 6u, 8u, 9u, 15u, 16u));

TEST(AdaptiveCdf, LearnsTheFrequentSymbol) {
    AdaptiveCdf cdf(4);
    for (int i = 0; i < 400; ++i) cdf.update(i % 10 == 0 ? 1 : 2);
    EXPECT_GT(cdf.frequency(2), kProbScale * 3 / 4);
    EXPECT_GT(cdf.frequency(1), cdf.frequency(0));
    EXPECT_GT(cdf.frequency(1), cdf.frequency(3));
}

// A random program of adaptive symbols (several tables, several alphabet
// sizes), coded and read back.
struct Step {
    unsigned table;
    std::uint32_t value;
};

constexpr unsigned kTables = 5;
constexpr unsigned kSizes[kTables] = {2, 3, 7, 16, 12};

std::vector<Step> random_program(Rng& rng, std::size_t n, bool skewed) {
    std::vector<Step> steps(n);
    for (Step& s : steps) {
        s.table = rng() % kTables;
        s.value = skewed && rng() % 8 != 0 ? 0 : rng() % kSizes[s.table];
    }
    return steps;
}

ByteBuffer encode(const std::vector<Step>& steps) {
    AdaptiveCdf tables[kTables];
    for (unsigned k = 0; k < kTables; ++k) tables[k].reset(kSizes[k]);
    SymbolLog log;
    for (const Step& s : steps) {
        log.add(tables[s.table].start(s.value), tables[s.table].frequency(s.value));
        tables[s.table].update(s.value);
    }
    ByteBuffer out;
    rans_encode_log(log.ranges(), out);
    return out;
}

// Decodes `steps`' shape from `stream`; true when every value matched and
// the stream ended exactly, in the initial states.
bool decodes_to(const ByteBuffer& stream, const std::vector<Step>& steps) {
    AdaptiveCdf tables[kTables];
    for (unsigned k = 0; k < kTables; ++k) tables[k].reset(kSizes[k]);
    RansReader reader({stream.data(), stream.size()});
    bool same = true;
    for (const Step& s : steps) {
        same = same && reader.decode(tables[s.table]) == s.value;
    }
    return same && reader.finish();
}

// The adaptation as the lossless block's format states it, written out on
// its own: counts from 1, uniform first ranges, a rebuild after 1, 2, 4 ...
// 64 symbols (from the counts, each range at least 1, the rounding to the
// first most frequent symbol), counts halved once their total passes 2048.
struct ReferenceTable {
    explicit ReferenceTable(unsigned n_symbols) : n(n_symbols), count(n_symbols, 1), freq(n_symbols) {
        for (unsigned i = 0; i < n; ++i) {
            const std::uint64_t lo = std::uint64_t{32768} * i / n;
            const std::uint64_t hi = i + 1 < n ? std::uint64_t{32768} * (i + 1) / n : 32768;
            freq[i] = static_cast<std::uint32_t>(hi - lo);
        }
    }
    void update(unsigned s) {
        count[s] += 1;
        if (--countdown != 0) return;
        std::uint64_t total = 0;
        for (const std::uint64_t c : count) total += c;
        const std::uint64_t scale = (std::uint64_t{1} << 47) / total;
        std::uint32_t sum = 0;
        unsigned top = 0;
        for (unsigned i = 0; i < n; ++i) {
            freq[i] = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(count[i] * scale >> 32));
            sum += freq[i];
            if (count[i] > count[top]) top = i;
        }
        freq[top] += 32768 - sum;
        if (total > 2048) {
            for (std::uint64_t& c : count) c = (c + 1) / 2;
        }
        period = std::min(period * 2, 64u);
        countdown = period;
    }
    std::uint32_t start(unsigned s) const {
        std::uint32_t at = 0;
        for (unsigned i = 0; i < s; ++i) at += freq[i];
        return at;
    }
    unsigned n;
    std::vector<std::uint64_t> count;
    std::vector<std::uint32_t> freq;
    unsigned period = 1, countdown = 1;
};

class AdaptiveCdfRule : public ::testing::TestWithParam<unsigned> {};

TEST_P(AdaptiveCdfRule, EveryTableFollowsTheStatedAdaptationSymbolBySymbol) {
    const unsigned n = GetParam();
    AdaptiveCdf cdf(n);
    ReferenceTable want(n);
    Rng rng(40 + n);
    // Long enough for the period to reach 64 and the counts to be halved
    // many times; skewed, then drifting to another symbol, then uniform.
    for (int i = 0; i < 20000; ++i) {
        const unsigned s = i < 8000 ? (rng() % 4 != 0 ? 0 : rng() % n)
                                    : i < 14000 ? (rng() % 3 != 0 ? n - 1 : rng() % n) : rng() % n;
        for (unsigned k = 0; k < n; ++k) {
            ASSERT_EQ(cdf.start(k), want.start(k)) << "symbol " << k << " after " << i << " updates";
            ASSERT_EQ(cdf.frequency(k), want.freq[k]) << "symbol " << k << " after " << i << " updates";
        }
        cdf.update(s);
        want.update(s);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, AdaptiveCdfRule, ::testing::Values(2u, 3u, 8u, 13u, 16u));

// The coder as stated: symbol k on state k mod 2, both from 2^16, coded
// last to first, a state at or past f * 2^17 first giving up its low 16
// bits; then state 0, state 1 and the words in the reverse of their order
// of emission, all little-endian.
TEST(Rans, TheStreamIsTheStatedInterleavedCoder) {
    Rng rng(12);
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{777},
                                std::size_t{5000}}) {
        const std::vector<Step> steps = random_program(rng, n, n % 2 == 1);
        AdaptiveCdf tables[kTables];
        for (unsigned k = 0; k < kTables; ++k) tables[k].reset(kSizes[k]);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;  // start, frequency
        for (const Step& st : steps) {
            ranges.emplace_back(tables[st.table].start(st.value), tables[st.table].frequency(st.value));
            tables[st.table].update(st.value);
        }
        std::uint64_t x[2] = {1u << 16, 1u << 16};
        std::vector<std::uint16_t> emitted;
        for (std::size_t k = ranges.size(); k-- > 0;) {
            std::uint64_t& state = x[k % 2];
            const auto [start, f] = ranges[k];
            if (state >= std::uint64_t{f} << 17) {
                emitted.push_back(static_cast<std::uint16_t>(state & 0xFFFF));
                state >>= 16;
            }
            state = state / f * 32768 + state % f + start;
            ASSERT_LT(state, std::uint64_t{1} << 32);
        }
        std::vector<std::uint8_t> want;
        for (const std::uint64_t state : x) {
            for (unsigned b = 0; b < 4; ++b) want.push_back(static_cast<std::uint8_t>(state >> (8 * b)));
        }
        for (std::size_t w = emitted.size(); w-- > 0;) {
            want.push_back(static_cast<std::uint8_t>(emitted[w]));
            want.push_back(static_cast<std::uint8_t>(emitted[w] >> 8));
        }
        const ByteBuffer got = encode(steps);
        EXPECT_EQ(std::vector<std::uint8_t>(got.data(), got.data() + got.size()), want) << n << " symbols";
        EXPECT_TRUE(decodes_to(got, steps)) << n;
    }
}

// A value's symbols as the format states them: a token (v below 8, e + 5
// for e = floor(log2 v) up to 9, else 15 and a wide symbol, e - 10 up to
// 24, else 15 and e - 25 in 3 raw bits), then min(e, 4) bits below the
// leading one in mantissa table min(e - 3, 7), the rest raw.
struct RecordingIo {
    static constexpr bool kEncoding = true;
    struct Call {
        const AdaptiveCdf* table;  // null for raw bits
        std::uint32_t value;
        unsigned n;  // raw bits: how many; symbols: the table's size
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> calls;
    unsigned symbol(AdaptiveCdf& cdf, unsigned s) {
        calls.push_back({&cdf, s, cdf.size()});
        cdf.update(s);
        return s;
    }
    std::uint32_t bits(std::uint32_t value, unsigned n) {
        const std::uint32_t kept = n == 32 ? value : value & ((1u << n) - 1);
        calls.push_back({nullptr, kept, n});
        return kept;
    }
};

TEST(ValueModelRule, EveryValueIsCodedAsStated) {
    ValueModel model;
    RecordingIo io;
    // The tables, learnt from the first values that use them.
    const AdaptiveCdf* token = nullptr;
    const AdaptiveCdf* wide = nullptr;
    const AdaptiveCdf* mantissa[8] = {};
    std::vector<std::uint32_t> values = {0, 1, 7, 8, 9, 15, 16, 31, 32, 33, 511, 512, 1023, 1024, 1025,
                                         (1u << 24) - 1, 1u << 24, (1u << 25) - 1, 1u << 25, 0x9ABCDEF0u,
                                         1u << 31, 0xFFFFFFFFu};
    Rng rng(9);
    for (int i = 0; i < 300; ++i) values.push_back(rng() >> (rng() % 32));
    for (const std::uint32_t v : values) {
        io.calls.clear();
        ASSERT_EQ(model.code(io, v), v);
        std::size_t at = 0;
        auto next_symbol = [&](const AdaptiveCdf*& table, unsigned size, std::uint32_t want) {
            ASSERT_LT(at, io.calls.size()) << v;
            const RecordingIo::Call& c = io.calls[at++];
            ASSERT_NE(c.table, nullptr) << v;
            if (table == nullptr) table = c.table;
            EXPECT_EQ(c.table, table) << "value " << v;
            EXPECT_EQ(c.n, size) << "value " << v;
            EXPECT_EQ(c.value, want) << "value " << v;
        };
        auto next_bits = [&](std::uint32_t want, unsigned n) {
            ASSERT_LT(at, io.calls.size()) << v;
            EXPECT_EQ(io.calls[at++], (RecordingIo::Call{nullptr, want, n})) << "value " << v;
        };
        if (v < 8) {
            next_symbol(token, 16, v);
        } else {
            const unsigned e = 31 - static_cast<unsigned>(__builtin_clz(v));
            next_symbol(token, 16, e <= 9 ? e + 5 : 15);
            if (e > 9) next_symbol(wide, 16, e <= 24 ? e - 10 : 15);
            if (e >= 25) next_bits(e - 25, 3);
            const unsigned m = std::min(e, 4u);
            const unsigned table = std::min(e - 3, 7u);
            next_symbol(mantissa[table], table == 0 ? 8 : 16, (v >> (e - m)) & ((1u << m) - 1));
            if (e > m) next_bits(v & ((1u << (e - m)) - 1), e - m);
        }
        EXPECT_EQ(at, io.calls.size()) << "value " << v << " has calls beyond its code";
    }
    // Ten distinct tables: the token's, the wide one and eight mantissa tables.
    std::vector<const AdaptiveCdf*> all = {token, wide};
    all.insert(all.end(), std::begin(mantissa), std::end(mantissa));
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::unique(all.begin(), all.end()) - all.begin(), 10);
    EXPECT_EQ(std::count(all.begin(), all.end(), nullptr), 0);
}

class RansPrograms : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

TEST_P(RansPrograms, RoundTrip) {
    const auto [n, skewed] = GetParam();
    Rng rng(static_cast<unsigned>(n * 2 + skewed));
    const std::vector<Step> steps = random_program(rng, n, skewed);
    const ByteBuffer stream = encode(steps);
    EXPECT_TRUE(decodes_to(stream, steps));
    // Words are 16 bits: a stream is the 8 bytes of the states plus pairs.
    EXPECT_EQ(stream.size() % 2, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RansPrograms,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3, 100, 20000),
                                            ::testing::Bool()));

TEST(Rans, SkewedSymbolsCostLittle) {
    // 20,000 symbols that are almost always 0 take far less than a bit each.
    std::vector<Step> steps(20000, Step{0, 0});
    for (std::size_t i = 0; i < steps.size(); i += 100) steps[i].value = 1;
    const ByteBuffer stream = encode(steps);
    EXPECT_LT(stream.size() * 8, steps.size() / 5);
    EXPECT_TRUE(decodes_to(stream, steps));
}

TEST(Rans, TruncatedOrExtendedStreamsFail) {
    Rng rng(7);
    const std::vector<Step> steps = random_program(rng, 500, false);
    const ByteBuffer stream = encode(steps);
    ASSERT_GT(stream.size(), 8u);
    for (std::size_t cut = 8; cut < stream.size(); ++cut) {
        ByteBuffer shorter;
        shorter.reserve_more(cut);
        std::copy(stream.data(), stream.data() + cut, shorter.tail());
        shorter.commit(cut);
        EXPECT_FALSE(decodes_to(shorter, steps)) << "cut at " << cut;
    }
    ByteBuffer longer;
    longer.reserve_more(stream.size() + 2);
    std::copy(stream.data(), stream.data() + stream.size(), longer.tail());
    longer.tail()[stream.size()] = 0;
    longer.tail()[stream.size() + 1] = 0;
    longer.commit(stream.size() + 2);
    EXPECT_FALSE(decodes_to(longer, steps));
}

// Raw bit fields of every width read back in order; the reader reports
// reading past the end and any stream it was not read to exactly.
TEST(BitStream, RoundTripAndEnd) {
    Rng rng(9);
    std::vector<std::pair<std::uint32_t, unsigned>> fields;
    BitWriter writer;
    for (int i = 0; i < 3000; ++i) {
        const unsigned n = rng() % 33;
        const std::uint32_t v = n == 32 ? rng() : rng() & ((1u << n) - 1);
        fields.emplace_back(v, n);
        writer.put(v | (n < 32 ? rng() << n : 0), n);  // bits above n are ignored
    }
    const std::vector<std::uint8_t> bytes = writer.finish();
    BitReader reader(bytes);
    for (const auto& [v, n] : fields) ASSERT_EQ(reader.get(n), v);
    EXPECT_TRUE(reader.finish());

    BitReader early(bytes);
    for (std::size_t i = 0; i + 1 < fields.size(); ++i) early.get(fields[i].second);
    EXPECT_FALSE(early.finish() && fields.back().second > 0);

    const std::vector<std::uint8_t> shorter(bytes.begin(), bytes.end() - 1);
    BitReader past(shorter);
    for (const auto& f : fields) past.get(f.second);
    EXPECT_FALSE(past.finish());
}

TEST(BitStream, EmptyAndPadding) {
    BitWriter writer;
    EXPECT_TRUE(writer.finish().empty());
    BitReader empty(std::span<const std::uint8_t>{});
    EXPECT_TRUE(empty.finish());
    EXPECT_EQ(empty.get(0), 0u);
    EXPECT_EQ(empty.get(3), 0u);  // past the end: zeros, and no longer a clean end
    EXPECT_FALSE(empty.finish());
    const std::uint8_t padded_with_one[1] = {0x85};  // 3 bits 101, then a stray bit
    BitReader stray(padded_with_one);
    EXPECT_EQ(stray.get(3), 5u);
    EXPECT_FALSE(stray.finish());
}

}  // namespace
}  // namespace zel::lossless
