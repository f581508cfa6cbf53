#include "readers/camera_reader.hpp"

#include <algorithm>
#include <span>
#include <utility>

#include "readers/aedat4_reader.hpp"
#include "readers/evt2_decoder.hpp"
#include "readers/evt3_decoder.hpp"
#include "readers/posix_file.hpp"
#include "readers/stream_decoder.hpp"

namespace zel::camera {
namespace {

// Input taken per read(): a few milliseconds of decoding.
constexpr std::size_t kReadBlock = std::size_t{1} << 22;
// What open() reads first: most headers are a few hundred bytes, and a
// pipe should not have to deliver megabytes before its header is seen.
constexpr std::size_t kFirstHeaderRead = std::size_t{1} << 16;
// A header longer than the limit is refused once the bytes after it show.
constexpr std::size_t kHeaderPrefixBytes = kMaxPropheseeHeaderBytes + 2;

Result<PropheseeHeader> parse_header(CameraFormat format, std::span<const std::uint8_t> prefix) {
    return format == CameraFormat::Dat ? parse_dat_header(prefix) : parse_raw_header(prefix);
}

std::unique_ptr<StreamDecoder> make_decoder(const PropheseeHeader& h, const DecodeOptions& options) {
    switch (h.encoding) {
        case PropheseeHeader::Encoding::Evt2: return std::make_unique<Evt2Decoder>(h.data_offset, options);
        case PropheseeHeader::Encoding::Evt3: return std::make_unique<Evt3Decoder>(h.data_offset, options);
        case PropheseeHeader::Encoding::Dat: return std::make_unique<DatDecoder>(h.data_offset, options);
    }
    return nullptr;
}

// Reads into `out` until it holds `n` bytes or the source ends.
Status fill(ByteSource& source, ByteBuffer& out, std::size_t n) {
    out.reserve_more(n - std::min(n, out.size()));
    while (out.size() < n) {
        ZEL_ASSIGN_OR_RETURN(const std::size_t got, source.read(out.tail(), n - out.size()));
        if (got == 0) break;
        out.commit(got);
    }
    return kOk;
}

// True when `prefix` shows where the header parsed from it ends, so more
// bytes cannot change it: a byte that starts no '%' line follows the text,
// or a "% end" line closes it (DAT's two binary bytes follow its text, so a
// DAT header that parses is whole).
bool header_is_whole(CameraFormat format, const PropheseeHeader& h, std::span<const std::uint8_t> prefix) {
    if (format == CameraFormat::Dat || h.data_offset < prefix.size()) return true;
    return !h.fields.empty() && h.fields.back().first == "end" && h.fields.back().second.empty();
}

// Reads the first bytes of the file into `block` until its header is whole,
// the file ends or the header limit is reached, and parses the header: the
// same header a parse of the file's first kHeaderPrefixBytes would give.
Result<PropheseeHeader> read_header(ByteSource& source, CameraFormat format, ByteBuffer& block) {
    for (std::size_t want = kFirstHeaderRead;; want = std::min(want * 4, kHeaderPrefixBytes)) {
        ZEL_TRY(fill(source, block, want));
        const std::span<const std::uint8_t> prefix(block.data(), std::min(block.size(), kHeaderPrefixBytes));
        Result<PropheseeHeader> header = parse_header(format, prefix);
        const bool final = block.size() < want || want == kHeaderPrefixBytes;
        if (final || (header && header_is_whole(format, header.value(), prefix))) return header;
    }
}

class PropheseeReader final : public CameraReader {
public:
    PropheseeReader(ByteSource source, PropheseeHeader header, std::unique_ptr<StreamDecoder> decoder,
                    ByteBuffer first_block)
        : source_(std::move(source)),
          header_(std::move(header)),
          decoder_(std::move(decoder)),
          block_(std::move(first_block)),
          pos_(header_.data_offset) {}

    Result<std::size_t> read(ByteBuffer& out, std::size_t max_events) override {
        Result<std::size_t> n = read_events(out, max_events);
        if (!n) done_ = true;
        return n;
    }
    void start_batch() override { decoder_->start_batch(); }
    bool batch_full() const override { return decoder_->batch_full(); }
    std::optional<std::uint64_t> batch_origin() const override { return decoder_->batch_origin(); }
    std::uint64_t bad_words() const override { return decoder_->bad_words(); }
    Geometry sensor() const override { return header_.geometry; }
    bool sensor_stated() const override { return header_.geometry_source == "header"; }

private:
    Result<std::size_t> read_events(ByteBuffer& out, std::size_t max_events) {
        std::size_t appended = 0;
        while (!done_ && appended < max_events && !decoder_->batch_full()) {
            if (pos_ == block_.size() && !decoder_->has_pending_output()) {
                block_.clear();
                pos_ = 0;
                ZEL_TRY(fill(source_, block_, kReadBlock));
                if (block_.size() == 0) {
                    // A partial word left at the end is a truncated file.
                    done_ = true;
                    if (auto error = decoder_->finish()) return *std::move(error);
                    break;
                }
            }
            const std::size_t room = std::min(max_events - appended, kReadBlock);
            out.reserve_more(room * kPackedEventBytes);
            ZEL_ASSIGN_OR_RETURN(const DecodeProgress step,
                                 decoder_->decode({block_.data() + pos_, block_.size() - pos_},
                                                  {out.tail(), room * kPackedEventBytes}));
            out.commit(step.written * kPackedEventBytes);
            appended += step.written;
            pos_ += step.consumed;
        }
        return appended;
    }

