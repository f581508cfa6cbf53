#include "readers/file_formats.hpp"

#include <vector>

#include "base/event.hpp"
#include "readers/record_codecs.hpp"
#include "text/path_text.hpp"

namespace zel {

std::string_view format_name(FileFormat format) {
    switch (format) {
        case FileFormat::Bin: return "bin";
        case FileFormat::Compact: return "evb";
        case FileFormat::Aedat2: return "aedat2";
        case FileFormat::Csv: return "csv";
        case FileFormat::Raw: return "raw";
        case FileFormat::Dat: return "dat";
        case FileFormat::Aedat4: return "aedat4";
        case FileFormat::Zel: return "zel";
    }
    return {};
}

std::optional<RecordFormat> record_format(FileFormat format) {
    switch (format) {
        case FileFormat::Compact: return RecordFormat::Compact;
        case FileFormat::Aedat2: return RecordFormat::Aedat2;
        case FileFormat::Csv: return RecordFormat::Csv;
        default: return std::nullopt;
    }
}

Result<ExtensionRule> extension_rule(const std::string& path) {
    const std::optional<std::string_view> ext = path_extension(path);
    std::vector<std::string_view> zels;
    for (const ExtensionRule& rule : kExtensionRules) {
        if (!zel_reads(rule.format)) continue;
        if (rule.extension == ext) return rule;
        zels.push_back(rule.extension);
    }
    return Error::invalid_input(unknown_extension_message(path, zels));
}

RecordFormat bin_format(std::uint64_t size) {
    return size % kPackedEventBytes == 0 && size % kNmnistRecordBytes != 0 ? RecordFormat::Compact
                                                                          : RecordFormat::Nmnist;
}

std::string unknown_extension_message(const std::string& path, std::span<const std::string_view> extensions) {
    std::string message = "Unknown file extension: " + quote_text(path) + ". Supported: ";
    for (std::size_t i = 0; i < extensions.size(); ++i) {
        if (i > 0) message += ", ";
        message += '.';
        message += extensions[i];
    }
    return message;
}

}  // namespace zel
