#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "lossless/adaptive_rans.hpp"
#include "lossless/bit_stream.hpp"
#include "lossless/block_codec.hpp"
#include "lossless/event_model.hpp"
#include "reference_rans.hpp"

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

INSTANTIATE_TEST_SUITE_P(Sizes, AdaptiveCdfRule, ::testing::Range(2u, kMaxAlphabet + 1));

// The coder as stated (reference_rans.hpp): two lanes, 15-bit probabilities.
TEST(Rans, TheStreamIsTheStatedInterleavedCoder) {
    Rng rng(12);
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{777},
                                std::size_t{5000}}) {
        const std::vector<Step> steps = random_program(rng, n, n % 2 == 1);
        AdaptiveCdf tables[kTables];
        for (unsigned k = 0; k < kTables; ++k) tables[k].reset(kSizes[k]);
        std::vector<testing_support::CodedRange> ranges;
        for (const Step& st : steps) {
            ranges.push_back({tables[st.table].start(st.value), tables[st.table].frequency(st.value)});
            tables[st.table].update(st.value);
        }
        const std::vector<std::uint8_t> want = testing_support::reference_rans_stream(ranges, 2, 15);
        const ByteBuffer got = encode(steps);
        EXPECT_EQ(std::vector<std::uint8_t>(got.data(), got.data() + got.size()), want) << n << " symbols";
        EXPECT_TRUE(decodes_to(got, steps)) << n;
    }
}

