// Throw-away analysis: ideal adaptive code length of candidate event models.
//
//   g++ -O2 -std=c++20 bench/lossless_study/study.cpp -o /tmp/study
//   /tmp/study VARIANT file.rec...
//
// Each model codes the events in order; every coded value costs
// -log2 of its adaptive count-based probability (counts start at 1, grow by
// 32, halve past 2^16), which is what a coder with periodically rebuilt
// tables reaches to within a few percent. Prints bits/event per field.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "study_records.hpp"


// Adaptive frequencies over K symbols for each of `contexts` contexts.
struct Model {
    int K = 0;
    std::vector<std::uint32_t> c, tot;
    std::uint32_t inc = 32, limit = 1 << 16;
    Model(int k, int contexts, std::uint32_t increment = 32, std::uint32_t lim = 1 << 16)
        : K(k), c(std::size_t(k) * contexts, 1), tot(contexts, k), inc(increment), limit(lim) {}
    double code(int ctx, int s) {
        std::uint32_t* f = &c[std::size_t(ctx) * K];
        const double bits = std::log2(double(tot[ctx]) / f[s]);
        f[s] += inc;
        tot[ctx] += inc;
        if (tot[ctx] > limit) {
            tot[ctx] = 0;
            for (int i = 0; i < K; ++i) tot[ctx] += (f[i] = (f[i] + 1) / 2);
        }
        return bits;
    }
};

// Values: 0..15 direct, then exponent and M mantissa bits as the symbol, the
// rest raw.
struct Bucketed {
    Model m;
    int M;
    explicit Bucketed(int contexts, int mantissa = 1) : m(16 + 29 * (1 << mantissa), contexts), M(mantissa) {}
    double code(int ctx, std::uint32_t v) {
        if (v < 16) return m.code(ctx, int(v));
        const int e = 31 - __builtin_clz(v);
        const int mant = int((v >> (e - M)) & ((1u << M) - 1));
        return m.code(ctx, 16 + (e - 4) * (1 << M) + mant) + (e - M);
    }
};

static std::uint32_t zigzag(std::int64_t d) { return std::uint32_t(d < 0 ? -2 * d - 1 : 2 * d); }
static int bucket_of(std::uint32_t v) { return v == 0 ? 0 : v == 1 ? 1 : v < 4 ? 2 : v < 16 ? 3 : v < 256 ? 4 : 5; }

struct Cost {
    double t = 0, x = 0, y = 0, p = 0;
};

// ---------------------------------------------------------------- variants

// Plain sequential model: same-time flag and time delta, same-row flag and
// row delta, x relative to the previous event, polarity from the pixel's
// last event and the previous event's.
static Cost plain(const std::vector<Ev>& e, int W, int H, bool p_first, bool sorted_gaps) {
    Cost c;
    Bucketed dt(8), dy(8), dx(16);
    Model same_t(2, 16), same_y(2, 16), pol(2, 64);
    std::vector<std::uint8_t> lastp(std::size_t(W) * H, 2);
    Ev prev{0, 0, 0, 0};
    int prev_st = 0, prev_sy = 0;
    std::uint32_t prev_dt = 0;
    for (const Ev& v : e) {
        const std::uint32_t d = v.t - prev.t;
        const int st = d == 0;
        c.t += same_t.code(prev_st * 8 + prev_sy * 4 + std::min(bucket_of(prev_dt), 3), st);
        if (!st) c.t += dt.code(std::min(bucket_of(prev_dt), 7), d - 1);
        const int sy = v.y == prev.y;
        c.y += same_y.code(st * 8 + prev_sy * 4 + prev_st * 2, sy);
        if (!sy) c.y += dy.code(st * 2 + prev_sy, zigzag(std::int64_t(v.y) - prev.y) - 1);
        const std::size_t pix = std::size_t(v.y) * W + v.x;
        if (p_first) {
            c.p += pol.code(int(prev.p & 1) * 2 + sy * st + 4 * (sy && st ? 0 : 1), int(v.p & 1));
            const int samep = (v.p & 1) == (prev.p & 1);
            if (sorted_gaps && sy && st && samep && v.x > prev.x) {
                // flag "ascending" folded into the value: 0 means descending or equal
                c.x += dx.code(8, v.x - prev.x);
            } else if (sorted_gaps && sy && st && samep) {
                c.x += dx.code(8, 0) + dx.code(9, zigzag(std::int64_t(v.x) - prev.x));
            } else {
                c.x += dx.code(sy * 2 + st + 4 * samep, zigzag(std::int64_t(v.x) - prev.x));
            }
            lastp[pix] = std::uint8_t(v.p & 1);
        } else {
            c.x += dx.code(sy * 2 + st, zigzag(std::int64_t(v.x) - prev.x));
            const int lp = lastp[pix];
            c.p += pol.code(lp * 8 + int(prev.p & 1) * 4 + sy * 2 + st, int(v.p & 1));
            lastp[pix] = std::uint8_t(v.p & 1);
        }
        prev_st = st;
        prev_sy = sy;
        if (!st) prev_dt = d;
        prev = v;
    }
    return c;
}


