#include "child/pe_imports.h"

namespace fenzar {

namespace {

constexpr uint16_t machine_x64 = 0x8664;
constexpr uint16_t magic_pe32_plus = 0x20B;
constexpr size_t coff_header_size = 20;
constexpr size_t section_header_size = 40;
constexpr size_t descriptor_size = 20;
// PE32+: the number of data directories, then the directories themselves;
// the import directory is the second.
constexpr size_t directory_count_offset = 108;
constexpr size_t directories_offset = 112;
constexpr size_t import_directory_index = 1;

// Whether [offset, offset + length) lies inside size bytes, without
// overflowing on crafted numbers.
bool inside(uint64_t offset, uint64_t length, uint64_t size) { return offset <= size && length <= size - offset; }

uint16_t read16(const unsigned char* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }
uint32_t read32(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

}  // namespace

ImageKind read_image_kind(const unsigned char* head, size_t head_size) {
    ImageKind kind;
    if (!inside(0, 0x40, head_size) || head[0] != 'M' || head[1] != 'Z') return kind;
    uint64_t pe = read32(head + 0x3C);
    if (!inside(pe, 4 + coff_header_size + 2, head_size)) return kind;
    const unsigned char* signature = head + pe;
    if (signature[0] != 'P' || signature[1] != 'E' || signature[2] != 0 || signature[3] != 0) return kind;
    const unsigned char* coff = signature + 4;
    uint16_t machine = read16(coff);
    uint16_t section_count = read16(coff + 2);
    uint16_t optional_size = read16(coff + 16);
    uint64_t optional = pe + 4 + coff_header_size;
    if (!inside(optional, optional_size, head_size) || optional_size < 2) return kind;
    kind.is_image = true;
    uint64_t table = optional + optional_size;
    // A section table that does not fit the head is no image a loader maps.
    if (!inside(table, uint64_t{section_count} * section_header_size, head_size)) return kind;
    kind.is_x64 = machine == machine_x64 && read16(head + optional) == magic_pe32_plus;
    if (!kind.is_x64) return kind;
    uint32_t import_rva = 0;
    size_t import_entry = directories_offset + 8 * import_directory_index;
    if (optional_size >= import_entry + 8 &&
        read32(head + optional + directory_count_offset) > import_directory_index) {
        import_rva = read32(head + optional + import_entry);
    }
    for (uint16_t i = 0; i < section_count; ++i) {
        const unsigned char* section = head + table + i * section_header_size;
        uint32_t rva = read32(section + 12);
        uint32_t raw_size = read32(section + 16);
        uint32_t raw_offset = read32(section + 20);
        if (uint64_t{raw_offset} + raw_size > kind.raw_end) kind.raw_end = uint64_t{raw_offset} + raw_size;
        // The loader maps only the raw data; what lies past it is zeros.
        if (kind.section_size != 0 || import_rva == 0 || import_rva < rva || import_rva - rva >= raw_size) continue;
        kind.section_offset = raw_offset;
        kind.section_size = raw_size < import_section_limit ? raw_size : import_section_limit;
        kind.section_rva = rva;
        kind.import_rva = import_rva;
    }
    return kind;
}

bool next_import_name(const ImageKind& kind, const unsigned char* section, size_t size, uint32_t* cursor,
                      char name[import_name_capacity + 1]) {
    if (kind.section_size == 0 || kind.import_rva < kind.section_rva) return false;
    uint64_t first = kind.import_rva - kind.section_rva;
    for (;;) {
        uint64_t at = first + uint64_t{*cursor} * descriptor_size;
        if (!inside(at, descriptor_size, size)) return false;
        const unsigned char* descriptor = section + at;
        bool all_zero = true;
        for (size_t i = 0; i < descriptor_size; ++i) all_zero = all_zero && descriptor[i] == 0;
        if (all_zero) return false;
        ++*cursor;
        uint32_t name_rva = read32(descriptor + 12);
        if (name_rva < kind.section_rva) continue;
        uint64_t offset = name_rva - kind.section_rva;
        size_t length = 0;
        bool ascii = true;
        while (offset + length < size && section[offset + length] != 0 && length <= import_name_capacity) {
            ascii = ascii && section[offset + length] < 0x80;
            ++length;
        }
        if (length == 0 || length > import_name_capacity || offset + length >= size || !ascii) continue;
        for (size_t i = 0; i < length; ++i) name[i] = static_cast<char>(section[offset + i]);
        name[length] = 0;
        return true;
    }
}

}  // namespace fenzar
