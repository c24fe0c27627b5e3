// Big-endian 16-bit fields, as TFTP puts them on the wire.
#pragma once

#include <cstdint>

namespace qvr {

// Stores the low 16 bits of value, high byte first.
inline void put_u16_be(std::uint8_t* place, std::uint32_t value) {
    place[0] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    place[1] = static_cast<std::uint8_t>(value & 0xFF);
}

// The first byte times 256 plus the second.
inline std::uint16_t get_u16_be(const std::uint8_t* place) {
    return static_cast<std::uint16_t>((place[0] << 8) | place[1]);
}

}  // namespace qvr
