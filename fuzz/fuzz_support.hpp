#pragma once

// Shared by the fuzz targets: a property check that stops the run loudly,
// and a cursor that takes fixed-size fields off the front of the input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

// A failed property is a finding: libFuzzer saves the input on abort, and
// the replay runner reports the file.
#define FUZZ_CHECK(condition)                                                            \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__,    \
                         #condition);                                                    \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

namespace zel_fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}

    // Little-endian fields; missing bytes read as 0 so every input is usable.
    std::uint64_t take(std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            if (!rest_.empty()) {
                value |= std::uint64_t{rest_.front()} << (8 * i);
                rest_ = rest_.subspan(1);
            }
        }
        return value;
    }
    std::span<const std::uint8_t> rest() const { return rest_; }

private:
    std::span<const std::uint8_t> rest_;
};

}  // namespace zel_fuzz
