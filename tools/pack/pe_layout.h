// The layout of a PE32+ image, as far as the packer reads or writes it: every
// offset, size and flag of the headers, the section table, the resource
// directory and the export directory, and the one reader of the headers and
// the section table that everything reading an image shares.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "byte_io.h"

namespace fenzar::pack::pe {

// The DOS header: "MZ", and where the PE signature lies.
inline constexpr unsigned char dos_magic[2] = {'M', 'Z'};
inline constexpr std::size_t dos_pe_offset = 0x3C;
inline constexpr std::uint32_t signature = 0x00004550;  // "PE\0\0"
inline constexpr std::size_t signature_size = 4;

// The COFF file header, after the signature.
inline constexpr std::size_t coff_header_size = 20;
inline constexpr std::size_t coff_machine = 0;
inline constexpr std::size_t coff_section_count = 2;
inline constexpr std::size_t coff_time_date_stamp = 4;
inline constexpr std::size_t coff_symbol_table = 8;
inline constexpr std::size_t coff_symbol_count = 12;
inline constexpr std::size_t coff_optional_header_size = 16;
inline constexpr std::size_t coff_characteristics = 18;
inline constexpr std::uint16_t machine_amd64 = 0x8664;
inline constexpr std::uint16_t file_executable_image = 0x0002;
inline constexpr std::uint16_t file_dll = 0x2000;

// The PE32+ optional header, after the COFF header.
inline constexpr std::size_t optional_magic = 0;
inline constexpr std::size_t optional_size_of_initialized_data = 8;
inline constexpr std::size_t optional_address_of_entry_point = 16;
inline constexpr std::size_t optional_section_alignment = 32;
inline constexpr std::size_t optional_file_alignment = 36;
inline constexpr std::size_t optional_size_of_image = 56;
inline constexpr std::size_t optional_size_of_headers = 60;
inline constexpr std::size_t optional_checksum = 64;
inline constexpr std::size_t optional_subsystem = 68;
inline constexpr std::size_t optional_directory_count = 108;
inline constexpr std::size_t optional_directories = 112;
inline constexpr std::uint16_t pe32_plus_magic = 0x20B;
// A PE32 (32-bit) optional header has the same fields up to the subsystem,
// then 32-bit stack and heap sizes, so its directories come 16 bytes earlier.
inline constexpr std::uint16_t pe32_magic = 0x10B;
inline constexpr std::size_t optional_directory_count_pe32 = 92;
inline constexpr std::size_t optional_directories_pe32 = 96;
inline constexpr std::uint16_t subsystem_windows_gui = 2;
inline constexpr std::uint16_t subsystem_windows_cui = 3;

// Data directories: an address and a size each, in this order.
inline constexpr std::size_t directory_entry_size = 8;
inline constexpr std::size_t directory_export = 0;
inline constexpr std::size_t directory_import = 1;
inline constexpr std::size_t directory_resource = 2;
inline constexpr std::size_t directory_security = 4;
inline constexpr std::size_t directory_base_relocation = 5;
inline constexpr std::size_t max_directory_count = 16;

// A section header.
inline constexpr std::size_t section_header_size = 40;
inline constexpr std::size_t section_name = 0;
inline constexpr std::size_t section_name_size = 8;
inline constexpr std::size_t section_virtual_size = 8;
inline constexpr std::size_t section_virtual_address = 12;
inline constexpr std::size_t section_raw_size = 16;
inline constexpr std::size_t section_raw_pointer = 20;
inline constexpr std::size_t section_characteristics = 36;
inline constexpr std::uint32_t section_code = 0x00000020;
inline constexpr std::uint32_t section_initialized_data = 0x00000040;
inline constexpr std::uint32_t section_uninitialized_data = 0x00000080;
inline constexpr std::uint32_t section_execute = 0x20000000;
inline constexpr std::uint32_t section_read = 0x40000000;
inline constexpr std::uint32_t section_write = 0x80000000;

// Base relocations: blocks of a page address, the block's size and 16-bit
// entries (type in the top 4 bits, offset in the page below).
inline constexpr std::size_t relocation_block_page = 0;
inline constexpr std::size_t relocation_block_size = 4;
inline constexpr std::size_t relocation_block_header_size = 8;
inline constexpr std::size_t relocation_entry_size = 2;
inline constexpr unsigned relocation_type_shift = 12;
inline constexpr std::uint16_t relocation_offset_mask = 0xFFF;
inline constexpr unsigned relocation_padding = 0;
inline constexpr unsigned relocation_dir64 = 10;

// The resource directory: tables of entries by name, then by number; an
// entry's target with the high bit set is a subdirectory, else a data entry
// (the data's address and size).
inline constexpr std::size_t resource_directory_size = 16;
inline constexpr std::size_t resource_named_count = 12;
inline constexpr std::size_t resource_numbered_count = 14;
inline constexpr std::size_t resource_entry_size = 8;
inline constexpr std::size_t resource_entry_id = 0;
inline constexpr std::size_t resource_entry_target = 4;
inline constexpr std::uint32_t resource_subdirectory = 0x80000000;
inline constexpr std::size_t resource_data_entry_size = 16;
inline constexpr std::size_t resource_data_address = 0;
inline constexpr std::size_t resource_data_size = 4;

// The export directory.
inline constexpr std::size_t export_name_count = 24;
inline constexpr std::size_t export_name_table = 32;
inline constexpr std::size_t export_name_pointer_size = 4;

struct SectionHeader {
    std::string name;
    std::uint32_t virtual_size;
    std::uint32_t virtual_address;
    std::uint32_t raw_size;
    std::uint32_t raw_pointer;
    std::uint32_t characteristics;

