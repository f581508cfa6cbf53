#include "readers/file_formats.hpp"

#include "base/event.hpp"
#include "readers/record_codecs.hpp"
#include "text/path_text.hpp"

namespace zel {

Result<ExtensionRule> extension_rule(const std::string& path) {
    if (const std::optional<std::string_view> ext = path_extension(path)) {
        for (const ExtensionRule& rule : kExtensionRules) {
            if (rule.extension == *ext) return rule;
        }
    }
    return Error::invalid_input(unknown_extension_message(path, zel_supported_extensions()));
}

RecordFormat bin_format(std::uint64_t size) {
    return size % kPackedEventBytes == 0 && size % kNmnistRecordBytes != 0 ? RecordFormat::Compact
                                                                          : RecordFormat::Nmnist;
}

std::string unknown_extension_message(const std::string& path, std::string_view supported) {
    std::string message = "Unknown file extension: " + quote_text(path) + ". Supported: ";
    message += supported;
    return message;
}

std::string zel_supported_extensions() {
    std::string list;
    for (const ExtensionRule& rule : kExtensionRules) {
        if (!list.empty()) list += ", ";
        list += '.';
        list += rule.extension;
    }
    return list;
}

}  // namespace zel