// Fenwick tree over event indices: how many pixels last saw activity at each index.
struct Fenwick {
    std::vector<std::int32_t> f;
    explicit Fenwick(std::size_t n) : f(n + 1, 0) {}
    void add(std::size_t i, int d) { for (++i; i < f.size(); i += i & (~i + 1)) f[i] += d; }
    std::int64_t prefix(std::size_t n) const {  // sum of [0, n)
        std::int64_t s = 0;
        for (std::size_t i = n; i > 0; i -= i & (~i + 1)) s += f[i];
        return s;
    }
};

// Ideal "where events appear" model: a pixel's class is how many events ago
// anything within `radius` of it fired (geometric buckets, plus "never");
// the event codes its class, then its pixel uniformly among that class.
static std::uint32_t kAgeBounds[] = {4, 16, 64, 256, 1024, 4096, 16384, 65536, 1u << 30};
constexpr int kAgeClasses = 10;  // 9 bounded + never

static Cost activity_global(const std::vector<Ev>& e, int W, int H, int radius, bool seq_ctx) {
    Cost c;
    Bucketed dt(8);
    Model same_t(2, 16), cls(kAgeClasses, 64), pol(2, 64);
    std::vector<std::int64_t> last(std::size_t(W) * H, -1);
    std::vector<std::uint8_t> lastp(std::size_t(W) * H, 2);
    Fenwick fw(e.size());
    std::int64_t set_pixels = 0;
    Ev prev{0, 0, 0, 0};
    int prev_st = 0, prev_cls = 0;
    std::uint32_t prev_dt = 0;
    for (std::size_t i = 0; i < e.size(); ++i) {
        const Ev& v = e[i];
        const std::uint32_t d = v.t - prev.t;
        const int st = d == 0;
        c.t += same_t.code(prev_st * 8 + std::min(bucket_of(prev_dt), 3), st);
        if (!st) c.t += dt.code(std::min(bucket_of(prev_dt), 7), d - 1);
        const std::size_t pix = std::size_t(v.y) * W + v.x;
        // class of the pixel
        int k = kAgeClasses - 1;
        std::int64_t lo = 0, hi = 0;
        if (last[pix] >= 0) {
            const std::uint64_t age = i - std::uint64_t(last[pix]);
            k = 0;
            while (age >= kAgeBounds[k]) ++k;
        }
        std::int64_t count;
        if (k == kAgeClasses - 1) {
            count = std::int64_t(W) * H - set_pixels;
        } else {
            // indices j with age i - j in [lower, upper): j in (i - upper, i - lower]
            const std::int64_t upper = kAgeBounds[k], lower = k ? kAgeBounds[k - 1] : 0;
            hi = std::int64_t(i) - lower + 1;
            lo = std::max<std::int64_t>(0, std::int64_t(i) - upper + 1);
            count = fw.prefix(std::size_t(std::max<std::int64_t>(hi, 0))) - fw.prefix(std::size_t(lo));
        }
        const int ctx = seq_ctx ? st * 32 + prev_st * 16 + std::min(prev_cls, 15) : 0;
        c.x += cls.code(ctx, k) + std::log2(double(std::max<std::int64_t>(count, 1)));
        prev_cls = k;
        const int lp = lastp[pix];
        c.p += pol.code(lp * 8 + int(prev.p & 1) * 4 + st * 2 + (k < 4), int(v.p & 1));
        lastp[pix] = std::uint8_t(v.p & 1);
        for (int yy = int(v.y) - radius; yy <= int(v.y) + radius; ++yy) {
            if (yy < 0 || yy >= H) continue;
            for (int xx = int(v.x) - radius; xx <= int(v.x) + radius; ++xx) {
                if (xx < 0 || xx >= W) continue;
                std::int64_t& l = last[std::size_t(yy) * W + xx];
                if (l >= 0) fw.add(std::size_t(l), -1); else ++set_pixels;
                l = std::int64_t(i);
                fw.add(i, 1);
            }
        }
        prev_st = st;
        if (!st) prev_dt = d;
        prev = v;
    }
    return c;
}