    // The bytes of the section that are both in the file and in memory.
    std::uint32_t file_extent() const { return std::min(virtual_size, raw_size); }
    // Whether [rva, rva + size) lies in those bytes.
    bool holds(std::uint64_t rva, std::uint64_t size) const {
        return rva >= virtual_address && rva - virtual_address < file_extent() &&
               size <= file_extent() - (rva - virtual_address);
    }
};

// Where an image's headers lie, and its section table.
struct Headers {
    std::size_t coff;      // the COFF header
    std::size_t optional;  // the optional header
    std::size_t section_table;
    std::size_t section_count;
    // Empty until read_sections.
    std::vector<SectionHeader> sections;

    void read_sections(const ByteReader& image);

    // The section holding [rva, rva + size) in the file, if one does.
    std::optional<std::size_t> section_holding(std::uint64_t rva, std::uint64_t size) const;
    // The file offset of the image bytes at `rva`, through that section.
    std::optional<std::uint64_t> file_offset(std::uint64_t rva, std::uint64_t size) const;
    std::size_t data_directory(std::size_t index) const {
        return optional + optional_directories + directory_entry_size * index;
    }
};

// Finds the headers and the section table of `image` (the DOS header's "MZ"
// is its caller's to check, each with its own message); the sections are
// read by read_sections, after whatever checks the caller makes first.
// nullopt when there is no PE signature where the DOS header points; a field
// outside the image throws the reader's error.
std::optional<Headers> read_headers(const ByteReader& image);

SectionHeader read_section_header(const ByteReader& image, std::size_t at);
// Writes `section` over the header at `at`: name, addresses, sizes and
// characteristics; the other fields (relocations and line numbers of
// objects) stay as they are.
void write_section_header(ByteWriter& out, std::size_t at, const SectionHeader& section);

// The PE checksum: the file as 16-bit little-endian words added with the
// carries folded back in (a one's complement sum), plus the file's length.
// The CheckSum field itself counts as zero. Pieces are added in file order.
class Checksum {
public:
    void add(std::span<const unsigned char> bytes);
    std::uint32_t value(std::uint64_t file_length) const;

private:
    std::uint64_t sum_ = 0;
    bool odd_ = false;
};

// The checksum of a whole image whose CheckSum field is at `field`.
std::uint32_t checksum_of(std::span<const unsigned char> image, std::size_t field);

}  // namespace fenzar::pack::pe