    ByteSource source_;
    PropheseeHeader header_;
    std::unique_ptr<StreamDecoder> decoder_;
    ByteBuffer block_;  // input read but not yet decoded: [pos_, size)
    std::size_t pos_;
    bool done_ = false;
};

class Aedat4CameraReader final : public CameraReader {
public:
    explicit Aedat4CameraReader(Aedat4Reader reader) : reader_(std::move(reader)) {}
    Result<std::size_t> read(ByteBuffer& out, std::size_t max_events) override {
        return reader_.read(out, max_events);
    }
    void start_batch() override { reader_.start_batch(); }
    bool batch_full() const override { return reader_.batch_full(); }
    std::optional<std::uint64_t> batch_origin() const override { return reader_.batch_origin(); }
    std::uint64_t bad_words() const override { return reader_.bad_words(); }
    Geometry sensor() const override { return reader_.sensor(); }
    bool sensor_stated() const override { return reader_.sensor().width != 0; }

private:
    Aedat4Reader reader_;
};

}  // namespace

DecodeOptions prophesee_options(const PropheseeHeader& h, BadWords bad_words, TimeBase time) {
    DecodeOptions options;
    options.bad_words = bad_words;
    options.time = time;
    // Only a stated geometry bounds coordinates; one inferred from the
    // sensor's name could be wrong for a camera this reader does not know.
    const bool stated = h.geometry_source == "header";
    const std::uint32_t side = h.encoding == PropheseeHeader::Encoding::Dat ? kMaxDatSide : kMaxPropheseeSide;
    options.x_limit = stated ? h.geometry.width : side;
    options.y_limit = stated ? h.geometry.height : side;
    return options;
}

Result<std::unique_ptr<CameraReader>> CameraReader::open(const std::string& path, CameraFormat format,
                                                         BadWords bad_words, TimeBase time, IoHooks& hooks) {
    ZEL_ASSIGN_OR_RETURN(ReadOnlyFile file, ReadOnlyFile::open(path, hooks));
    ByteSource source(std::move(file));
    if (format == CameraFormat::Aedat4) {
        ZEL_ASSIGN_OR_RETURN(Aedat4Reader reader, Aedat4Reader::from_source(std::move(source), bad_words, time));
        return std::unique_ptr<CameraReader>(std::make_unique<Aedat4CameraReader>(std::move(reader)));
    }
    // The first events follow the header in the block it was read into.
    ByteBuffer block;
    ZEL_ASSIGN_OR_RETURN(PropheseeHeader header, read_header(source, format, block));
    std::unique_ptr<StreamDecoder> decoder = make_decoder(header, prophesee_options(header, bad_words, time));
    return std::unique_ptr<CameraReader>(
        std::make_unique<PropheseeReader>(std::move(source), std::move(header), std::move(decoder), std::move(block)));
}

Result<LoadedEvents> load_camera_file(const std::string& path, CameraFormat format, BadWords bad_words,
                                      TimeBase time, IoHooks& hooks) {
    LoadedEvents loaded;
    if (format == CameraFormat::Aedat4) {
        ZEL_ASSIGN_OR_RETURN(ReadOnlyFile file, ReadOnlyFile::open(path, hooks));
        // As many records as the file would hold uncompressed (16 bytes an
        // event): exact for uncompressed files, a first step for others.
        loaded.records.reserve_more(file.size_hint() / 16 * kPackedEventBytes);
        ZEL_ASSIGN_OR_RETURN(Aedat4Reader aedat4,
                             Aedat4Reader::from_source(ByteSource(std::move(file)), bad_words, time));
        std::unique_ptr<CameraReader> reader = std::make_unique<Aedat4CameraReader>(std::move(aedat4));
        ZEL_TRY(reader->read(loaded.records, static_cast<std::size_t>(kAddressSpaceBytes / kPackedEventBytes)));
        loaded.bad_words = reader->bad_words();
        return loaded;
    }
    ZEL_ASSIGN_OR_RETURN(ByteBuffer data, read_whole_file(path, hooks));
    const std::span<const std::uint8_t> bytes(data.data(), data.size());
    ZEL_ASSIGN_OR_RETURN(PropheseeHeader header,
                         parse_header(format, bytes.first(std::min(bytes.size(), kHeaderPrefixBytes))));
    std::unique_ptr<StreamDecoder> decoder = make_decoder(header, prophesee_options(header, bad_words, time));
    ZEL_ASSIGN_OR_RETURN(loaded.records, decode_whole(*decoder, bytes.subspan(header.data_offset)));
    loaded.bad_words = decoder->bad_words();
    return loaded;
}

}  // namespace zel::camera