// Sequential model for the first coordinate (a = y for row-major streams),
// then the second coordinate (b) within that line from its pixels' activity
// classes: class of the pixel, then uniform within the class among the
// candidates. In a same-line run of the same polarity, b only ascends when
// `ascending` holds: the candidates are b > previous b.
static Cost line_activity(const std::vector<Ev>& e, int W, int H, bool columns, int radius,
                          bool ascending) {
    Cost c;
    Bucketed dt(8), da(8);
    Model same_t(2, 16), same_a(2, 16), pol(2, 64), cls(kAgeClasses + 1, 256);
    const int A = columns ? W : H, B = columns ? H : W;
    std::vector<std::int64_t> last(std::size_t(W) * H, -1);  // indexed [a * B + b]
    std::vector<std::uint8_t> lastp(std::size_t(W) * H, 2);
    std::uint32_t pa = 0, pb = 0, pp = 0, pt = 0;
    int prev_st = 0, prev_sa = 0;
    std::uint32_t prev_dt = 0;
    std::vector<int> cnt(kAgeClasses + 1);
    for (std::size_t i = 0; i < e.size(); ++i) {
        const Ev& v = e[i];
        const std::uint32_t ea = columns ? v.x : v.y, eb = columns ? v.y : v.x;
        const std::uint32_t d = v.t - pt;
        const int st = d == 0;
        c.t += same_t.code(prev_st * 8 + prev_sa * 4 + std::min(bucket_of(prev_dt), 3), st);
        if (!st) c.t += dt.code(std::min(bucket_of(prev_dt), 7), d - 1);
        const int sa = ea == pa;
        c.y += same_a.code(st * 8 + prev_sa * 4 + prev_st * 2, sa);
        if (!sa) c.y += da.code(st * 2 + prev_sa, zigzag(std::int64_t(ea) - pa) - 1);
        const int run = sa && st;
        c.p += pol.code(int(pp & 1) * 4 + run * 2, int(v.p & 1));
        const int samep = (v.p & 1) == (pp & 1);
        // classes of every candidate in the line
        const std::int64_t* row = &last[std::size_t(ea) * B];
        auto class_of = [&](std::uint32_t b) {
            if (row[b] < 0) return kAgeClasses - 1;
            const std::uint64_t age = i - std::uint64_t(row[b]);
            int k = 0;
            while (age >= kAgeBounds[k]) ++k;
            return k;
        };
        std::fill(cnt.begin(), cnt.end(), 0);
        const std::uint32_t from = (ascending && run && samep) ? pb + 1 : 0;
        if (from > eb) {  // descending after all: escape class, then uniform
            c.x += cls.code(run * 2 + samep, kAgeClasses) + std::log2(double(B));
        } else {
            for (std::uint32_t b = from; b < std::uint32_t(B); ++b) ++cnt[class_of(b)];
            const int k = class_of(eb);
            if (getenv("CLASS_HIST")) { static long h[16], tot; static double cs[16]; h[k]++; cs[k] += cnt[k]; if (++tot % 200000 == 0 || i + 1 == e.size()) { for (int q = 0; q <= kAgeClasses; ++q) fprintf(stderr, "%d:%.3f/%.0f ", q, double(h[q]) / double(tot), h[q] ? cs[q] / double(h[q]) : 0.0); fprintf(stderr, "\n"); } }
            const int ctx = (ascending && run && samep) ? 4 + std::min(31 - __builtin_clz(eb - from + 1), 0) : run * 2 + samep;
            c.x += cls.code(ctx, k) + std::log2(double(cnt[k]));
        }
        const std::size_t pix = std::size_t(v.y) * W + v.x;
        (void)lastp[pix];
        for (int aa = int(ea) - radius; aa <= int(ea) + radius; ++aa) {
            if (aa < 0 || aa >= A) continue;
            for (int bb = int(eb) - radius; bb <= int(eb) + radius; ++bb) {
                if (bb < 0 || bb >= B) continue;
                last[std::size_t(aa) * B + bb] = std::int64_t(i);
            }
        }
        prev_st = st;
        prev_sa = sa;
        if (!st) prev_dt = d;
        pa = ea, pb = eb, pp = v.p, pt = v.t;
    }
    return c;
}


