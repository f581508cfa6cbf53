// Throw-away study: the lossless event model of src/core/lossless/ with
// per-block static tables instead of adaptive ones, beside the codec itself.
//
//   g++ -O2 -std=c++20 -pthread -Isrc/core bench/lossless_study/static_study.cpp
//       src/core/lossless/*.cpp src/core/base/error.cpp src/core/base/crc32c.cpp -o /tmp/static_study
//   /tmp/static_study [--repeats N] [--block EVENTS] [--segment EVENTS [--repeat]] [--logged] [--only VARIANT,...] FILE.rec...
//
// Static coding of a block: pass 1 runs the model and counts the symbols of
// every table (context); each used table is quantised to frequencies summing
// to 2^kBits (every coded symbol at least 1) and serialised (a used bit per
// table, a presence mask, Exp-Golomb frequencies); pass 2 codes the same
// symbols with rANS over 2 or 4 interleaved states. The decoder rebuilds a
// slot -> symbol byte table per used table, so finding a symbol is one load.
//
// Variants: w<B>s<P> code values below 2^B as one token (probabilities in P
// bits, the polarity's 3-symbol tables by two comparisons); --segment sends
// the tables again every so many events with the model's state carried on,
// --repeat lets a later segment's table keep the one before, and --logged
// records each symbol's table in one model pass instead of running the model
// twice.
//
// Every decode is compared with the input records.
#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <emmintrin.h>

#include "base/event.hpp"
#include "lossless/bit_stream.hpp"
#include "lossless/block_codec.hpp"
#include "lossless/event_model.hpp"

