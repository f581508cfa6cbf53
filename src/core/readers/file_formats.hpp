#pragma once

// The event-file formats and the one table that maps a file name's
// extension to them. Every loader that picks a reader by name asks here:
// zel's load_events (its own formats only) and zelkit's load, iter_load,
// info and save (every format, through the binding).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.hpp"

namespace zel {

// The formats zel reads, each decoded by RecordStream (chunked_reader.hpp).
enum class RecordFormat { Compact, Nmnist, Aedat2, Csv };

// What a file's extension can select. Bin is N-MNIST or compact records,
// decided by the file's size (bin_format); the camera formats (Prophesee
// RAW and DAT, iniVation AEDAT 4) and zel's own event store (.zel,
// container/event_store.hpp) are read by zelkit only.
enum class FileFormat : std::uint8_t { Bin, Compact, Aedat2, Csv, Raw, Dat, Aedat4, Zel };

struct ExtensionRule {
    std::string_view extension;  // without the dot, compared byte for byte
    FileFormat format;
};

// In the order the unknown-extension messages list them: zel's own first.
inline constexpr ExtensionRule kExtensionRules[] = {
    {"bin", FileFormat::Bin},   {"evb", FileFormat::Compact}, {"aedat", FileFormat::Aedat2},
    {"csv", FileFormat::Csv},   {"txt", FileFormat::Csv},     {"dat", FileFormat::Dat},
    {"raw", FileFormat::Raw},   {"aedat4", FileFormat::Aedat4}, {"zel", FileFormat::Zel},
};

// zel's load_events reads the format (and lists its extensions).
constexpr bool zel_reads(FileFormat format) { return format <= FileFormat::Csv; }

// The format's name as zelkit's format= spells it ("bin" for the size rule).
std::string_view format_name(FileFormat format);

// The reader of one of zel's formats other than Bin.
std::optional<RecordFormat> record_format(FileFormat format);

// zel's rule for the extension of `path`'s final component, or an
// InvalidInput error whose text is zel's unknown-extension message.
Result<ExtensionRule> extension_rule(const std::string& path);

// ".bin" names two formats without a magic number: compact when the size is
// a multiple of 9 but not of 5, otherwise N-MNIST (which then demands a
// multiple of 5 itself). Multiples of 45, 0 included, fit both: N-MNIST.
RecordFormat bin_format(std::uint64_t size);

// "Unknown file extension: "<path>". Supported: .a, .b, .c", listing
// `extensions` (without their dots) in the order given.
std::string unknown_extension_message(const std::string& path, std::span<const std::string_view> extensions);

}  // namespace zel