// Sequential model with a choice of predictor for the in-line coordinate b:
//   0 previous event's b, 1 last b of this line, 2 last b of this line or its
//   neighbours (the most recent), 3 mode chosen by context agreement.
// Lines are rows (y) or columns (x). In a same-line same-polarity run of the
// same timestamp b is coded as a gap from the previous b.
static Cost predictors(const std::vector<Ev>& e, int W, int H, bool columns, int pred, int mant) {
    Cost c;
    Bucketed dt(8), da(16), db(64, mant);
    Model same_t(2, 16), same_a(2, 16), pol(2, 256);
    const int A = columns ? W : H;
    std::vector<std::int64_t> line_last_i(A, -1);
    std::vector<std::uint32_t> line_last_b(A, 0);
    std::vector<std::uint8_t> lastp(std::size_t(W) * H, 2);
    std::uint32_t pa = 0, pb = 0, pp = 0, pt = 0;
    int prev_st = 0, prev_sa = 0;
    std::uint32_t prev_dt = 0;
    for (std::size_t i = 0; i < e.size(); ++i) {
        const Ev& v = e[i];
        const std::uint32_t ea = columns ? v.x : v.y, eb = columns ? v.y : v.x;
        const std::uint32_t d = v.t - pt;
        const int st = d == 0;
        c.t += same_t.code(prev_st * 8 + prev_sa * 4 + std::min(bucket_of(prev_dt), 3), st);
        if (!st) c.t += dt.code(std::min(bucket_of(prev_dt), 7), d - 1);
        const int sa = ea == pa;
        c.y += same_a.code(st * 8 + prev_sa * 4 + prev_st * 2, sa);
        if (!sa) c.y += da.code(st * 2 + prev_sa, zigzag(std::int64_t(ea) - pa) - 1);
        const int run = sa && st;
        c.p += pol.code(int(pp & 1) * 4 + run * 2, int(v.p & 1));
        const int samep = (v.p & 1) == (pp & 1);
        if (run && samep && eb > pb) {
            c.x += db.code(0, 0) + db.code(1, eb - pb - 1);
        } else {
            if (run && samep) c.x += db.code(0, 1);
            // choose the reference
            std::uint32_t ref = pb;
            int age_ctx = 0;
            if (pred >= 1 && !run) {
                std::int64_t best = line_last_i[ea];
                std::uint32_t bref = line_last_b[ea];
                if (pred >= 2) {
                    for (int k = -1; k <= 1; k += 2) {
                        const int aa = int(ea) + k;
                        if (aa >= 0 && aa < A && line_last_i[aa] > best) best = line_last_i[aa], bref = line_last_b[aa];
                    }
                }
                if (best >= 0) {
                    const std::uint64_t age = i - std::uint64_t(best);
                    age_ctx = 1 + std::min(6, int((63 - __builtin_clzll(age | 1)) / 2));
                    if (pred != 3 || age < 64) ref = bref; else age_ctx = 8;
                }
            }
            c.x += db.code(2 + run * 16 + age_ctx, zigzag(std::int64_t(eb) - ref));
        }
        line_last_i[ea] = std::int64_t(i);
        line_last_b[ea] = eb;
        prev_st = st;
        prev_sa = sa;
        if (!st) prev_dt = d;
        pa = ea, pb = eb, pp = v.p, pt = v.t;
    }
    return c;
}