namespace study {

using zel::Event;
using zel::lossless::BitReader;
using zel::lossless::BitWriter;

#define HOT [[gnu::always_inline]] inline

// ---------------------------------------------------------------- tables

// Table ids: kinds by previous kind and polarity, then 28 value models of
// ten tables each (token, wide, top 0..7), then the polarity tables.
constexpr unsigned kKinds = 13;
constexpr unsigned kKindBase = 0;
constexpr unsigned kValueBase = kKinds * 3;
constexpr unsigned kValueTables = 10;
constexpr unsigned kValueModels = 28;
constexpr unsigned kPolBase = kValueBase + kValueModels * kValueTables;

// Polarity contexts: 0 as in the codec (recency 4 x pixel state 4 x
// previous polarity 3 x run direction 3 = 144), 1 without the recency (36),
// 2 recency and pixel state only (16).
constexpr unsigned polarity_tables(int mode) { return mode == 0 ? 144 : mode == 1 ? 36 : 16; }
constexpr unsigned table_count(int mode) { return kPolBase + polarity_tables(mode); }
constexpr unsigned kMaxTables = kPolBase + 144;
// Largest alphabet of any variant: the wide token of 2^7 values and 25
// sizes.
constexpr unsigned kMaxAlpha = 160;

// Wide variants (wide_bits > 0) code a value below 2^wide_bits as one token
// and larger ones as a token for their size and a table for the top four
// bits below the leading one: tables 0 (token) and 2.. (top) of a value
// model; table 1 is unused (alphabet 0).
inline unsigned alphabet(unsigned t, unsigned wide_bits) {
    if (t < kValueBase) return kKinds;
    if (t < kPolBase) {
        const unsigned k = (t - kValueBase) % kValueTables;
        if (wide_bits != 0) return k == 0 ? (1u << wide_bits) + 32 - wide_bits : k == 1 ? 0 : 16;
        return k == 2 ? 8 : 16;  // top_[0] (size 3) has 8 symbols
    }
    return 3;
}

// Value model ids.
constexpr unsigned kTimeStep = 0;     // 2
constexpr unsigned kTimeBack = 2;     // 1
constexpr unsigned kStepModels = 3;   // 8
constexpr unsigned kRunRestart = 11;  // 1
constexpr unsigned kLineOffset = 12;  // 12
constexpr unsigned kLineStart = 24;   // 4

// ---------------------------------------------------------------- model
// A copy of src/core/lossless/event_model*.hpp over table ids.

inline std::uint32_t zigzag(std::int64_t d) { return static_cast<std::uint32_t>(d < 0 ? -2 * d - 1 : 2 * d); }
inline std::int64_t unzigzag(std::uint32_t u) {
    return (u & 1) ? -static_cast<std::int64_t>((u >> 1) + 1) : static_cast<std::int64_t>(u >> 1);
}
inline unsigned age_class(std::uint32_t age) {
    return age < 2 ? 0 : age < 4 ? 1 : age < 16 ? 2 : age < 64 ? 3 : age < 256 ? 4 : age < 1024 ? 5 : 6;
}
// The codec's branch-free forms, for the BranchFree variants.
inline std::int64_t unzigzag_bf(std::uint32_t u) { return zel::lossless::detail::unzigzag(u); }
inline unsigned age_class_bf(std::uint32_t age) { return zel::lossless::detail::age_class(age); }
constexpr std::uint8_t kKindTime[kKinds] = {0, 0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3};
constexpr std::uint8_t kKindLine[kKinds] = {0, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2};

template <class Io>
HOT std::uint32_t code_value(Io& io, unsigned model, std::uint32_t value) {
    const unsigned base = kValueBase + model * kValueTables;
    unsigned token = 0, exponent = 0;
    if constexpr (Io::kEncoding) {
        exponent = value < 8 ? 0 : 31 - static_cast<unsigned>(__builtin_clz(value));
        token = value < 8 ? value : exponent < 10 ? exponent + 5 : 15;
    }
    token = io.symbol(base, token);
    if (token < 8) return token;
    if (token < 15) {
        exponent = token - 5;
    } else {
        const unsigned wide = io.symbol(base + 1, exponent < 25 ? exponent - 10 : 15);
        exponent = wide < 15 ? wide + 10 : 25 + io.bits(exponent - 25, 3);
        if (exponent > 31) exponent = 31;
    }
    const unsigned modelled = exponent < 4 ? exponent : 4;
    unsigned left = exponent - modelled;
    std::uint32_t mantissa =
        io.symbol(base + 2 + (exponent < 11 ? exponent - 3 : 7), (value >> left) & ((1u << modelled) - 1));
    if (left > 0) mantissa = (mantissa << left) | io.bits(value, left);
    return (std::uint32_t{1} << exponent) | mantissa;
}

// Values below 2^WB as one token of their own; above, a token per size
// (WB..31) and the four bits below the leading one through a table per
// size, the rest raw.
template <unsigned WB, class Io>
HOT std::uint32_t code_value_wide(Io& io, unsigned model, std::uint32_t value) {
    constexpr unsigned W = 1u << WB;
    const unsigned base = kValueBase + model * kValueTables;
    unsigned token = 0;
    if constexpr (Io::kEncoding) {
        token = value < W ? value : W + (31 - static_cast<unsigned>(__builtin_clz(value))) - WB;
    }
    token = io.symbol(base, token);
    if (token < W) return token;
    const unsigned exponent = token - W + WB;  // the alphabet ends at 31
    const unsigned left = exponent - 4;
    const unsigned top = exponent - WB < 7 ? exponent - WB : 7;
    std::uint32_t mantissa = io.symbol(base + 2 + top, (value >> left) & 15u);
    if (left > 0) mantissa = (mantissa << left) | io.bits(value, left);
    return (std::uint32_t{1} << exponent) | mantissa;
}

// A 3-symbol table's symbol through the Io's own path for them, if any.
template <class Io>
HOT unsigned symbol3(Io& io, unsigned t, unsigned s) {
    if constexpr (requires { io.symbol3(t, s); }) return io.symbol3(t, s);
    else return io.symbol(t, s);
}

struct Geometry {
    bool columns = false;
    std::uint16_t x_max = 0, y_max = 0;
};

Geometry measure_geometry(const std::uint8_t* r, std::size_t n) {
    Geometry g;
    std::uint64_t row_steps = 0, column_steps = 0;
    Event prev = n ? zel::load_packed_event(r) : Event{};
    for (std::size_t i = 0; i < n; ++i) {
        const Event e = zel::load_packed_event(r + 9 * i);
        g.x_max = std::max(g.x_max, e.x);
        g.y_max = std::max(g.y_max, e.y);
        row_steps += std::bit_width(static_cast<unsigned>(e.y > prev.y ? e.y - prev.y : prev.y - e.y));
        column_steps += std::bit_width(static_cast<unsigned>(e.x > prev.x ? e.x - prev.x : prev.x - e.x));
        prev = e;
    }
    g.columns = column_steps < row_steps;
    return g;
}

template <int PolMode, bool BranchFree = false, unsigned WideBits = 0>
class Model {
public:
    Model(const Geometry& g, std::uint32_t t_first, std::uint64_t events) : pt_(t_first) {
        columns_ = g.columns;
        a_max_ = columns_ ? g.x_max : g.y_max;
        b_max_ = columns_ ? g.y_max : g.x_max;
        lines_b_ = std::uint64_t{b_max_} + 1;
        const std::uint64_t pixels = (std::uint64_t{a_max_} + 1) * lines_b_;
        // The pixel history as block version 2 keeps it: at most 2^16 slots,
        // beyond exact slots each line from a hashed start.
        const unsigned hash_bits = std::clamp<unsigned>(static_cast<unsigned>(std::bit_width(events * 8)), 12, 16);
        const std::uint64_t slots = std::uint64_t{1} << hash_bits;
        hash_shift_ = pixels <= slots ? 0 : 64 - hash_bits;
        slot_mask_ = slots - 1;
        pixel_history_.assign(hash_shift_ == 0 ? pixels : slots, 0);
        line_last_b_.assign(a_max_ + 1, 0);
        line_last_index_.assign(a_max_ + 1, 0);
    }

