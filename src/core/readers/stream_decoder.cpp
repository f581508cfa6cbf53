#include "readers/stream_decoder.hpp"

#include <algorithm>
#include <cstring>

namespace zel::camera {

std::string hex_word(std::uint32_t word, int digits) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text = "0x";
    for (int i = digits - 1; i >= 0; --i) text += kDigits[(word >> (4 * i)) & 0xF];
    return text;
}

StreamDecoder::StreamDecoder(std::size_t word_bytes, std::uint64_t start_offset,
                             const DecodeOptions& options)
    : options_(options), word_bytes_(word_bytes), offset_(start_offset), time_(options.time) {}

void StreamDecoder::start_batch() {
    time_.start_batch();
    time_base_changed_ = true;
    batch_full_ = false;
}

Result<DecodeProgress> StreamDecoder::decode(std::span<const std::uint8_t> input,
                                                   std::span<std::uint8_t> out) {
    const std::size_t capacity = out.size() / kPackedEventBytes;
    DecodeProgress progress;

    // Events held for want of room go first: a word split across calls may
    // be waiting too, and it comes after them.
    if (pending_output()) {
        auto step = decode_words(nullptr, 0, offset_, out.data(), capacity);
        if (!step) return step.error();
        progress.written = step.value().written;
        events_ += step.value().written;
        if (pending_output()) return progress;
    }

    // Finish a word split across calls before touching the new input.
    if (carry_len_ > 0) {
        const std::uint64_t word_offset = offset_ - carry_len_;
        const std::size_t take = std::min(word_bytes_ - carry_len_, input.size());
        std::memcpy(carry_ + carry_len_, input.data(), take);
        carry_len_ += take;
        progress.consumed = take;
        if (carry_len_ < word_bytes_) {
            // offset_ counts every byte taken, held ones included, so the
            // word's start and finish()'s report stay right however the
            // word was split.
            offset_ += take;
            return progress;
        }
        auto step = decode_words(carry_, 1, word_offset,
                                 out.data() + progress.written * kPackedEventBytes,
                                 capacity - progress.written);
        if (!step) return step.error();
        progress.written += step.value().written;
        events_ += step.value().written;
        if (step.value().consumed == 0) {
            // No room for the word's events: give the completed bytes back.
            carry_len_ -= take;
            progress.consumed = 0;
            return progress;
        }
        carry_len_ = 0;
        offset_ += take;
    }

    const std::uint8_t* words = input.data() + progress.consumed;
    const std::size_t remaining = input.size() - progress.consumed;
    const std::size_t n_words = remaining / word_bytes_;
    if (n_words > 0 && progress.written < capacity) {
        auto step = decode_words(words, n_words, offset_, out.data() + progress.written * kPackedEventBytes,
                                 capacity - progress.written);
        if (!step) return step.error();
        const std::size_t used = step.value().consumed * word_bytes_;
        progress.consumed += used;
        progress.written += step.value().written;
        events_ += step.value().written;
        offset_ += used;
        if (step.value().consumed < n_words) return progress;
    } else if (n_words > 0) {
        return progress;
    }

    // Keep the bytes of an incomplete last word for the next call.
    const std::size_t tail = remaining - n_words * word_bytes_;
    if (tail > 0) {
        std::memcpy(carry_, words + n_words * word_bytes_, tail);
        carry_len_ = tail;
        progress.consumed += tail;
        offset_ += tail;
    }
    return progress;
}

std::optional<Error> StreamDecoder::finish() {
    if (carry_len_ == 0) return std::nullopt;
    const std::uint64_t at = offset_ - carry_len_;
    std::string message = "truncated last word: " + std::to_string(carry_len_) + " of " +
                          std::to_string(word_bytes_) + " bytes";
    carry_len_ = 0;
    return reject(at, std::move(message));
}

Result<ByteBuffer> decode_whole(StreamDecoder& decoder, std::span<const std::uint8_t> input) {
    ByteBuffer out;
    out.reserve_more((input.size() / decoder.word_bytes() + 1) * kPackedEventBytes);
    std::size_t pos = 0;
    // Checked before decoding, so that no input at all (a file of only a
    // header) is an empty result rather than a decoder that did not move.
    while (pos < input.size() || decoder.has_pending_output()) {
        const std::size_t room = out.spare() - out.spare() % kPackedEventBytes;
        auto step = decoder.decode(input.subspan(pos), std::span<std::uint8_t>(out.tail(), room));
        if (!step) return step.error();
        const bool moved = step.value().consumed > 0 || step.value().written > 0;
        pos += step.value().consumed;
        out.commit(step.value().written * kPackedEventBytes);
        if (!moved && room >= kPackedEventBytes) {
            return Error::invalid_data("decoder made no progress", decoder.offset());
        }
        if (out.spare() < kPackedEventBytes) out.reserve_more(out.size());
    }
    if (auto error = decoder.finish()) return *error;
    return out;
}

}  // namespace zel::camera