// Row runs as gaps, with the gap's context taken from how many events fell
// recently into the segment after the previous position (rows a-1..a+1,
// segments of 2^seg_bits pixels, counts halving every `half` events).
static Cost segments(const std::vector<Ev>& e, int W, int H, int seg_bits, std::uint32_t half) {
    Cost c;
    Bucketed dt(8), dy(8), gap(64), first(64);
    Model same_t(2, 16), same_y(2, 16), pol(2, 64), asc(2, 64);
    const int S = (W >> seg_bits) + 1;
    std::vector<std::uint32_t> cnt(std::size_t(S) * H, 0), stamp(std::size_t(S) * H, 0);
    auto density = [&](int y, int s, std::uint32_t now) {
        std::uint32_t sum = 0;
        for (int yy = y - 1; yy <= y + 1; ++yy) {
            if (yy < 0 || yy >= H || s < 0 || s >= S) continue;
            const std::size_t k = std::size_t(yy) * S + s;
            const std::uint32_t shifts = (now - stamp[k]) / half;
            sum += shifts >= 32 ? 0 : cnt[k] >> shifts;
        }
        return sum;
    };
    auto touch = [&](int y, int s, std::uint32_t now) {
        const std::size_t k = std::size_t(y) * S + s;
        const std::uint32_t shifts = (now - stamp[k]) / half;
        cnt[k] = (shifts >= 32 ? 0 : cnt[k] >> shifts) + 4;
        stamp[k] = stamp[k] + shifts * half;
        if (shifts >= 32) stamp[k] = now - now % half;
    };
    std::vector<std::uint8_t> lastp(std::size_t(W) * H, 2);
    Ev prev{0, 0, 0, 0};
    int prev_st = 0, prev_sy = 0;
    std::uint32_t prev_dt = 0;
    for (std::size_t i = 0; i < e.size(); ++i) {
        const Ev& v = e[i];
        const auto now = std::uint32_t(i);
        const std::uint32_t d = v.t - prev.t;
        const int st = d == 0;
        c.t += same_t.code(prev_st * 8 + prev_sy * 4 + std::min(bucket_of(prev_dt), 3), st);
        if (!st) c.t += dt.code(std::min(bucket_of(prev_dt), 7), d - 1);
        const int sy = v.y == prev.y;
        c.y += same_y.code(st * 8 + prev_sy * 4 + prev_st * 2, sy);
        if (!sy) c.y += dy.code(st * 2 + prev_sy, zigzag(std::int64_t(v.y) - prev.y) - 1);
        const bool run = sy && st;
        c.p += pol.code(int(prev.p & 1) * 2 + run, int(v.p & 1));
        const int samep = (v.p & 1) == (prev.p & 1);
        if (run && samep) {
            const int up = v.x > prev.x;
            const std::uint32_t dens = density(int(v.y), int((prev.x + 1) >> seg_bits), now);
            const int dctx = dens == 0 ? 0 : std::min(8, 1 + int(31 - __builtin_clz(dens)));
            c.x += asc.code(dctx, up);
            if (up) c.x += gap.code(dctx, v.x - prev.x - 1);
            else c.x += first.code(0, zigzag(std::int64_t(v.x) - prev.x));
        } else {
            const std::uint32_t dens = density(int(v.y), int(prev.x >> seg_bits), now);
            const int dctx = dens == 0 ? 0 : std::min(8, 1 + int(31 - __builtin_clz(dens)));
            c.x += first.code(1 + run * 10 + dctx, zigzag(std::int64_t(v.x) - (run ? 0 : prev.x)));
        }
        touch(int(v.y), int(v.x >> seg_bits), now);
        prev_st = st;
        prev_sy = sy;
        if (!st) prev_dt = d;
        prev = v;
    }
    return c;
}


