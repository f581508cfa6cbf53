#pragma once

#include <cstdint>
#include <span>

namespace zel {

// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum of
// iSCSI, ext4 and SCTP. `crc` is a previous result to continue a running
// checksum over several pieces, 0 to start.
// Uses the CPU's crc32 instruction where it has one (chosen once, at run
// time: the default build cannot assume it).
std::uint32_t crc32c(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

// The same checksum by table lookups, on any CPU: what crc32c falls back
// to, and the reference it is tested against.
std::uint32_t crc32c_portable(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

}  // namespace zel
