#pragma once

// Camera recordings read front to back into packed records, whatever their
// format: Prophesee RAW (EVT 2.0 or EVT 3.0, as the header says), Prophesee
// DAT and iniVation AEDAT 4. One interface serves whole-file loads and
// chunked reading, so the binding has one type, one argument set and one
// guard against two threads using a reader at once.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/byte_buffer.hpp"
#include "base/result.hpp"
#include "readers/camera_decoding.hpp"
#include "readers/io_hooks.hpp"
#include "readers/prophesee_header.hpp"

namespace zel::camera {

enum class CameraFormat { Raw, Dat, Aedat4 };

class CameraReader {
public:
    virtual ~CameraReader() = default;

    // Opens the file and reads its header: a missing file, a file of
    // another format or a broken header fails here. Coordinates are bounded
    // by a size the header states, else only by the format's own fields.
    // The hooks (which must outlive the reader) bracket every blocking open
    // and read.
    static Result<std::unique_ptr<CameraReader>> open(const std::string& path, CameraFormat format,
                                                      BadWords bad_words, TimeBase time, IoHooks& hooks);

    // Appends up to `max_events` records to `out`; returns how many. Fewer
    // than asked only at the end of the file or, in TimeBase::EachBatch,
    // where the batch is full (batch_full()), after which nothing more is
    // read until start_batch(). 0 once the file is done; after an error the
    // reader is spent.
    virtual Result<std::size_t> read(ByteBuffer& out, std::size_t max_events) = 0;

    virtual void start_batch() = 0;
    virtual bool batch_full() const = 0;
    // What was subtracted from the current batch's times, once known.
    virtual std::optional<std::uint64_t> batch_origin() const = 0;
    virtual std::uint64_t bad_words() const = 0;
    // The sensor size the header names ({0, 0} when it names none), and
    // whether a line states it (true) or it is inferred from the sensor's
    // name (false), which is reported but never bounds coordinates.
    virtual Geometry sensor() const = 0;
    virtual bool sensor_stated() const = 0;
};

// The decoder options for a Prophesee file with header `h`: coordinates
// bounded by a stated geometry, else by the encoding's largest sensor.
DecodeOptions prophesee_options(const PropheseeHeader& h, BadWords bad_words, TimeBase time);

struct LoadedEvents {
    ByteBuffer records;
    std::uint64_t bad_words = 0;
};

// The whole file in one call. Prophesee files are read whole and decoded
// into an output sized from the file; AEDAT 4 files are walked.
Result<LoadedEvents> load_camera_file(const std::string& path, CameraFormat format, BadWords bad_words,
                                      TimeBase time, IoHooks& hooks);

}  // namespace zel::camera
