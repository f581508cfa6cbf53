#pragma once

// The event-file formats zel reads and the one table that maps a file
// name's extension to them. Every loader that picks a reader by name (zel's
// load_events, zelkit's load and iter_load through the binding) asks here.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.hpp"

namespace zel {

enum class RecordFormat { Compact, Nmnist, Aedat2, Csv };

// What an extension selects: one format, or (".bin") the size rule.
struct ExtensionRule {
    std::string_view extension;  // without the dot, compared byte for byte
    std::optional<RecordFormat> format;  // nullopt: decided by bin_format()
};

// In the order the unknown-extension message lists them.
inline constexpr ExtensionRule kExtensionRules[] = {
    {"bin", std::nullopt},
    {"evb", RecordFormat::Compact},
    {"aedat", RecordFormat::Aedat2},
    {"csv", RecordFormat::Csv},
    {"txt", RecordFormat::Csv},
};

// The rule for the extension of `path`'s final component, or an
// InvalidInput error whose text is zel's unknown-extension message.
Result<ExtensionRule> extension_rule(const std::string& path);

// ".bin" names two formats without a magic number: compact when the size is
// a multiple of 9 but not of 5, otherwise N-MNIST (which then demands a
// multiple of 5 itself). Multiples of 45, 0 included, fit both: N-MNIST.
RecordFormat bin_format(std::uint64_t size);

// "Unknown file extension: "<path>". Supported: " and `supported`.
std::string unknown_extension_message(const std::string& path, std::string_view supported);

// ".bin, .evb, .aedat, .csv, .txt": the table's extensions as zel lists them.
std::string zel_supported_extensions();

}  // namespace zel
