#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "base/byte_buffer.hpp"
#include "readers/camera_decoding.hpp"

namespace zel::camera {

// Fast runs the common words through a loop specialised for them whenever
// the decoder's state allows it; General decodes every word through the
// one switch. Both give the same records, errors and counts: General exists
// so tests can compare them.
enum class DecodePath { Fast, General };

// A resumable decoder of a stream of fixed-size words (EVT 2.0, EVT 3.0) or
// records (DAT) into packed event records. Input arrives in pieces of any
// size: a word split across two pieces is held until it is complete, and
// output that does not fit is held until the next call, so reading in
// chunks gives exactly the events of reading in one piece.
class StreamDecoder {
public:
    virtual ~StreamDecoder() = default;
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    // Decodes from `input` into `out` (whole 9-byte records) until the input
    // is used up or `out` is full. In strict mode the first bad word is an
    // error; a timestamp that does not fit is always one. After an error the
    // decoder must not be used again.
    Result<DecodeProgress> decode(std::span<const std::uint8_t> input,
                                        std::span<std::uint8_t> out);

    // Ends the stream: a partial word left over is a truncated file.
    std::optional<Error> finish();

    // Starts a new batch for TimeBase::Mode::EachBatch.
    void start_batch();
    std::optional<std::uint64_t> batch_origin() const { return time_.origin(); }

    std::size_t word_bytes() const { return word_bytes_; }
    std::uint64_t bad_words() const { return bad_words_; }
    std::uint64_t events() const { return events_; }
    // File offset of the next byte the decoder expects.
    std::uint64_t offset() const { return offset_; }
    // True while decoded events wait for room in the output.
    bool has_pending_output() const { return pending_output(); }
    // In TimeBase::Mode::EachBatch, an event whose time does not fit the
    // batch's origin ends the batch instead of failing: decoding stops
    // before its word, and the next batch (start_batch) starts with it.
    bool batch_full() const { return batch_full_; }

protected:
    StreamDecoder(std::size_t word_bytes, std::uint64_t start_offset, const DecodeOptions& options);

    // Decodes up to `n_words` whole words starting at file offset `offset`
    // into at most `capacity` records. Returns the words consumed (a word is
    // consumed once all its events are written or held as pending output).
    virtual Result<DecodeProgress> decode_words(const std::uint8_t* words, std::size_t n_words,
                                                      std::uint64_t offset, std::uint8_t* out,
                                                      std::size_t capacity) = 0;
    virtual bool pending_output() const { return false; }

    // A bad word: an error in strict mode, otherwise counted and dropped.
    std::optional<Error> reject(std::uint64_t offset, std::string message) {
        if (options_.bad_words == BadWords::Strict) {
            return Error::invalid_data(std::move(message), offset);
        }
        ++bad_words_;
        return std::nullopt;
    }

    // Record time of an event at 64-bit time `t`, the `written`-th of this call.
    // On failure in EachBatch mode, batch_full() is set: the caller stops
    // before the word without consuming it instead of returning the error.
    Result<std::uint32_t> record_time(std::uint64_t t, std::size_t written) {
        if (auto mapped = time_.map(t)) return *mapped;
        batch_full_ = options_.time.mode == TimeBase::Mode::EachBatch;
        return TimeMapper::overflow(events_ + written, t, time_.origin());
    }

    const DecodeOptions options_;
    // Set when the batch origin changed, so cached record times are stale.
    bool time_base_changed_ = false;
    bool batch_full_ = false;

private:
    const std::size_t word_bytes_;
    std::uint64_t offset_;
    std::uint64_t bad_words_ = 0;
    std::uint64_t events_ = 0;
    TimeMapper time_;
    std::uint8_t carry_[8] = {};
    std::size_t carry_len_ = 0;
};

// Decodes all of `input` and ends the stream. The output starts at one
// record per word, which EVT 2.0 and DAT never exceed and real EVT 3.0
// recordings come close to, and grows by doubling past it.
Result<ByteBuffer> decode_whole(StreamDecoder& decoder, std::span<const std::uint8_t> input);

}  // namespace zel::camera