    template <class Io>
    HOT bool code(Io& io, Event& e) {
        std::uint32_t ea = 0, eb = 0, dt = 0;
        unsigned kind = 0;
        if constexpr (Io::kEncoding) {
            ea = columns_ ? e.x : e.y;
            eb = columns_ ? e.y : e.x;
            dt = e.t - pt_;
            const unsigned time_class = dt == 0 ? 0 : dt == 1 ? 1 : static_cast<std::int32_t>(dt) > 0 ? 2 : 3;
            const std::int64_t step = std::int64_t{ea} - pa_;
            const unsigned line = step == 0 ? 0 : (step < 16 && step > -16) ? 1 : 2;
            kind = time_class == 0 && line == 0 ? (eb > pb_ ? 0 : 1) : 1 + 3 * time_class + line;
        }
        kind = io.symbol(kKindBase + prev_kind_ * 3 + pp_, kind);
        const unsigned time_class = kKindTime[kind];
        const unsigned line_relation = kKindLine[kind];

        std::uint32_t t = pt_ + time_class;
        if (time_class == 2) {
            const unsigned later = kKindTime[prev_kind_] == 2;
            t = pt_ + 2 + value(io, kTimeStep + later, dt - 2);
        } else if (time_class == 3) {
            t = pt_ - 1 - value(io, kTimeBack, 0u - dt - 1);
        }

        std::uint32_t a = pa_;
        if (line_relation == 1) {
            std::uint32_t u = 0;
            if constexpr (Io::kEncoding) u = zigzag(std::int64_t{ea} - pa_) - 1;
            u = value(io, kStepModels + time_class, u);
            const std::int64_t line = std::int64_t{pa_} + (BranchFree ? unzigzag_bf(u + 1) : unzigzag(u + 1));
            if (u >= 30 || line < 0 || line > a_max_) return false;
            a = static_cast<std::uint32_t>(line);
        } else if (line_relation == 2) {
            a = value(io, kStepModels + 3 + time_class, ea);
            if (a > a_max_) return false;
        }

        std::int64_t b = 0;
        unsigned direction = 0;
        if (kind == 0) {
            b = std::int64_t{pb_} + 1 + value(io, kStepModels + 6 + (prev_kind_ == 0), eb - pb_ - 1);
            direction = 1;
        } else if (kind == 1) {
            b = std::int64_t{pb_} - value(io, kRunRestart, pb_ - eb);
            direction = 2;
        } else {
            const std::uint32_t last = line_last_index_[a];
            const unsigned age = last == 0 ? 7 : BranchFree ? age_class_bf(index_ + 1 - last) : age_class(index_ + 1 - last);
            if (age < 6) {
                std::uint32_t u = 0;
                const std::uint32_t ref = line_last_b_[a];
                if constexpr (Io::kEncoding) u = zigzag(std::int64_t{eb} - ref);
                u = value(io, kLineOffset + age * 2 + (time_class == 0), u);
                b = std::int64_t{ref} + (BranchFree ? unzigzag_bf(u) : unzigzag(u));
            } else {
                b = value(io, kLineStart + (age - 6) * 2 + (time_class == 0), eb);
            }
        }
        if (b < 0 || b > b_max_) return false;
        const auto line_pos = static_cast<std::uint32_t>(b);

        const std::size_t slot = pixel_slot(a, line_pos);
        const std::uint32_t history = pixel_history_[slot];
        const std::uint32_t since = index_ + 1 - (history >> 2);
        unsigned recency;
        if constexpr (BranchFree) {
            recency = (unsigned{since >= 64} + unsigned{since >= 1024} + unsigned{since >= 16384}) | (3u * (history == 0));
        } else {
            recency = history == 0 ? 3 : since < 64 ? 0 : since < 1024 ? 1 : since < 16384 ? 2 : 3;
        }
        unsigned context;
        if constexpr (PolMode == 0) context = ((recency * 4 + (history & 3)) * 3 + pp_) * 3 + direction;
        else if constexpr (PolMode == 1) context = ((history & 3) * 3 + pp_) * 3 + direction;
        else context = recency * 4 + (history & 3);
        unsigned p_symbol = 0;
        if constexpr (Io::kEncoding) p_symbol = e.p < 2 ? e.p : 2;
        p_symbol = symbol3(io, kPolBase + context, p_symbol);
        unsigned p = p_symbol;
        if (p_symbol == 2) {
            p = io.bits(e.p, 8);
            if (p < 2) return false;
        }
        if constexpr (!Io::kEncoding) {
            e.t = t;
            e.x = static_cast<std::uint16_t>(columns_ ? a : line_pos);
            e.y = static_cast<std::uint16_t>(columns_ ? line_pos : a);
            e.p = static_cast<std::uint8_t>(p);
        }
        ++index_;
        pixel_history_[slot] = index_ << 2 | (p < 2 ? p + 1 : 3);
        line_last_b_[a] = static_cast<std::uint16_t>(line_pos);
        line_last_index_[a] = index_;
        pa_ = a;
        pb_ = line_pos;
        pt_ = t;
        pp_ = p < 2 ? p : 2;
        prev_kind_ = kind;
        return true;
    }

private:
    template <class Io>
    HOT std::uint32_t value(Io& io, unsigned model, std::uint32_t v) {
        if constexpr (WideBits != 0) return code_value_wide<WideBits>(io, model, v);
        else return code_value(io, model, v);
    }
    std::size_t pixel_slot(std::uint32_t a, std::uint32_t b) const {
        const std::uint64_t index = std::uint64_t{a} * lines_b_ + b;
        if (hash_shift_ == 0) return static_cast<std::size_t>(index);
        return static_cast<std::size_t>((((a * 0x9E3779B97F4A7C15u) >> hash_shift_) + b) & slot_mask_);
    }
    std::uint32_t a_max_, b_max_;
    std::uint64_t lines_b_;
    unsigned hash_shift_;
    std::uint64_t slot_mask_;
    bool columns_;
    std::uint32_t pa_ = 0, pb_ = 0, pt_;
    unsigned pp_ = 0, prev_kind_ = 0;
    std::uint32_t index_ = 0;
    std::vector<std::uint16_t> line_last_b_;
    std::vector<std::uint32_t> line_last_index_;
    std::vector<std::uint32_t> pixel_history_;
};

// ---------------------------------------------------------------- Ios

std::size_t g_segment = 0;  // --segment: events per set of tables, 0 for one per block
bool g_repeat = false;      // --repeat: a segment's table may keep the segment before's
bool g_logged = false;      // --logged: the encoder runs the model once and records the symbols

struct Counts {
    std::vector<std::array<std::uint32_t, kMaxAlpha>> c = std::vector<std::array<std::uint32_t, kMaxAlpha>>(kMaxTables);
};

class CountIo {
public:
    static constexpr bool kEncoding = true;
    explicit CountIo(Counts& c) : c_(&c) {}
    void use(Counts& c) { c_ = &c; }
    HOT unsigned symbol(unsigned t, unsigned s) {
        ++c_->c[t][s];
        return s;
    }
    HOT std::uint32_t bits(std::uint32_t v, unsigned) { return v; }

private:
    Counts* c_;
};

struct Range {
    std::uint16_t start, freq;
};

struct EncTables {
    std::vector<std::array<std::uint16_t, kMaxAlpha>> freq, start;
};

class StaticEncodeIo {
public:
    static constexpr bool kEncoding = true;
    StaticEncodeIo(const EncTables& t, std::vector<Range>& log, BitWriter& bits) : t_(&t), log_(log), bits_(bits) {}
    void use(const EncTables& t) { t_ = &t; }
    HOT unsigned symbol(unsigned t, unsigned s) {
        log_.push_back({t_->start[t][s], t_->freq[t][s]});
        return s;
    }
    HOT std::uint32_t bits(std::uint32_t v, unsigned n) {
        bits_.put(v, n);
        return v;
    }

private:
    const EncTables* t_;
    std::vector<Range>& log_;
    BitWriter& bits_;
};

constexpr std::uint32_t kStateLow = 1u << 16;

template <unsigned Bits>
struct DecTable {
    std::uint32_t sf[kMaxAlpha];  // start | freq << 16
    std::uint32_t cut1, cut2;  // a 3-symbol table's starts of symbols 1 and 2
    std::int16_t end[17];  // end of each symbol's range minus one, for the search variant
    std::uint8_t lut[1u << Bits];
};

template <unsigned Bits, unsigned N, bool Search = false, bool BranchFree = false, bool Cut3 = false>
class StaticDecodeIo {
public:
    static constexpr bool kEncoding = false;
    StaticDecodeIo(const DecTable<Bits>* tables, const std::uint8_t* stream, std::size_t size, BitReader& bits)
        : tables_(tables), next_(stream + 4 * N), end_(stream + size), data_(stream), size_(size), bits_(bits) {
        for (unsigned i = 0; i < N; ++i) {
            std::memcpy(&x_[i], stream + 4 * i, 4);
        }
    }
    // 3-symbol tables by two comparisons rather than a table load.
    HOT unsigned symbol3(unsigned t, unsigned s) {
        if constexpr (!Cut3) {
            return symbol(t, s);
        } else {
            const DecTable<Bits>& tb = tables_[t];
            const std::uint32_t slot = x_[0] & ((1u << Bits) - 1);
            return step(tb, unsigned{slot >= tb.cut1} + unsigned{slot >= tb.cut2});
        }
    }
    HOT unsigned symbol(unsigned t, unsigned) {
        const DecTable<Bits>& tb = tables_[t];
        const std::uint32_t slot = x_[0] & ((1u << Bits) - 1);
        unsigned s;
        if constexpr (Search) {
            const __m128i key = _mm_set1_epi16(static_cast<short>(slot));
            const __m128i lo = _mm_cmplt_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tb.end + 1)), key);
            const __m128i hi = _mm_cmplt_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tb.end + 9)), key);
            const __m128i ones = _mm_and_si128(_mm_packs_epi16(lo, hi), _mm_set1_epi8(1));
            const __m128i sums = _mm_sad_epu8(ones, _mm_setzero_si128());
            s = static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
        } else {
            s = tb.lut[slot];
        }
        return step(tb, s);
    }
    HOT unsigned step(const DecTable<Bits>& tb, unsigned s) {
        std::uint32_t x = x_[0];
        const std::uint32_t slot = x & ((1u << Bits) - 1);
        const std::uint32_t sf = tb.sf[s];
        x = (sf >> 16) * (x >> Bits) + slot - (sf & 0xffff);
        if constexpr (BranchFree) {
            // As the codec's RansReader::advance: masks, and zeros past the end.
            static constexpr std::uint8_t kNoWord[2] = {0, 0};
            // The read count runs on past the end, which is how finish() and
            // overrun() know.
            const std::uint8_t* word = read_ + 2 <= size_ ? data_ + read_ : kNoWord;
            const std::uint32_t take = 0u - std::uint32_t{x < kStateLow};
            x = (x << (16 & take)) | ((std::uint32_t{word[0]} | std::uint32_t{word[1]} << 8) & take);
            read_ += 2 & take;
        } else if (x < kStateLow) {
            if (end_ - next_ >= 2) {
                x = (x << 16) | std::uint32_t{next_[0]} | std::uint32_t{next_[1]} << 8;
                next_ += 2;
            } else {
                x <<= 16;
                overrun_ = true;
            }
        }
        for (unsigned i = 0; i + 1 < N; ++i) x_[i] = x_[i + 1];
        x_[N - 1] = x;
        return s;
    }
    HOT std::uint32_t bits(std::uint32_t, unsigned n) { return bits_.get(n); }
    bool overrun() const { return BranchFree ? read_ > size_ : overrun_; }
    bool finish() const {
        if (BranchFree ? read_ != size_ : overrun_ || next_ != end_) return false;
        for (unsigned i = 0; i < N; ++i)
            if (x_[i] != kStateLow) return false;
        return true;
    }

