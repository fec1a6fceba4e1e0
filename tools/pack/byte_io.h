// Little-endian fields in byte buffers, as PE images and resources hold them.
// The caller makes sure the field lies inside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace fenzar::pack {

inline std::uint16_t get_u16(std::span<const unsigned char> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

inline std::uint32_t get_u32(std::span<const unsigned char> bytes, std::size_t at) {
    return get_u16(bytes, at) | static_cast<std::uint32_t>(get_u16(bytes, at + 2)) << 16;
}

inline void put_u16(std::vector<unsigned char>& out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<unsigned char>(value);
    out[at + 1] = static_cast<unsigned char>(value >> 8);
}

inline void put_u32(std::vector<unsigned char>& out, std::size_t at, std::uint32_t value) {
    put_u16(out, at, static_cast<std::uint16_t>(value));
    put_u16(out, at + 2, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace fenzar::pack
