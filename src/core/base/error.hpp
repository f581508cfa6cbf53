#pragma once

// One error value for every core layer, in the manner of zstd's error codes
// and draco's Status: what kind of failure, where in the input it lies, the
// errno when the operating system refused, and the text a caller shows.
// Functions return Result<T> (result.hpp) and forward a failure in one line
// with ZEL_TRY or ZEL_ASSIGN_OR_RETURN; the bindings map the kind to a
// Python exception in one place (pycommon).

#include <cstdint>
#include <optional>
#include <string>

namespace zel {

enum class ErrorKind : std::uint8_t {
    Os,            // an operating-system call failed; os_code holds its errno
    InvalidInput,  // the request cannot be carried out (an unusable path or parameter)
    InvalidData,   // the bytes are malformed; offset places the fault when it can
    Timestamp,     // an event time does not fit the 32-bit microsecond field
    OutOfMemory,   // what the input asks for exceeds what can be allocated
    Interrupted,   // the caller's hooks asked to stop; they hold the reason
};

struct Error {
    ErrorKind kind = ErrorKind::InvalidData;
    // Byte offset in the input where the offending structure starts.
    std::optional<std::uint64_t> offset;
    int os_code = 0;
    std::string message;

    static Error os(int code);
    static Error invalid_input(std::string message);
    static Error invalid_data(std::string message,
                              std::optional<std::uint64_t> offset = std::nullopt);
    static Error timestamp(std::string message);
    static Error out_of_memory(std::string message);
    static Error interrupted();

    // Os: "<strerror> (os error N)", the operating system's own wording;
    // every other kind: the message alone (the offset is the caller's to show).
    std::string text() const;
};

// The operating system's description of errno `code` ("Unknown error N"
// when it has none).
std::string describe_os_error(int code);

}  // namespace zel

// Forwards the error of a Result-returning expression to the caller.
#define ZEL_TRY(expr)                                                \
    do {                                                             \
        auto&& zel_try_result_ = (expr);                             \
        if (!zel_try_result_) return std::move(zel_try_result_).take_error(); \
    } while (0)

#define ZEL_CONCAT_INNER_(a, b) a##b
#define ZEL_CONCAT_(a, b) ZEL_CONCAT_INNER_(a, b)
// `lhs = value of expr`, or return its error: ZEL_ASSIGN_OR_RETURN(auto n, read_count()).
#define ZEL_ASSIGN_OR_RETURN(lhs, expr) \
    ZEL_ASSIGN_OR_RETURN_IMPL_(ZEL_CONCAT_(zel_result_, __LINE__), lhs, expr)
#define ZEL_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr)      \
    auto tmp = (expr);                                  \
    if (!tmp) return std::move(tmp).take_error();       \
    lhs = std::move(tmp).value()
