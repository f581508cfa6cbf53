#pragma once

// Reading and writing the fields of the container's structures (file
// headers, records, indices), which container_format.hpp and
// event_store.hpp place with Field and ByteField. Every multi-byte field is
// little-endian; a structure's checksum is the CRC-32C of the bytes before it.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "base/crc32c.hpp"
#include "base/error.hpp"

namespace zel::container {

// A fixed-size little-endian field of type T at byte `at` of its structure.
template <class T>
struct Field {
    std::size_t at;
};

// A run of bytes with a fixed value (tags, magic) or that must be zero.
struct ByteField {
    std::size_t at;
    std::size_t size;
};

namespace field_io {

template <class T>
void store(std::span<std::uint8_t> bytes, Field<T> field, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        const std::uint64_t wide = static_cast<std::uint64_t>(value);
        bytes[field.at + i] = static_cast<std::uint8_t>(wide >> (8 * i));
    }
}

inline void store(std::span<std::uint8_t> bytes, ByteField field, const std::uint8_t* value) {
    std::memcpy(bytes.data() + field.at, value, field.size);
}

template <class T>
T load(std::span<const std::uint8_t> bytes, Field<T> field) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        v |= static_cast<std::uint64_t>(bytes[field.at + i]) << (8 * i);
    }
    return static_cast<T>(v);
}

inline bool holds(std::span<const std::uint8_t> bytes, ByteField field, const std::uint8_t* value) {
    return bytes.size() >= field.at + field.size &&
           std::memcmp(bytes.data() + field.at, value, field.size) == 0;
}

inline bool all_zero(std::span<const std::uint8_t> bytes, ByteField field) {
    const auto run = bytes.subspan(field.at, field.size);
    return std::all_of(run.begin(), run.end(), [](std::uint8_t b) { return b == 0; });
}

// Stores the CRC-32C of bytes[0, at) at `at`.
inline void seal(std::span<std::uint8_t> bytes, std::size_t at) {
    store(bytes, Field<std::uint32_t>{at}, crc32c(bytes.first(at)));
}

inline bool sealed(std::span<const std::uint8_t> bytes, std::size_t at) {
    return crc32c(bytes.first(at)) == load(bytes, Field<std::uint32_t>{at});
}

inline Error fault(std::uint64_t offset, std::string message) {
    return Error::invalid_data(std::move(message), offset);
}

inline std::string num(std::uint64_t v) { return std::to_string(v); }

// Appends `size` zero bytes and returns them for the fields to be stored in.
inline std::span<std::uint8_t> grow(std::vector<std::uint8_t>& out, std::size_t size) {
    const std::size_t start = out.size();
    out.resize(start + size);
    return std::span<std::uint8_t>(out).subspan(start);
}

}  // namespace field_io
}  // namespace zel::container
