#include "base/error.hpp"

#include <cstring>
#include <utility>

namespace zel {
namespace {

// strerror_r comes in two flavours: XSI returns int and fills the buffer,
// GNU returns the text (which may not be the buffer). Overloading on the
// return type accepts either.
[[maybe_unused]] const char* strerror_text(int rc, const char* buffer) {
    return rc == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }

Error make(ErrorKind kind, std::string message) {
    Error e;
    e.kind = kind;
    e.message = std::move(message);
    return e;
}

}  // namespace

std::string describe_os_error(int code) {
    char buffer[256] = {};
    const char* text = strerror_text(strerror_r(code, buffer, sizeof buffer), buffer);
    if (text == nullptr || *text == '\0') {
        return "Unknown error " + std::to_string(code);
    }
    return text;
}

Error Error::os(int code) {
    Error e;
    e.kind = ErrorKind::Os;
    e.os_code = code;
    return e;
}

Error Error::invalid_input(std::string message) {
    return make(ErrorKind::InvalidInput, std::move(message));
}

Error Error::invalid_data(std::string message, std::optional<std::uint64_t> offset) {
    Error e = make(ErrorKind::InvalidData, std::move(message));
    e.offset = offset;
    return e;
}

Error Error::timestamp(std::string message) { return make(ErrorKind::Timestamp, std::move(message)); }

Error Error::out_of_memory(std::string message) {
    return make(ErrorKind::OutOfMemory, std::move(message));
}

Error Error::interrupted() { return make(ErrorKind::Interrupted, "interrupted"); }

std::string Error::text() const {
    if (kind == ErrorKind::Os) {
        return describe_os_error(os_code) + " (os error " + std::to_string(os_code) + ")";
    }
    return message;
}

}  // namespace zel