private:
    const DecTable<Bits>* tables_;
    std::uint32_t x_[N];
    const std::uint8_t* next_;
    const std::uint8_t* end_;
    const std::uint8_t* data_;  // the branch-free form's
    std::size_t size_;
    std::size_t read_ = 4 * N;
    BitReader& bits_;
    bool overrun_ = false;
};

// ---------------------------------------------------------------- tables' frequencies

template <unsigned Bits>
void quantise(const std::uint32_t* count, unsigned n, std::uint16_t* freq) {
    constexpr std::uint32_t scale = 1u << Bits;
    std::uint64_t total = 0;
    for (unsigned i = 0; i < n; ++i) total += count[i];
    std::int64_t sum = 0;
    for (unsigned i = 0; i < kMaxAlpha; ++i) {
        if (i >= n || count[i] == 0) {
            freq[i] = 0;
            continue;
        }
        const std::uint64_t f = (std::uint64_t{count[i]} * scale + total / 2) / total;
        freq[i] = static_cast<std::uint16_t>(f < 1 ? 1 : f);
        sum += freq[i];
    }
    // Fix the sum one step at a time, where the step costs least.
    while (sum != scale) {
        int best = -1;
        double best_cost = 1e300;
        for (unsigned i = 0; i < n; ++i) {
            if (count[i] == 0) continue;
            const double f = freq[i];
            double cost;
            if (sum > scale) {
                if (freq[i] <= 1) continue;
                cost = count[i] * std::log2(f / (f - 1));
            } else {
                cost = -count[i] * std::log2((f + 1) / f);
            }
            if (cost < best_cost) best_cost = cost, best = static_cast<int>(i);
        }
        if (sum > scale) --freq[best], --sum;
        else ++freq[best], ++sum;
    }
}

