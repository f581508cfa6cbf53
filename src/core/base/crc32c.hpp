#pragma once

#include <cstdint>
#include <span>

namespace zel {

// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum of
// iSCSI, ext4 and SCTP. `crc` is a previous result to continue a running
// checksum over several pieces, 0 to start.
std::uint32_t crc32c(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

}  // namespace zel