// Line activity classes with few classes (pixels whose neighbourhood fired
// within bounds[0], bounds[1], ... events, else old), and the position coded
// as its class plus its signed rank among that class's pixels counted from a
// reference: the previous position in a run, else the line's last position
// when recent, else the previous event's.
static Cost line_rank(const std::vector<Ev>& e, int W, int H, bool columns, int radius,
                      std::vector<std::uint32_t> bounds) {
    Cost c;
    Bucketed dt(8), da(8), rank(64);
    Model same_t(2, 16), same_a(2, 16), pol(2, 256), cls(8, 64);
    const int A = columns ? W : H, B = columns ? H : W;
    const int K = int(bounds.size()) + 1;
    std::vector<std::int64_t> last(std::size_t(W) * H, -1);
    std::vector<std::int64_t> line_last_i(A, -1);
    std::vector<std::uint32_t> line_last_b(A, 0);
    std::vector<std::uint8_t> lastp(std::size_t(W) * H, 2);
    std::uint32_t pa = 0, pb = 0, pp = 0, pt = 0;
    int prev_st = 0, prev_sa = 0, prev_k = 0;
    std::uint32_t prev_dt = 0;
    for (std::size_t i = 0; i < e.size(); ++i) {
        const Ev& v = e[i];
        const std::uint32_t ea = columns ? v.x : v.y, eb = columns ? v.y : v.x;
        const std::uint32_t d = v.t - pt;
        const int st = d == 0;
        c.t += same_t.code(prev_st * 8 + prev_sa * 4 + std::min(bucket_of(prev_dt), 3), st);
        if (!st) c.t += dt.code(std::min(bucket_of(prev_dt), 7), d - 1);
        const int sa = ea == pa;
        c.y += same_a.code(st * 8 + prev_sa * 4 + prev_st * 2, sa);
        if (!sa) c.y += da.code(st * 2 + prev_sa, zigzag(std::int64_t(ea) - pa) - 1);
        const int run = sa && st;
        const std::int64_t* row = &last[std::size_t(ea) * B];
        auto class_of = [&](std::uint32_t b) {
            if (row[b] < 0) return K - 1;
            const std::uint64_t age = i - std::uint64_t(row[b]);
            int k = 0;
            while (k < K - 1 && age >= bounds[std::size_t(k)]) ++k;
            return k;
        };
        std::uint32_t ref = pb;
        int rctx = 0;
        if (!run) {
            if (line_last_i[ea] >= 0 && i - std::uint64_t(line_last_i[ea]) < 1024) ref = line_last_b[ea], rctx = 1;
            else rctx = 2;
        }
        const int k = class_of(eb);
        c.x += cls.code(rctx * 8 + prev_k, k);
        // signed rank among class-k pixels from ref
        std::int64_t r = 0;
        if (eb > ref) { for (std::uint32_t b = ref + 1; b <= eb; ++b) r += class_of(b) == k; }
        else if (eb < ref) { for (std::uint32_t b = eb; b < ref; ++b) r -= class_of(b) == k; }
        c.x += rank.code(rctx * 8 + k, zigzag(r));
        prev_k = k;
        const std::size_t pix = std::size_t(v.y) * W + v.x;
        const int lp = lastp[pix];
        c.p += pol.code(lp * 16 + int(pp & 1) * 8 + run * 4 + (k == 0) * 2 + (eb > pb), int(v.p & 1));
        lastp[pix] = std::uint8_t(v.p & 1);
        for (int aa = int(ea) - radius; aa <= int(ea) + radius; ++aa) {
            if (aa < 0 || aa >= A) continue;
            for (int bb = int(eb) - radius; bb <= int(eb) + radius; ++bb) {
                if (bb < 0 || bb >= B) continue;
                last[std::size_t(aa) * B + bb] = std::int64_t(i);
            }
        }
        line_last_i[ea] = std::int64_t(i);
        line_last_b[ea] = eb;
        prev_st = st;
        prev_sa = sa;
        if (!st) prev_dt = d;
        pa = ea, pb = eb, pp = v.p, pt = v.t;
    }
    return c;
}

