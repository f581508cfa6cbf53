#include "lossless/plane_block.hpp"

#include "base/byte_order.hpp"
#include "lossless/block_codec.hpp"

#include <zstd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

namespace zel::lossless {

namespace {

// Zstandard's fastest level: on the recordings of bench/ it was also the
// smallest below level 6 (level 19 saves about 10 % more and codes 100
// times slower), and this block is the one chosen for speed.
constexpr int kZstdLevel = 1;
constexpr std::uint32_t kEscape = 0xFFFF;
constexpr std::size_t kLengthsBytes = 4 * kPlanes;

// Steps as unsigned: 0, -1, 1, -2 ... -> 0, 1, 2, 3 ..., in the width of
// the field, so that every step of a field wraps to exactly one value.
std::uint32_t zigzag32(std::uint32_t step) {
    return (step << 1) ^ (0u - (step >> 31));
}
std::uint32_t unzigzag32(std::uint32_t u) { return (u >> 1) ^ (0u - (u & 1)); }
std::uint32_t zigzag16(std::uint32_t step) {
    const std::uint32_t s = step & 0xFFFF;
    return ((s << 1) ^ (0u - (s >> 15))) & 0xFFFF;
}
std::uint32_t unzigzag16(std::uint32_t u) { return ((u >> 1) ^ (0u - (u & 1))) & 0xFFFF; }

// One context per thread, kept: creating one costs more than coding a
// short recording's block.
struct ContextDeleter {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
ZSTD_CCtx* compressor() {
    thread_local std::unique_ptr<ZSTD_CCtx, ContextDeleter> context(ZSTD_createCCtx());
    if (context == nullptr) throw std::bad_alloc();
    return context.get();
}
ZSTD_DCtx* decompressor() {
    thread_local std::unique_ptr<ZSTD_DCtx, ContextDeleter> context(ZSTD_createDCtx());
    if (context == nullptr) throw std::bad_alloc();
    return context.get();
}

}  // namespace

PlanesHeader encode_planes(PackedEvents events, std::uint32_t t_first, ByteBuffer& out) {
    const std::size_t n = events.size();
    const std::size_t bit_bytes = (n + 7) / 8;
    // Six byte planes, the polarities as bits and as bytes (which of the
    // two is kept is known only at the end), and a u32 per escape.
    const auto planes = std::make_unique_for_overwrite<std::uint8_t[]>(7 * n + bit_bytes + 1);
    const auto escapes = std::make_unique_for_overwrite<std::uint8_t[]>(4 * n + 1);
    std::uint8_t* t_low = planes.get();
    std::uint8_t* t_high = t_low + n;
    std::uint8_t* y_low = t_high + n;
    std::uint8_t* y_high = y_low + n;
    std::uint8_t* x_low = y_high + n;
    std::uint8_t* x_high = x_low + n;
    std::uint8_t* polarity = x_high + n;
    std::uint8_t* polarity_bits = polarity + n;
    std::fill(polarity_bits, polarity_bits + bit_bytes, std::uint8_t{0});
    std::uint8_t* escape = escapes.get();
    std::uint32_t pt = t_first, px = 0, py = 0;
    std::uint32_t xs = 0, ys = 0, other_polarities = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Event e = events[i];
        xs = xs > e.x ? xs : e.x;
        ys = ys > e.y ? ys : e.y;
        const std::uint32_t dt = zigzag32(e.t - pt);
        const std::uint32_t kept = dt < kEscape ? dt : kEscape;
        t_low[i] = static_cast<std::uint8_t>(kept);
        t_high[i] = static_cast<std::uint8_t>(kept >> 8);
        if (dt >= kEscape) {
            store_le32(escape, dt);
            escape += 4;
        }
        const std::uint32_t dy = zigzag16(std::uint32_t{e.y} - py);
        y_low[i] = static_cast<std::uint8_t>(dy);
        y_high[i] = static_cast<std::uint8_t>(dy >> 8);
        const std::uint32_t dx = zigzag16(std::uint32_t{e.x} - px);
        x_low[i] = static_cast<std::uint8_t>(dx);
        x_high[i] = static_cast<std::uint8_t>(dx >> 8);
        polarity[i] = e.p;
        other_polarities |= e.p & ~1u;
        polarity_bits[i / 8] = static_cast<std::uint8_t>(polarity_bits[i / 8] | (e.p & 1u) << (i % 8));
        pt = e.t;
        px = e.x;
        py = e.y;
    }
    PlanesHeader header{static_cast<std::uint16_t>(xs), static_cast<std::uint16_t>(ys),
                        other_polarities == 0 ? kPolarityBits : std::uint8_t{0}};
    const std::span<const std::uint8_t> sources[kPlanes] = {
        {t_low, n},
        {t_high, n},
        {y_low, n},
        {y_high, n},
        {x_low, n},
        {x_high, n},
        header.flags & kPolarityBits ? std::span<const std::uint8_t>{polarity_bits, bit_bytes}
                                     : std::span<const std::uint8_t>{polarity, n},
        {escapes.get(), static_cast<std::size_t>(escape - escapes.get())}};
    std::size_t bound = kLengthsBytes;
    for (const auto& source : sources) bound += ZSTD_compressBound(source.size());
    const std::size_t begin = out.size();
    out.reserve_more(bound);
    std::uint8_t* lengths = out.tail();
    std::uint8_t* frame = lengths + kLengthsBytes;
    ZSTD_CCtx* context = compressor();
    for (unsigned k = 0; k < kPlanes; ++k) {
        const std::size_t written = ZSTD_compressCCtx(context, frame, ZSTD_compressBound(sources[k].size()),
                                                      sources[k].data(), sources[k].size(), kZstdLevel);
        // With room for the bound and a valid level, only memory can fail.
        if (ZSTD_isError(written)) throw std::bad_alloc();
        store_le32(lengths + 4 * k, static_cast<std::uint32_t>(written));
        frame += written;
    }
    out.commit(static_cast<std::size_t>(frame - (out.data() + begin)));
    return header;
}

Status decode_planes(std::span<const std::uint8_t> planes, std::size_t base, std::uint64_t count,
                     std::uint32_t t_first, std::uint8_t flags, std::uint8_t* out, DecodedBounds& bounds) {
    if (planes.size() < kLengthsBytes) {
        return Error::invalid_data("lossless block of " + std::to_string(base + planes.size()) +
                                   " bytes is shorter than its plane lengths", base + planes.size());
    }
    std::size_t frame_at = kLengthsBytes;
    std::span<const std::uint8_t> frames[kPlanes];
    std::size_t frame_offsets[kPlanes];
    for (unsigned k = 0; k < kPlanes; ++k) {
        const std::uint32_t length = load_le32(planes.data() + 4 * k);
        if (length > planes.size() - frame_at) {
            return Error::invalid_data("lossless block's plane " + std::to_string(k) + " of " +
                                       std::to_string(length) + " bytes runs past its end", base + 4 * k);
        }
        frames[k] = planes.subspan(frame_at, length);
        frame_offsets[k] = base + frame_at;
        frame_at += length;
    }
    if (frame_at != planes.size()) {
        return Error::invalid_data("lossless block has bytes after its last plane", base + frame_at);
    }
    const auto n = static_cast<std::size_t>(count);
    const bool polarity_bits = (flags & kPolarityBits) != 0;
    const std::size_t polarity_bytes = polarity_bits ? (n + 7) / 8 : n;
    const auto fields = std::make_unique_for_overwrite<std::uint8_t[]>(6 * n + polarity_bytes + 1);
    ZSTD_DCtx* context = decompressor();
    // Every plane decompresses into exactly the bytes its events need: a
    // frame that says more or less is refused before anything is sized by it.
    const auto expand = [&](unsigned k, std::uint8_t* into, std::size_t expected) -> Status {
        // One frame a plane, filling its length: no skippable or second frames.
        if (ZSTD_findFrameCompressedSize(frames[k].data(), frames[k].size()) != frames[k].size()) {
            return Error::invalid_data("lossless block's plane " + std::to_string(k) + " is not one Zstandard frame",
                                       frame_offsets[k]);
        }
        const std::size_t got = ZSTD_decompressDCtx(context, into, expected, frames[k].data(), frames[k].size());
        if (ZSTD_isError(got) || got != expected) {
            return Error::invalid_data("lossless block's plane " + std::to_string(k) + " does not hold " +
                                       std::to_string(expected) + " bytes" +
                                       (ZSTD_isError(got) ? std::string(": ") + ZSTD_getErrorName(got) : ""),
                                       frame_offsets[k]);
        }
        return kOk;
    };
    for (unsigned k = 0; k < kPolarityPlane; ++k) ZEL_TRY(expand(k, fields.get() + k * n, n));
    const std::uint8_t* t_low = fields.get();
    const std::uint8_t* t_high = t_low + n;
    const std::uint8_t* y_low = t_high + n;
    const std::uint8_t* y_high = y_low + n;
    const std::uint8_t* x_low = y_high + n;
    const std::uint8_t* x_high = x_low + n;
    std::uint8_t* polarity = fields.get() + 6 * n;
    ZEL_TRY(expand(kPolarityPlane, polarity, polarity_bytes));
    if (polarity_bits && n % 8 != 0 && (polarity[n / 8] >> (n % 8)) != 0) {
        return Error::invalid_data("lossless block's polarity bits are not padded with zeros",
                                   frame_offsets[kPolarityPlane]);
    }
    std::size_t escape_bytes = 0;
    for (std::size_t i = 0; i < n; ++i) escape_bytes += 4 * std::size_t{(t_low[i] & t_high[i]) == 0xFF};
    const auto escapes = std::make_unique_for_overwrite<std::uint8_t[]>(escape_bytes + 1);
    ZEL_TRY(expand(kEscapePlane, escapes.get(), escape_bytes));
    const std::uint8_t* escape = escapes.get();
    std::uint32_t pt = t_first, px = 0, py = 0;
    std::uint32_t xs = 0, ys = 0, t_min = n > 0 ? ~0u : 0, t_max = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t dt = std::uint32_t{t_low[i]} | std::uint32_t{t_high[i]} << 8;
        if (dt == kEscape) [[unlikely]] {
            dt = load_le32(escape);
            escape += 4;
            // One way to write each step: escapes hold only steps that need them.
            if (dt < kEscape) {
                return Error::invalid_data("lossless block escapes the time step " + std::to_string(dt) +
                                           " of event " + std::to_string(i) + ", which needs none",
                                           frame_offsets[kEscapePlane]);
            }
        }
        const std::uint32_t p =
            polarity_bits ? (std::uint32_t{polarity[i / 8]} >> (i % 8)) & 1u : std::uint32_t{polarity[i]};
        const Event e{
            static_cast<std::uint16_t>(px + unzigzag16(std::uint32_t{x_low[i]} | std::uint32_t{x_high[i]} << 8)),
            static_cast<std::uint16_t>(py + unzigzag16(std::uint32_t{y_low[i]} | std::uint32_t{y_high[i]} << 8)),
            pt + unzigzag32(dt), static_cast<std::uint8_t>(p)};
        store_packed(e, out + i * kPackedEventBytes);
        xs = xs > e.x ? xs : e.x;
        ys = ys > e.y ? ys : e.y;
        t_min = t_min < e.t ? t_min : e.t;
        t_max = t_max > e.t ? t_max : e.t;
        pt = e.t;
        px = e.x;
        py = e.y;
    }
    if (!polarity_bits && n > 0 && std::all_of(polarity, polarity + n, [](std::uint8_t p) { return p < 2; })) {
        // One way to write each block: such polarities are written as bits.
        return Error::invalid_data("lossless block keeps polarities of 0 and 1 as bytes, not bits", 1);
    }
    bounds = {static_cast<std::uint16_t>(xs), static_cast<std::uint16_t>(ys), t_min, t_max};
    return kOk;
}

}  // namespace zel::lossless
