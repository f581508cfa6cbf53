#pragma once

// Unaligned loads and stores of fixed-width integers in a stated byte order,
// for every file format the library reads and writes. Each is one memcpy
// (and a byte swap where the host's order differs), which compilers turn
// into a single move.

#include <bit>
#include <cstdint>
#include <cstring>

namespace zel {

namespace byte_order_detail {

template <class T>
inline T load(const std::uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <class T>
inline T swapped(T value) {
    if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(value));
    if constexpr (sizeof(T) == 4) return static_cast<T>(__builtin_bswap32(value));
    if constexpr (sizeof(T) == 8) return static_cast<T>(__builtin_bswap64(value));
}

template <class T>
inline T from_little(T value) {
    return std::endian::native == std::endian::little ? value : swapped(value);
}

template <class T>
inline T from_big(T value) {
    return std::endian::native == std::endian::big ? value : swapped(value);
}

}  // namespace byte_order_detail

inline std::uint16_t load_le16(const std::uint8_t* p) {
    return byte_order_detail::from_little(byte_order_detail::load<std::uint16_t>(p));
}
inline std::uint32_t load_le32(const std::uint8_t* p) {
    return byte_order_detail::from_little(byte_order_detail::load<std::uint32_t>(p));
}
inline std::uint64_t load_le64(const std::uint8_t* p) {
    return byte_order_detail::from_little(byte_order_detail::load<std::uint64_t>(p));
}
inline std::uint32_t load_be32(const std::uint8_t* p) {
    return byte_order_detail::from_big(byte_order_detail::load<std::uint32_t>(p));
}

inline void store_le32(std::uint8_t* p, std::uint32_t value) {
    value = byte_order_detail::from_little(value);
    std::memcpy(p, &value, sizeof value);
}
inline void store_le64(std::uint8_t* p, std::uint64_t value) {
    value = byte_order_detail::from_little(value);
    std::memcpy(p, &value, sizeof value);
}
inline void store_be32(std::uint8_t* p, std::uint32_t value) {
    value = byte_order_detail::from_big(value);
    std::memcpy(p, &value, sizeof value);
}

}  // namespace zel
