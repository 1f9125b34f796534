#pragma once
// The converter's additive checksum: a plain 32-bit sum of bytes. Its low 16 bits travel
// in loader packets, loader replies and device frames.
#include <cstdint>
#include <span>

namespace conv {

// Sum of `len` bytes starting at `data`; 0 when len <= 0. No folding, no complement.
std::uint32_t checkSum(const std::uint8_t* data, std::int32_t len);

inline std::uint32_t checkSum(std::span<const std::uint8_t> bytes) {
    return checkSum(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

}  // namespace conv