// Serialises the used tables: a bit per table, then per used table a
// presence mask over its alphabet, a 4-bit Exp-Golomb order, and the
// frequencies of its present symbols but the last (which takes the rest).
void put_eg(BitWriter& w, std::uint32_t v, unsigned k) {
    const std::uint32_t x = v + (1u << k);
    const unsigned nb = static_cast<unsigned>(std::bit_width(x));
    w.put(0, nb - 1 - k);
    w.put(1, 1);
    w.put(x, nb - 1);
}
unsigned eg_bits(std::uint32_t v, unsigned k) {
    const std::uint32_t x = v + (1u << k);
    const unsigned nb = static_cast<unsigned>(std::bit_width(x));
    return 2 * nb - 1 - k;
}
std::uint32_t get_eg(BitReader& r, unsigned k) {
    unsigned zeros = 0;
    while (r.get(1) == 0) {
        if (++zeros > 20) return 1u << 30;  // damaged
    }
    const unsigned nb = zeros + k + 1;
    const std::uint32_t low = r.get(nb - 1);
    return ((1u << (nb - 1)) | low) - (1u << k);
}

struct TableStats {
    std::size_t used = 0;
    std::size_t bytes = 0;
};

// With `prev` (the tables of the segment before, when g_repeat), a table
// sent before takes a bit: whether it keeps its frequencies, which it does
// when that costs fewer bits than sending new ones.
template <unsigned Bits>
TableStats write_tables(const Counts& counts, unsigned n_tables, unsigned wide_bits, EncTables& enc, BitWriter& w,
                        const EncTables* prev = nullptr) {
    TableStats st;
    enc.freq.assign(n_tables, {});
    enc.start.assign(n_tables, {});
    for (unsigned t = 0; t < n_tables; ++t) {
        const unsigned n = alphabet(t, wide_bits);
        if (n == 0) continue;
        std::uint64_t total = 0;
        for (unsigned s = 0; s < n; ++s) total += counts.c[t][s];
        w.put(total > 0, 1);
        // A table that was sent has frequencies summing to the scale.
        const bool sent_before = prev != nullptr && prev->start[t][n - 1] + prev->freq[t][n - 1] != 0;
        if (total == 0) {
            if (prev) enc.freq[t] = prev->freq[t], enc.start[t] = prev->start[t];
            continue;
        }
        ++st.used;
        quantise<Bits>(counts.c[t].data(), n, enc.freq[t].data());
        if (sent_before) {
            double keep = 0, fresh = 0;
            for (unsigned s = 0; s < n; ++s) {
                if (counts.c[t][s] == 0) continue;
                if (prev->freq[t][s] == 0) keep = 1e300;
                else keep += counts.c[t][s] * (Bits - std::log2(prev->freq[t][s]));
                fresh += counts.c[t][s] * (Bits - std::log2(enc.freq[t][s]));
            }
            fresh += n + 4;  // presence bits and order; the frequencies below
            for (unsigned s = 0; s + 1 < n; ++s)
                if (enc.freq[t][s]) fresh += 8;  // about what a frequency takes
            const bool repeat = keep <= fresh;
            w.put(repeat, 1);
            if (repeat) {
                enc.freq[t] = prev->freq[t];
                enc.start[t] = prev->start[t];
                continue;
            }
        }
        unsigned last = 0;
        for (unsigned s = 0; s < n; ++s) {
            w.put(enc.freq[t][s] != 0, 1);
            if (enc.freq[t][s]) last = s;
        }
        unsigned best_k = 0, best_bits = ~0u;
        for (unsigned k = 0; k < 13; ++k) {
            unsigned b = 0;
            for (unsigned s = 0; s < last; ++s)
                if (enc.freq[t][s]) b += eg_bits(enc.freq[t][s] - 1u, k);
            if (b < best_bits) best_bits = b, best_k = k;
        }
        w.put(best_k, 4);
        for (unsigned s = 0; s < last; ++s)
            if (enc.freq[t][s]) put_eg(w, enc.freq[t][s] - 1u, best_k);
        std::uint16_t start = 0;
        for (unsigned s = 0; s < n; ++s) {
            enc.start[t][s] = start;
            start = static_cast<std::uint16_t>(start + enc.freq[t][s]);
        }
    }
    return st;
}