// Symbols of frequency 1 make a state give a word at nearly every symbol:
// the most words a stream can hold, which the coder keeps in a buffer
// sized by the symbol count (storing each candidate word before it knows
// whether it keeps it).
TEST(Rans, RareSymbolsGiveAWordEachAndStayTheStatedCoder) {
    for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{1001}}) {
        std::vector<SymbolRange> log;
        std::vector<testing_support::CodedRange> ranges;
        for (std::size_t i = 0; i < n; ++i) {
            const auto start = static_cast<std::uint16_t>((i * 7919) % (kProbScale - 1));
            log.push_back({start, 1});
            ranges.push_back({start, 1});
        }
        ByteBuffer got;
        rans_encode_log(log, got);
        EXPECT_EQ(std::vector<std::uint8_t>(got.data(), got.data() + got.size()),
                  testing_support::reference_rans_stream(ranges, 2, kProbBits))
            << n << " symbols";
        // Each state's first symbol fits; of the later ones, all but those
        // after a state shifted down to 2 or 3 give a word.
        const std::size_t words = (got.size() - 8) / 2;
        EXPECT_LE(words, n > 2 ? n - 2 : 0) << n << " symbols";
        EXPECT_GE(words, n > 2 ? (n - 2) * 9 / 10 : 0) << n << " symbols";
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

// The event model as the format states it, written out on its own: for each
// event the kind (its table by the previous kind and polarity class), the
// time, line and position values (each with its value model) and the
// polarity (its table by the pixel's history, the previous polarity and the
// kind). The model's tables are its own; what is checked is that it codes the
// stated symbols and values, and picks the same table exactly when the stated
// context is the same.
class ReferenceEvents {
public:
    struct Expect {
        std::string table;    // a name for the stated context
        bool value_model;     // a ValueModel's value, else one symbol
        std::uint32_t value;  // the value or symbol
        unsigned size;        // the symbol's table size
    };

    ReferenceEvents(const BlockGeometry& g, std::uint32_t t_first, std::uint64_t n, HistoryLayout layout)
        : lines_hashed_(layout.lines_hashed), pt_(t_first) {
        columns_ = g.axis == LineAxis::Columns;
        a_max_ = columns_ ? g.x_max : g.y_max;
        b_max_ = columns_ ? g.y_max : g.x_max;
        const std::uint64_t pixels = (std::uint64_t{a_max_} + 1) * (std::uint64_t{b_max_} + 1);
        const unsigned log2 = std::clamp<unsigned>(static_cast<unsigned>(std::bit_width(8 * n)), 12, layout.max_bits);
        exact_ = pixels <= (std::uint64_t{1} << log2);
        shift_ = 64 - log2;
        slots_ = std::uint64_t{1} << log2;
        history_.assign(exact_ ? pixels : std::uint64_t{1} << log2, 0);
        last_b_.assign(std::size_t{a_max_} + 1, 0);
        last_i_.assign(std::size_t{a_max_} + 1, 0);
    }

    std::vector<Expect> code(const Event& e) {
        std::vector<Expect> out;
        const std::uint32_t a = columns_ ? e.x : e.y;
        const std::uint32_t b = columns_ ? e.y : e.x;
        const std::uint32_t dt = e.t - pt_;
        const unsigned tc = dt == 0 ? 0 : dt == 1 ? 1 : dt < (1u << 31) ? 2 : 3;
        const std::int64_t step = std::int64_t{a} - pa_;
        const unsigned rel = step == 0 ? 0 : (step > -16 && step < 16) ? 1 : 2;
        unsigned kind = 1 + 3 * tc + rel;
        if (tc == 0 && rel == 0) kind = b > pb_ ? 0 : 1;
        out.push_back({"kind " + std::to_string(3 * prev_kind_ + pp_), false, kind, 13});
        const unsigned prev_tc = prev_kind_ <= 3 ? 0 : (prev_kind_ - 1) / 3;
        if (tc == 2) out.push_back({prev_tc == 2 ? "T1" : "T0", true, dt - 2, 0});
        if (tc == 3) out.push_back({"B", true, pt_ - e.t - 1, 0});
        if (rel == 1) out.push_back({"L" + std::to_string(tc), true, zigzag(step) - 1, 0});
        if (rel == 2) out.push_back({"L" + std::to_string(3 + tc), true, a, 0});
        if (kind == 0) {
            out.push_back({"L" + std::to_string(6 + (prev_kind_ == 0)), true, b - pb_ - 1, 0});
        } else if (kind == 1) {
            out.push_back({"Q", true, pb_ - b, 0});
        } else {
            unsigned c = 7;
            if (last_i_[a] != 0) {
                const std::uint64_t d = i_ + 1 - last_i_[a];
                c = d < 2 ? 0 : d < 4 ? 1 : d < 16 ? 2 : d < 64 ? 3 : d < 256 ? 4 : d < 1024 ? 5 : 6;
            }
            const unsigned same_time = tc == 0 ? 1 : 0;
            if (c < 6) {
                out.push_back({"O" + std::to_string(2 * c + same_time), true,
                               zigzag(std::int64_t{b} - last_b_[a]), 0});
            } else {
                out.push_back({"N" + std::to_string(2 * (c - 6) + same_time), true, b, 0});
            }
        }
        const std::uint64_t pixel = std::uint64_t{a} * (std::uint64_t{b_max_} + 1) + b;
        // Beyond the exact layout: version 2 hashes the line and puts its
        // positions in a row from there (mod the slots), version 1 hashes
        // the pixel.
        const std::uint64_t slot = exact_          ? pixel
                                   : lines_hashed_ ? (((a * 0x9E3779B97F4A7C15ull) >> shift_) + b) % slots_
                                                   : (pixel * 0x9E3779B97F4A7C15ull) >> shift_;
        const std::uint32_t word = history_[slot];
        const unsigned h = word & 3;
        unsigned r = 3;
        if (word != 0) {
            const std::uint64_t age = i_ + 1 - (word >> 2);
            r = age < 64 ? 0 : age < 1024 ? 1 : age < 16384 ? 2 : 3;
        }
        const unsigned dir = kind >= 2 ? 0 : kind == 0 ? 1 : 2;
        const unsigned p_class = e.p < 2 ? e.p : 2;
        out.push_back({"polarity " + std::to_string(((4 * r + h) * 3 + pp_) * 3 + dir), false, p_class, 3});
        ++i_;
        history_[slot] = static_cast<std::uint32_t>(i_ * 4 + (e.p < 2 ? 1u + e.p : 3u));
        last_b_[a] = b;
        last_i_[a] = i_;
        pa_ = a;
        pb_ = b;
        pt_ = e.t;
        pp_ = p_class;
        prev_kind_ = kind;
        return out;
    }

private:
    static std::uint32_t zigzag(std::int64_t d) { return static_cast<std::uint32_t>(d < 0 ? -2 * d - 1 : 2 * d); }
    bool columns_ = false, exact_ = true, lines_hashed_;
    unsigned shift_ = 0;
    std::uint64_t slots_ = 0;
    std::uint32_t a_max_ = 0, b_max_ = 0;
    std::uint32_t pa_ = 0, pb_ = 0, pt_ = 0;
    unsigned pp_ = 0, prev_kind_ = 0;
    std::uint64_t i_ = 0;
    std::vector<std::uint32_t> history_;
    std::vector<std::uint32_t> last_b_;
    std::vector<std::uint64_t> last_i_;
};

// How many calls ValueModel makes for `v` (see ValueModelRule).
std::size_t value_calls(std::uint32_t v) {
    if (v < 8) return 1;
    const unsigned e = 31 - static_cast<unsigned>(__builtin_clz(v));
    return std::size_t{2} + (e > 9 ? 1u : 0u) + (e >= 25 ? 1u : 0u) + (e > 4 ? 1u : 0u);
}

// Events that take every kind, time class, age class and recency: rows
// scanned in bursts, revisits of old pixels and lines, steps back in time,
// polarities beyond 0 and 1.
std::vector<Event> every_kind_of_event(Rng& rng, std::size_t n, std::uint16_t width, std::uint16_t height) {
    std::vector<Event> events;
    std::uint32_t t = 1000;
    std::uint16_t x = 0, y = 0;
    while (events.size() < n) {
        switch (rng() % 10) {
            case 0: t -= rng() % 5000; break;                        // earlier
            case 1: t += 1; break;                                    // next
            case 2: t += 2 + (rng() % 3 == 0 ? rng() : rng() % 300); break;  // later
            default: break;                                           // same
        }
        switch (rng() % 6) {
            case 0: y = static_cast<std::uint16_t>(rng() % height); break;                      // far
            case 1: y = static_cast<std::uint16_t>(std::min<std::uint32_t>(height - 1u, y + rng() % 16)); break;
            case 2: y = static_cast<std::uint16_t>(y >= 15 ? y - rng() % 16 : y); break;          // near
            default: break;                                                                      // same
        }
        x = rng() % 3 == 0 ? static_cast<std::uint16_t>(rng() % width)
                           : static_cast<std::uint16_t>(std::min<std::uint32_t>(width - 1u, x + rng() % 3));
        const std::uint8_t p = rng() % 20 == 0 ? static_cast<std::uint8_t>(rng()) : static_cast<std::uint8_t>(rng() % 2);
        events.push_back(Event{x, y, t, p});
    }
    return events;
}

// Blocks of n events on a width x height sensor, lines as columns or rows,
// with the pixel history of block version 1 or 2.
class EventModelRule
    : public ::testing::TestWithParam<std::tuple<std::size_t, std::uint16_t, std::uint16_t, bool, std::uint8_t>> {};

// Codes `events` through the model and the stated rules side by side;
// returns the stated contexts met (by name) and how many distinct tables.
std::pair<std::set<std::string>, std::size_t> expect_coded_as_stated(const std::vector<Event>& events,
                                                                     bool columns,
                                                                     HistoryLayout layout = history_layout(kBlockVersion)) {
    BlockGeometry g{columns ? LineAxis::Columns : LineAxis::Rows, 0, 0};
    for (const Event& e : events) {
        g.x_max = std::max(g.x_max, e.x);
        g.y_max = std::max(g.y_max, e.y);
    }
    EventModel model(g, events[0].t, events.size(), layout);
    ReferenceEvents want(g, events[0].t, events.size(), layout);
    RecordingIo io;
    std::map<std::string, const AdaptiveCdf*> table_of;
    std::map<const AdaptiveCdf*, std::string> name_of;
    std::set<std::string> seen;
    for (std::size_t i = 0; i < events.size(); ++i) {
        io.calls.clear();
        Event e = events[i];
        EXPECT_TRUE(model.code(io, e)) << "event " << i;
        std::size_t at = 0;
        for (const ReferenceEvents::Expect& x : want.code(events[i])) {
            if (at >= io.calls.size() || io.calls[at].table == nullptr) {
                ADD_FAILURE() << "event " << i << ": no symbol where " << x.table << " belongs";
                return {seen, table_of.size()};
            }
            const RecordingIo::Call& c = io.calls[at];
            if (x.value_model) {
                EXPECT_EQ(c.value, x.value < 8 ? x.value : 0u + std::min(31u - static_cast<unsigned>(__builtin_clz(x.value)) + 5, 15u))
                    << "event " << i << " " << x.table << " token";
                at += value_calls(x.value);
            } else {
                EXPECT_EQ(c.value, x.value) << "event " << i << " " << x.table;
                EXPECT_EQ(c.n, x.size) << "event " << i << " " << x.table;
                at += 1 + (x.size == 3 && x.value == 2);  // an "other" polarity's 8 raw bits
            }
            // The same stated context, the same table; another, another.
            const auto named = table_of.emplace(x.table, c.table).first;
            const auto owner = name_of.emplace(c.table, x.table).first;
            if (named->second != c.table || owner->second != x.table) {
                ADD_FAILURE() << "event " << i << ": " << x.table << " is coded in " << owner->second << "'s table";
                return {seen, table_of.size()};
            }
            seen.insert(x.table.substr(0, x.table.find(' ')));
            seen.insert(x.table);
        }
        EXPECT_EQ(at, io.calls.size()) << "event " << i << " codes more than stated";
    }
    return {seen, table_of.size()};
}

TEST_P(EventModelRule, EveryEventIsCodedAsStated) {
    const auto [n, width, height, columns, version] = GetParam();
    Rng rng(static_cast<unsigned>(n + width));
    const HistoryLayout layout = version == 1 ? HistoryLayout{22, false} : HistoryLayout{16, true};
    const auto [seen, tables] =
        expect_coded_as_stated(every_kind_of_event(rng, n, width, height), columns, layout);
    // The events reached every value model and many contexts (O1 cannot
    // be: a line whose last event was the one before is the same line, and
    // at the same time that is kind 0 or 1).
    for (const char* name : {"T0", "T1", "B", "L0", "L1", "L2", "L3", "L4", "L5", "L6", "L7", "Q", "O0", "O2",
                             "O3", "N1", "N3", "kind", "polarity"}) {
        EXPECT_TRUE(seen.count(name)) << name << " never used";
    }
    EXPECT_GT(tables, 60u);
}

// A pixel and its line met again exactly at the edges of their recency and
// age classes. A class shows only in the table it picks, so a first pixel
// and line come back `train` events on, training the table of its class,
// then a second come back `probe` events on with everything else alike: it
// must pick that table exactly when the stated classes of the two agree.
class EventModelEdges : public ::testing::TestWithParam<std::pair<std::uint32_t, std::uint32_t>> {};

TEST_P(EventModelEdges, RecencyAndAgeClassesChangeWhereStated) {
    const auto [train, probe] = GetParam();
    constexpr std::uint32_t kSecondAt = 3;  // the second pixel's first event
    const std::uint32_t train_at = train, probe_at = probe + kSecondAt;
    ASSERT_GT(probe_at, train_at);
    std::vector<Event> events;
    for (std::uint32_t k = 0; k <= probe_at; ++k) {
        if (k == 0 || k == train_at) {
            events.push_back(Event{10, 20, 100, 1});
        } else if (k == kSecondAt || k == probe_at) {
            events.push_back(Event{30, 40, 100, 1});
        } else {
            // Fillers: pixels of their own on lines 100 .. 199, polarity 0;
            // all at one time, so both returns are far lines at the same time.
            events.push_back(Event{static_cast<std::uint16_t>(k % 250),
                                   static_cast<std::uint16_t>(100 + k / 250 % 100), 100, 0});
        }
    }
    expect_coded_as_stated(events, false);
}

INSTANTIATE_TEST_SUITE_P(Ages, EventModelEdges,
                         ::testing::Values(std::make_pair(14u, 15u), std::make_pair(17u, 16u),
                                           std::make_pair(62u, 63u), std::make_pair(65u, 64u),
                                           std::make_pair(254u, 255u), std::make_pair(257u, 256u),
                                           std::make_pair(1022u, 1023u), std::make_pair(1025u, 1024u),
                                           std::make_pair(16382u, 16383u), std::make_pair(16385u, 16384u)));

// 64 x 48 is exact in both versions; 640 x 480 for 30,000 events is
// hashed into 2^18 slots in version 1 and 2^16 in version 2; 2000 x 1500
// for 6,000 events has 2^16 slots in both, hashed by pixel or by line.
INSTANTIATE_TEST_SUITE_P(
    Blocks, EventModelRule,
    ::testing::Values(std::make_tuple(std::size_t{30000}, std::uint16_t{64}, std::uint16_t{48}, false, std::uint8_t{2}),
                      std::make_tuple(std::size_t{30000}, std::uint16_t{64}, std::uint16_t{48}, true, std::uint8_t{2}),
                      std::make_tuple(std::size_t{30000}, std::uint16_t{640}, std::uint16_t{480}, false, std::uint8_t{2}),
                      std::make_tuple(std::size_t{30000}, std::uint16_t{640}, std::uint16_t{480}, false, std::uint8_t{1}),
                      std::make_tuple(std::size_t{6000}, std::uint16_t{2000}, std::uint16_t{1500}, false, std::uint8_t{1}),
                      std::make_tuple(std::size_t{6000}, std::uint16_t{2000}, std::uint16_t{1500}, false, std::uint8_t{2})));

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

// A reader that runs out of words says so (overrun) and where it stopped,
// never past the bytes it was given, whether the stream was cut between
// words or inside one.
TEST(Rans, ReadingPastTheEndIsReported) {
    Rng rng(11);
    const std::vector<Step> steps = random_program(rng, 400, false);
    const ByteBuffer stream = encode(steps);
    ASSERT_GT(stream.size(), 12u);
    for (const std::size_t cut : {stream.size(), stream.size() - 1, stream.size() - 2, std::size_t{9}, std::size_t{8}}) {
        AdaptiveCdf tables[kTables];
        for (unsigned k = 0; k < kTables; ++k) tables[k].reset(kSizes[k]);
        RansReader reader({stream.data(), cut});
        for (const Step& s : steps) reader.decode(tables[s.table]);
        const bool whole = cut == stream.size();
        EXPECT_EQ(reader.overrun(), !whole) << "cut at " << cut;
        EXPECT_EQ(reader.finish(), whole) << "cut at " << cut;
        EXPECT_LE(reader.position(), cut);
        if (whole) {
            EXPECT_EQ(reader.position(), cut);
        }
    }
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
