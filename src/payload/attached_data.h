// The attached data format, the one description of it for the launcher's
// reader and unpacker, the packer's writer and lister, and the tests.
//
// Attached data: the magic "ZUQ", one zstd frame whose content is the
// archive, zero padding and the trailer, a 64-bit little-endian value equal
// to its own offset from the magic. The archive: records, then the end
// marker. A record is its name (UTF-16LE units, then one zero unit), the
// 64-bit little-endian size of its data, and the data. The end marker is an
// empty name: a single zero unit. Names are paths relative to the target
// directory with the backslash between components. In a launcher, the data
// lies in a section of the image's own (data_section.h).
//
// Nothing reads the padding or the trailer. The trailer makes sure that bytes
// that are no frame follow the frame: a decoder asked for more than a damaged
// archive holds reads them as another frame and fails, instead of running out
// of input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fenzar {

// Attached data in memory: from the first byte of the magic to the end of
// the trailer.
struct AttachedData {
    const unsigned char* bytes;
    uint64_t length;
};

namespace attached_data_format {

inline constexpr unsigned char magic[3] = {'Z', 'U', 'Q'};
// Bytes of one name unit and of the size field of a record.
inline constexpr size_t name_unit_bytes = 2;
inline constexpr size_t size_field_bytes = 8;
// The padding takes the trailer to a multiple of this from the magic.
inline constexpr uint64_t trailer_alignment = 8;
inline constexpr size_t trailer_bytes = 8;

// Set by the launcher's buffers: a name, and the target directory, a
// backslash and a name together.
inline constexpr size_t max_name_units = 1023;
inline constexpr size_t max_path_units = 4096;
// The decoder's limit: windows above 2^27 bytes are refused.
inline constexpr int max_window_log = 27;

// The little-endian fields of a record.
inline char16_t name_unit_from(const unsigned char bytes[name_unit_bytes]) {
    return static_cast<char16_t>(bytes[0] | bytes[1] << 8);
}
inline uint64_t size_from(const unsigned char bytes[size_field_bytes]) {
    uint64_t size = 0;
    for (size_t i = size_field_bytes; i > 0; --i) size = size << 8 | bytes[i - 1];
    return size;
}
inline void put_size(uint64_t size, unsigned char bytes[size_field_bytes]) {
    for (size_t i = 0; i < size_field_bytes; ++i) bytes[i] = static_cast<unsigned char>(size >> (8 * i));
}

inline void put_name_unit(char16_t unit, unsigned char bytes[name_unit_bytes]) {
    bytes[0] = static_cast<unsigned char>(unit);
    bytes[1] = static_cast<unsigned char>(unit >> 8);
}
// A record's name and size fields, and the end marker, in bytes.
inline constexpr uint64_t record_header_bytes(size_t name_units) {
    return name_unit_bytes * (name_units + 1) + size_field_bytes;
}
inline constexpr size_t end_marker_bytes = name_unit_bytes;

// Where the trailer goes after `unpadded` bytes of magic and frame.
inline uint64_t trailer_offset_after(uint64_t unpadded) {
    return (unpadded + trailer_alignment - 1) / trailer_alignment * trailer_alignment;
}

}  // namespace attached_data_format

}  // namespace fenzar