template <unsigned Bits, bool Search>
bool read_tables(BitReader& r, unsigned n_tables, unsigned wide_bits, DecTable<Bits>* tables,
                 std::vector<bool>* sent = nullptr) {
    constexpr std::uint32_t scale = 1u << Bits;
    for (unsigned t = 0; t < n_tables; ++t) {
        const unsigned n = alphabet(t, wide_bits);
        if (n == 0 || r.get(1) == 0) continue;
        if (sent) {
            if ((*sent)[t] && r.get(1) == 1) continue;  // kept from the segment before
            (*sent)[t] = true;
        }
        bool present[kMaxAlpha];
        int last = -1;
        for (unsigned s = 0; s < n; ++s) {
            present[s] = r.get(1) != 0;
            if (present[s]) last = static_cast<int>(s);
        }
        if (last < 0) return false;
        const unsigned k = r.get(4);
        std::uint32_t start = 0;
        DecTable<Bits>& tb = tables[t];
        for (unsigned s = 0; s < n; ++s) {
            std::uint32_t f = 0;
            if (present[s]) {
                if (static_cast<int>(s) == last) {
                    if (start >= scale) return false;
                    f = scale - start;
                } else {
                    f = get_eg(r, k) + 1;
                    if (f >= scale || start + f >= scale) return false;
                }
            }
            tb.sf[s] = start | f << 16;
            if (!Search && f) std::memset(tb.lut + start, static_cast<int>(s), f);
            start += f;
            if (s < 16) tb.end[s + 1] = static_cast<std::int16_t>(start - 1);
            if (s == 0) tb.cut1 = start;
            if (s == 1) tb.cut2 = start;
        }
        for (unsigned s = n; s < 16; ++s) tb.end[s + 1] = static_cast<std::int16_t>(scale - 1);
        tb.end[0] = -1;
    }
    return true;
}

// ---------------------------------------------------------------- static block codec

struct StaticBlock {
    std::vector<std::uint8_t> tables, rans, raw;
    Geometry g;
    std::uint32_t t_first = 0;
    TableStats stats;
    std::size_t bytes() const { return 18 + 8 + tables.size() + rans.size() + raw.size(); }  // header + 2 lengths
};

// Counts and records every symbol's table and value in one model pass
// (with the raw bits), so that the coding pass needs no second run of the
// model.
class LogIo {
public:
    static constexpr bool kEncoding = true;
    LogIo(Counts& c, std::vector<std::uint32_t>& log, BitWriter& bits) : c_(&c), log_(log), bits_(bits) {}
    void use(Counts& c) { c_ = &c; }
    HOT unsigned symbol(unsigned t, unsigned s) {
        ++c_->c[t][s];
        log_.push_back(t << 8 | s);
        return s;
    }
    HOT std::uint32_t bits(std::uint32_t v, unsigned n) {
        bits_.put(v, n);
        return v;
    }

private:
    Counts* c_;
    std::vector<std::uint32_t>& log_;
    BitWriter& bits_;
};

template <unsigned Bits, unsigned N, int PolMode, unsigned WideBits>
void static_encode_logged(const std::uint8_t* r, std::size_t n, StaticBlock& out, std::size_t segment,
                          std::vector<Counts>& counts) {
    const std::size_t segments = counts.size();
    std::vector<std::uint32_t> log;
    log.reserve(n * 5);
    std::vector<std::size_t> first_symbol(segments + 1, 0);
    BitWriter raw;
    {
        Model<PolMode, false, WideBits> m(out.g, out.t_first, n);
        LogIo io(counts[0], log, raw);
        for (std::size_t i = 0; i < n; ++i) {
            if (i % segment == 0) {
                io.use(counts[i / segment]);
                first_symbol[i / segment] = log.size();
            }
            Event e = zel::load_packed_event(r + 9 * i);
            m.code(io, e);
        }
    }
    first_symbol[segments] = log.size();
    out.raw = raw.finish();
    std::vector<EncTables> enc(segments);
    BitWriter tw;
    for (std::size_t k = 0; k < segments; ++k) {
        const EncTables* prev = g_repeat && k > 0 ? &enc[k - 1] : nullptr;
        out.stats.used += write_tables<Bits>(counts[k], table_count(PolMode), WideBits, enc[k], tw, prev).used;
    }
    out.tables = tw.finish();
    out.stats.bytes = out.tables.size();
    std::vector<std::uint16_t> words;
    words.reserve(log.size() + 1);
    std::uint32_t state[N];
    for (auto& s : state) s = kStateLow;
    std::size_t k = segments - 1;
    for (std::size_t i = log.size(); i-- > 0;) {
        while (i < first_symbol[k]) --k;
        const unsigned t = log[i] >> 8, sym = log[i] & 0xff;
        std::uint32_t& x = state[i % N];
        const std::uint32_t freq = enc[k].freq[t][sym];
        const std::uint64_t limit = (std::uint64_t{kStateLow >> Bits} << 16) * freq;
        if (x >= limit) {
            words.push_back(static_cast<std::uint16_t>(x));
            x >>= 16;
        }
        x = ((x / freq) << Bits) + (x % freq) + enc[k].start[t][sym];
    }
    out.rans.resize(4 * N + 2 * words.size());
    std::uint8_t* p = out.rans.data();
    for (unsigned s = 0; s < N; ++s) std::memcpy(p + 4 * s, &state[s], 4);
    p += 4 * N;
    for (std::size_t i = words.size(); i-- > 0;) {
        *p++ = static_cast<std::uint8_t>(words[i]);
        *p++ = static_cast<std::uint8_t>(words[i] >> 8);
    }
}