// ---------------------------------------------------------------- main

int main(int argc, char** argv) {
    if (argc < 3) return 1;
    const std::string variant = argv[1];
    for (int a = 2; a < argc; ++a) {
        const std::vector<Ev> e = load(argv[a]);
        int W = 0, H = 0;
        for (const Ev& v : e) W = std::max<int>(W, int(v.x) + 1), H = std::max<int>(H, int(v.y) + 1);
        Cost c;
        if (variant == "plain") c = plain(e, W, H, false, false);
        else if (variant == "plain_pfirst") c = plain(e, W, H, true, false);
        else if (variant == "plain_sorted") c = plain(e, W, H, true, true);
        else if (variant.rfind("act", 0) == 0) c = activity_global(e, W, H, variant[3] - '0', variant.size() > 4);
        else if (variant.rfind("gen", 0) == 0) {  // gen<epoch>: classes fired within 1, 2, 4, 8 epochs
            const std::uint32_t epoch = std::uint32_t(std::atoi(variant.c_str() + 3));
            for (int k = 0; k < 9; ++k) kAgeBounds[k] = k < 4 ? epoch << k : (1u << 31);
            c = line_activity(e, W, H, false, 1, true);
        }
        else if (variant.rfind("line", 0) == 0)  // line<r|c><radius>[a]
            c = line_activity(e, W, H, variant[4] == 'c', variant[5] - '0', variant.size() > 6);
        else if (variant.rfind("pred", 0) == 0)  // pred<r|c><0-3><mantissa>
            c = predictors(e, W, H, variant[4] == 'c', variant[5] - '0', variant.size() > 6 ? variant[6] - '0' : 1);
        else if (variant.rfind("seg", 0) == 0)  // seg<bits>_<half>
            c = segments(e, W, H, variant[3] - '0', std::uint32_t(std::atoi(variant.c_str() + 5)));
        else if (variant.rfind("rank", 0) == 0) {  // rank<r|c><radius>:b1,b2,...
            std::vector<std::uint32_t> bounds;
            for (const char* q = variant.c_str() + 7; *q;) { bounds.push_back(std::uint32_t(std::strtoul(q, nullptr, 10))); while (*q && *q != ',') ++q; if (*q) ++q; }
            c = line_rank(e, W, H, variant[4] == 'c', variant[5] - '0', bounds);
        }
        else return 2;
        const double n = double(e.size());
        std::printf("%-28s %-14s t %6.2f y %6.2f x %6.2f p %5.2f  total %6.2f\n", argv[a], variant.c_str(),
                    c.t / n, c.y / n, c.x / n, c.p / n, (c.t + c.x + c.y + c.p) / n);
    }
}
