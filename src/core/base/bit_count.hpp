#pragma once

#include <cstddef>
#include <cstdint>

namespace zel {

// Set bits in `bytes` bytes. Uses the CPU's population count instruction
// where it has one (chosen once, at run time: the default build cannot
// assume it) and a portable count elsewhere.
std::uint64_t count_set_bits(const std::uint8_t* data, std::size_t bytes);

// Whether this CPU has the population count instruction (checked once).
bool has_popcount_instruction();

}  // namespace zel