template <unsigned Bits, unsigned N, int PolMode, unsigned WideBits = 0>
void static_encode(const std::uint8_t* r, std::size_t n, StaticBlock& out) {
    out.g = measure_geometry(r, n);
    out.t_first = n ? zel::load_packed_event(r).t : 0;
    // Tables for every g_segment events (all at once when 0), the model's
    // state carried across segments.
    const std::size_t segment = g_segment == 0 ? std::max<std::size_t>(n, 1) : g_segment;
    const std::size_t segments = std::max<std::size_t>((n + segment - 1) / segment, 1);
    std::vector<Counts> counts(segments);
    if (g_logged) {
        static_encode_logged<Bits, N, PolMode, WideBits>(r, n, out, segment, counts);
        return;
    }
    {
        Model<PolMode, false, WideBits> m(out.g, out.t_first, n);
        CountIo io(counts[0]);
        for (std::size_t i = 0; i < n; ++i) {
            if (i % segment == 0) io.use(counts[i / segment]);
            Event e = zel::load_packed_event(r + 9 * i);
            m.code(io, e);
        }
    }
    std::vector<EncTables> enc(segments);
    BitWriter tw;
    for (std::size_t k = 0; k < segments; ++k) {
        const EncTables* prev = g_repeat && k > 0 ? &enc[k - 1] : nullptr;
        const TableStats st = write_tables<Bits>(counts[k], table_count(PolMode), WideBits, enc[k], tw, prev);
        out.stats.used += st.used;
    }
    out.tables = tw.finish();
    out.stats.bytes = out.tables.size();
    std::vector<Range> log;
    log.reserve(n * 5);
    BitWriter raw;
    {
        Model<PolMode, false, WideBits> m(out.g, out.t_first, n);
        StaticEncodeIo io(enc[0], log, raw);
        for (std::size_t i = 0; i < n; ++i) {
            if (i % segment == 0) io.use(enc[i / segment]);
            Event e = zel::load_packed_event(r + 9 * i);
            m.code(io, e);
        }
    }
    out.raw = raw.finish();
    // Reverse pass: symbol i goes to state i % N.
    std::vector<std::uint16_t> words;
    words.reserve(log.size() + 1);
    std::uint32_t state[N];
    for (auto& s : state) s = kStateLow;
    for (std::size_t i = log.size(); i-- > 0;) {
        std::uint32_t& x = state[i % N];
        const std::uint32_t freq = log[i].freq;
        const std::uint64_t limit = (std::uint64_t{kStateLow >> Bits} << 16) * freq;
        if (x >= limit) {
            words.push_back(static_cast<std::uint16_t>(x));
            x >>= 16;
        }
        x = ((x / freq) << Bits) + (x % freq) + log[i].start;
    }
    out.rans.resize(4 * N + 2 * words.size());
    std::uint8_t* p = out.rans.data();
    for (unsigned s = 0; s < N; ++s) std::memcpy(p + 4 * s, &state[s], 4);
    p += 4 * N;
    for (std::size_t i = words.size(); i-- > 0;) {
        *p++ = static_cast<std::uint8_t>(words[i]);
        *p++ = static_cast<std::uint8_t>(words[i] >> 8);
    }
}

template <unsigned Bits>
struct DecodeContext {
    std::vector<DecTable<Bits>> tables = std::vector<DecTable<Bits>>(kMaxTables);
};

template <unsigned Bits, unsigned N, int PolMode, bool Search = false, bool BranchFree = false,
          unsigned WideBits = 0, bool Cut3 = false>
bool static_decode(const StaticBlock& in, std::size_t n, std::uint8_t* out, DecodeContext<Bits>& ctx) {
    BitReader tr({in.tables.data(), in.tables.size()});
    if (in.rans.size() < 4 * N) return false;
    BitReader raw({in.raw.data(), in.raw.size()});
    StaticDecodeIo<Bits, N, Search, BranchFree, Cut3> io(ctx.tables.data(), in.rans.data(), in.rans.size(), raw);
    Model<PolMode, BranchFree, WideBits> m(in.g, in.t_first, n);
    const std::size_t segment = g_segment == 0 ? std::max<std::size_t>(n, 1) : g_segment;
    std::vector<bool> sent(kMaxTables, false);
    std::vector<bool>* track = g_repeat ? &sent : nullptr;
    if (n == 0 && !read_tables<Bits, Search>(tr, table_count(PolMode), WideBits, ctx.tables.data(), track)) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (i % segment == 0 && !read_tables<Bits, Search>(tr, table_count(PolMode), WideBits, ctx.tables.data(), track))
            return false;
        Event e;
        if (!m.code(io, e)) return false;
        zel::store_packed(out + 9 * i, zel::packed_head(e.x, e.y, e.t), e.p);
    }
    return io.finish() && raw.finish() && tr.finish();
}

}  // namespace study

// ---------------------------------------------------------------- driver

