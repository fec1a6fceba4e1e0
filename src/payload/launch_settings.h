// What a launcher knows of how to run beside its attached data: today only
// whether it keeps the unpacked application in a per-user cache, and under
// which name and digest. The packer writes the block right after the
// attached data and its size into the data section's header
// (data_section.h); a launcher without a block unpacks into a fresh
// temporary directory.
//
// The block, fixed size, little-endian:
//   0   16 bytes  the digest of the attached data (the first 16 bytes of its
//                 SHA-256), named in the cache as 32 lower-case hex digits
//   16  2 bytes   the application's name length in UTF-16 units, 1 to 64
//   18  6 bytes   zero
//   24  128 bytes the name, UTF-16LE, zero after its length
#pragma once

#include <cstddef>
#include <cstdint>

namespace launch_settings_format {

inline constexpr size_t block_bytes = 152;
inline constexpr size_t digest_bytes = 16;
inline constexpr size_t name_length_offset = 16;
inline constexpr size_t name_offset = 24;
inline constexpr size_t max_name_units = 64;
inline constexpr size_t digest_text_units = 2 * digest_bytes;

}  // namespace launch_settings_format

struct LaunchSettings {
    bool cache = false;
    unsigned char digest[launch_settings_format::digest_bytes] = {};
    // The application's name: one path component that the record-name rule
    // accepts (record_name.h), terminated.
    char16_t name[launch_settings_format::max_name_units + 1] = {};
};

// 1 to 64 units that the record-name rule accepts as one component (no
// backslash), not ending in a dot or a space, which Windows would drop from
// a folder's name.
bool is_usable_application_name(const char16_t* name, size_t length);

// Reads the block of `size` bytes at block: none (size 0) gives temporary
// mode; false when the size is not the block's or a field breaks its rule.
bool read_launch_settings(const unsigned char* block, uint64_t size, LaunchSettings* settings);

// The digest as 32 lower-case hex digits and a terminator.
void format_digest(const unsigned char digest[launch_settings_format::digest_bytes],
                   char16_t text[launch_settings_format::digest_text_units + 1]);
