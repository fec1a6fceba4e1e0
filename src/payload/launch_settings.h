// What a launcher knows of how to run beside its attached data: whether it
// keeps the unpacked application in a per-user cache, and under which name
// and digest; whether its first record is a program to start rather than a
// library to load; and where its fresh directories are made. The packer
// writes the settings right after the attached data and their size into the
// data section's header (data_section.h); a launcher without settings
// unpacks its library into a fresh directory below %TEMP%.
//
// Two forms, told apart by their size. The cache block alone (152 bytes) is
// what a launcher made with only --cache carries. Any other size is the
// extended form: the cache block first, all zero when the launcher keeps no
// cache, then records, each
//   0   4 bytes   its tag
//   4   4 bytes   its payload's length in bytes
//   8             the payload, zero-padded to a multiple of 8 bytes
// in ascending tag order, each tag at most once:
//   1 (program)      4 bytes, 1: the first record is a program, started as
//                    the child in place of a second instance
//   2 (target base)  the template of the directory the fresh directories
//                    are made in, UTF-16LE, 1 to 1024 units, no zero
// An unknown tag, padding that is not zero or a record that runs past the
// end is no launcher's.
//
// The cache block, little-endian:
//   0   16 bytes  the digest of the attached data (the first 16 bytes of its
//                 SHA-256), named in the cache as 32 lower-case hex digits
//   16  2 bytes   the application's name length in UTF-16 units, 1 to 64
//   18  6 bytes   zero
//   24  128 bytes the name, UTF-16LE, zero after its length
#pragma once

#include <cstddef>
#include <cstdint>

namespace fenzar {

namespace launch_settings_format {

inline constexpr size_t block_bytes = 152;
inline constexpr size_t digest_bytes = 16;
inline constexpr size_t name_length_offset = 16;
inline constexpr size_t name_offset = 24;
inline constexpr size_t max_name_units = 64;
inline constexpr size_t digest_text_units = 2 * digest_bytes;

// The folder below the user's local application data that holds every
// cached application's folder (named by the block's name).
inline constexpr char16_t cache_root_folder[] = u"Fenzar";

inline constexpr size_t record_header_bytes = 8;
inline constexpr uint32_t program_tag = 1;
inline constexpr uint32_t target_base_tag = 2;
inline constexpr size_t max_target_base_units = 1024;

}  // namespace launch_settings_format

struct LaunchSettings {
    bool cache = false;
    unsigned char digest[launch_settings_format::digest_bytes] = {};
    // The application's name: one path component that the record-name rule
    // accepts (record_name.h), terminated.
    char16_t name[launch_settings_format::max_name_units + 1] = {};
    // The first record is a program that the parent starts as its child.
    bool runs_program = false;
    // The template below which fresh directories are made in place of
    // {TEMP}, terminated; empty for {TEMP}.
    char16_t target_base[launch_settings_format::max_target_base_units + 1] = {};
};

// 1 to 64 units that the record-name rule accepts as one component (no
// backslash), not ending in a dot or a space, which Windows would drop from
// a folder's name.
bool is_usable_application_name(const char16_t* name, size_t length);

// Reads the settings of `size` bytes at block: none (size 0) gives the
// defaults; false when either form's rules are broken.
bool read_launch_settings(const unsigned char* block, uint64_t size, LaunchSettings* settings);

// The digest as 32 lower-case hex digits and a terminator.
void format_digest(const unsigned char digest[launch_settings_format::digest_bytes],
                   char16_t text[launch_settings_format::digest_text_units + 1]);

}  // namespace fenzar