namespace {

using Clock = std::chrono::steady_clock;
std::size_t kBlock = std::size_t{1} << 20;  // --block

std::vector<std::uint8_t> read_file(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

struct Row {
    double bits = 0, encode = 0, decode = 0;
    double tables_used = 0, table_bytes = 0;
    bool ok = true;
};

Row run_current(const std::vector<std::uint8_t>& rec, int repeats) {
    const std::size_t n = rec.size() / 9;
    std::vector<zel::ByteBuffer> payloads;
    const auto t0 = Clock::now();
    for (std::size_t s = 0; s < n; s += kBlock) {
        payloads.emplace_back();
        const std::size_t m = std::min(kBlock, n - s);
        if (!zel::lossless::encode_block(zel::PackedEvents(rec.data() + 9 * s, m), payloads.back())) std::abort();
    }
    Row row;
    row.encode = n / seconds(t0, Clock::now()) / 1e6;
    std::vector<std::uint8_t> back(rec.size());
    double best = 1e30;
    for (int r = 0; r < repeats; ++r) {
        std::fill(back.begin(), back.end(), 0);
        const auto a = Clock::now();
        for (std::size_t k = 0, s = 0; s < n; s += kBlock, ++k) {
            const std::size_t m = std::min(kBlock, n - s);
            if (!zel::lossless::decode_block({payloads[k].data(), payloads[k].size()}, m, back.data() + 9 * s))
                row.ok = false;
        }
        best = std::min(best, seconds(a, Clock::now()));
        if (back != rec) row.ok = false;
    }
    std::size_t bytes = 0;
    for (auto& p : payloads) bytes += p.size();
    row.bits = 8.0 * bytes / n;
    row.decode = n / best / 1e6;
    return row;
}

template <unsigned Bits, unsigned N, int PolMode, bool Search = false, bool BranchFree = false,
          unsigned WideBits = 0, bool Cut3 = false>
Row run_static(const std::vector<std::uint8_t>& rec, int repeats) {
    const std::size_t n = rec.size() / 9;
    std::vector<study::StaticBlock> blocks;
    const auto t0 = Clock::now();
    for (std::size_t s = 0; s < n; s += kBlock) {
        blocks.emplace_back();
        study::static_encode<Bits, N, PolMode, WideBits>(rec.data() + 9 * s, std::min(kBlock, n - s), blocks.back());
    }
    Row row;
    row.encode = n / seconds(t0, Clock::now()) / 1e6;
    std::vector<std::uint8_t> back(rec.size());
    study::DecodeContext<Bits> ctx;
    double best = 1e30;
    for (int r = 0; r < repeats; ++r) {
        std::fill(back.begin(), back.end(), 0);
        const auto a = Clock::now();
        for (std::size_t k = 0, s = 0; s < n; s += kBlock, ++k) {
            if (!study::static_decode<Bits, N, PolMode, Search, BranchFree, WideBits, Cut3>(blocks[k], std::min(kBlock, n - s), back.data() + 9 * s, ctx))
                row.ok = false;
        }
        best = std::min(best, seconds(a, Clock::now()));
        if (back != rec) row.ok = false;
    }
    std::size_t bytes = 0;
    for (auto& b : blocks) {
        bytes += b.bytes();
        row.tables_used += b.stats.used;
        row.table_bytes += b.stats.bytes;
    }
    row.tables_used /= blocks.size();
    row.table_bytes /= blocks.size();
    row.bits = 8.0 * bytes / n;
    row.decode = n / best / 1e6;
    return row;
}

void print(const char* file, const char* variant, const Row& r, std::size_t n) {
    std::printf("%-40s %-16s %9zu ev %7.3f bits/ev  enc %6.1f  dec %6.1f M ev/s  tables %6.1f  %7.1f B/block  %s\n",
                file, variant, n, r.bits, r.encode, r.decode, r.tables_used, r.table_bytes,
                r.ok ? "round-trip ok" : "ROUND-TRIP FAILED");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = 5;
    int first = 1;
    std::string only;
    while (first < argc && argv[first][0] == '-') {
        const std::string flag = argv[first];
        if (flag == "--repeats" && first + 1 < argc) repeats = std::atoi(argv[first + 1]);
        else if (flag == "--only" && first + 1 < argc) only = argv[first + 1];
        else if (flag == "--repeat" || flag == "--logged") {
            (flag == "--repeat" ? study::g_repeat : study::g_logged) = true;
            first += 1;
            continue;
        } else if (flag == "--segment" && first + 1 < argc) study::g_segment = std::strtoull(argv[first + 1], nullptr, 10);
        else if (flag == "--block" && first + 1 < argc) kBlock = std::strtoull(argv[first + 1], nullptr, 10);
        else return std::fprintf(stderr, "unknown option %s\n", argv[first]), 2;
        first += 2;
    }
    bool failed = false;
    // --only takes a comma-separated list of variant names.
    auto want = [&](const char* v) { return only.empty() || ("," + only + ",").find("," + std::string(v) + ",") != std::string::npos; };
    for (int a = first; a < argc; ++a) {
        const auto rec = read_file(argv[a]);
        const std::size_t n = rec.size() / 9;
        const char* name = std::strrchr(argv[a], '/') ? std::strrchr(argv[a], '/') + 1 : argv[a];
        auto show = [&](const char* v, const Row& r) {
            print(name, v, r, n);
            failed |= !r.ok;
        };
        if (want("adaptive")) show("adaptive", run_current(rec, repeats));
        if (want("s12x2")) show("s12x2", run_static<12, 2, 0>(rec, repeats));
        if (want("s12x4")) show("s12x4", run_static<12, 4, 0>(rec, repeats));
        if (want("s11x2")) show("s11x2", run_static<11, 2, 0>(rec, repeats));
        if (want("s12x2search")) show("s12x2search", run_static<12, 2, 0, true>(rec, repeats));
        if (want("s10x2")) show("s10x2", run_static<10, 2, 0>(rec, repeats));
        if (want("s10x2bf")) show("s10x2bf", run_static<10, 2, 0, false, true>(rec, repeats));
        if (want("s10x2bfc3")) show("s10x2bfc3", run_static<10, 2, 0, false, true, 0, true>(rec, repeats));
        if (want("w5s10")) show("w5s10", run_static<10, 2, 0, false, true, 5, true>(rec, repeats));
        if (want("w6s10")) show("w6s10", run_static<10, 2, 0, false, true, 6, true>(rec, repeats));
        if (want("w6s11")) show("w6s11", run_static<11, 2, 0, false, true, 6, true>(rec, repeats));
        if (want("w7s11")) show("w7s11", run_static<11, 2, 0, false, true, 7, true>(rec, repeats));
        if (want("w6s12")) show("w6s12", run_static<12, 2, 0, false, true, 6, true>(rec, repeats));
        if (want("s12x2p36")) show("s12x2p36", run_static<12, 2, 1>(rec, repeats));
        if (want("s12x2p16")) show("s12x2p16", run_static<12, 2, 2>(rec, repeats));
    }
    return failed ? 1 : 0;
}
