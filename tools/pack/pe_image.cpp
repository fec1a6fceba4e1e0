#include "pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "error.h"
#include "little_endian.h"
#include "output_file.h"
#include "payload/data_section.h"

namespace fenzar::pack {

namespace {

constexpr std::uint16_t machine_amd64 = 0x8664;
constexpr std::uint16_t file_executable_image = 0x0002;
constexpr std::uint16_t file_dll = 0x2000;
constexpr std::uint16_t pe32_plus_magic = 0x20B;
constexpr std::uint32_t section_code = 0x00000020;
constexpr std::uint32_t section_initialized_data = 0x00000040;
constexpr std::uint32_t section_uninitialized_data = 0x00000080;
constexpr std::uint32_t section_execute = 0x20000000;
constexpr std::uint32_t section_read = 0x40000000;
constexpr std::uint32_t section_write = 0x80000000;

constexpr std::size_t coff_header_size = 20;
constexpr std::size_t section_header_size = 40;
// Offsets in the COFF file header (after "PE\0\0").
constexpr std::size_t coff_section_count = 2;
constexpr std::size_t coff_time_date_stamp = 4;
constexpr std::size_t coff_symbol_table = 8;
constexpr std::size_t coff_symbol_count = 12;
constexpr std::size_t coff_optional_header_size = 16;
constexpr std::size_t coff_characteristics = 18;
// Offsets in the PE32+ optional header.
constexpr std::size_t optional_size_of_initialized_data = 8;
constexpr std::size_t optional_address_of_entry_point = 16;
constexpr std::size_t optional_section_alignment = 32;
constexpr std::size_t optional_file_alignment = 36;
constexpr std::size_t optional_size_of_image = 56;
constexpr std::size_t optional_size_of_headers = 60;
constexpr std::size_t optional_checksum = 64;
constexpr std::size_t optional_subsystem = 68;
constexpr std::size_t optional_directory_count = 108;
constexpr std::size_t optional_directories = 112;
constexpr std::size_t directory_resource = 2;
constexpr std::size_t directory_security = 4;
constexpr std::size_t directory_base_relocation = 5;
// Every directory up to the base relocations is needed to check the image.
constexpr std::size_t min_directory_count = directory_base_relocation + 1;
constexpr std::size_t max_directory_count = 16;
constexpr unsigned relocation_padding = 0;
constexpr unsigned relocation_dir64 = 10;
// Windows loads at most 96 sections; the packer adds one.
constexpr std::size_t max_template_sections = 95;
constexpr std::uint16_t subsystem_windows_gui = 2;
constexpr std::uint16_t subsystem_windows_cui = 3;

constexpr std::uint32_t resource_section_flags = section_initialized_data | section_read;
constexpr char resource_section_name[] = ".rsrc";

class bytes_reader {
public:
    bytes_reader(std::span<const unsigned char> bytes, const char* truncated)
        : bytes_(bytes), truncated_(truncated) {}

    unsigned char u8(std::uint64_t at) const {
        require(at, 1);
        return bytes_[at];
    }
    std::uint16_t u16(std::uint64_t at) const {
        require(at, 2);
        return static_cast<std::uint16_t>(bytes_[at] | bytes_[at + 1] << 8);
    }
    std::uint32_t u32(std::uint64_t at) const {
        return u16(at) | static_cast<std::uint32_t>(u16(at + 2)) << 16;
    }
    std::uint64_t u64(std::uint64_t at) const {
        return u32(at) | static_cast<std::uint64_t>(u32(at + 4)) << 32;
    }
    std::string name(std::uint64_t at) const {
        require(at, 8);
        const char* start = reinterpret_cast<const char*>(bytes_.data() + at);
        return std::string(start, strnlen(start, 8));
    }

private:
    void require(std::uint64_t at, std::uint64_t count) const {
        if (at > bytes_.size() || count > bytes_.size() - at) throw pack_error(truncated_);
    }

    std::span<const unsigned char> bytes_;
    const char* truncated_;
};

bool power_of_two(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

std::uint64_t align_up(std::uint64_t value, std::uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// The PE checksum: the file as 16-bit little-endian words added with the
// carries folded back in (a one's complement sum), plus the file's length.
// The CheckSum field itself counts as zero. Pieces are added in file order.
class pe_checksum {
public:
    void add(std::span<const unsigned char> bytes) {
        std::size_t i = 0;
        if (odd_ && !bytes.empty()) {
            sum_ += static_cast<std::uint64_t>(bytes[0]) << 8;
            i = 1;
            odd_ = false;
        }
        for (; i + 2 <= bytes.size(); i += 2) sum_ += bytes[i] | bytes[i + 1] << 8;
        if (i < bytes.size()) {
            sum_ += bytes[i];
            odd_ = true;
        }
    }

    std::uint32_t value(std::uint64_t file_length) const {
        std::uint64_t folded = sum_;
        while (folded >> 16) folded = (folded & 0xFFFF) + (folded >> 16);
        return static_cast<std::uint32_t>(folded + file_length);
    }

private:
    std::uint64_t sum_ = 0;
    bool odd_ = false;
};

std::uint32_t checksum_of(std::span<const unsigned char> image, std::size_t checksum_offset) {
    const unsigned char zeros[4] = {};
    pe_checksum sum;
    sum.add(image.first(checksum_offset));
    sum.add(zeros);
    sum.add(image.subspan(checksum_offset + 4));
    return sum.value(image.size());
}

section_header read_section(const bytes_reader& in, std::size_t at) {
    return {in.name(at),       in.u32(at + 8),  in.u32(at + 12),
            in.u32(at + 16),   in.u32(at + 20), in.u32(at + 36)};
}

std::uint64_t section_end(const section_header& section, std::uint32_t section_alignment) {
    return std::uint64_t{section.virtual_address} + align_up(section.virtual_size, section_alignment);
}

// Sections in the table's order must follow each other in memory without
// gaps, and in the file in the same order.
void check_sections(const launcher_template& t, std::uint64_t file_size) {
    std::uint64_t next_address = align_up(t.size_of_headers, t.section_alignment);
    std::uint64_t file_end = t.size_of_headers;
    for (const auto& section : t.sections) {
        const std::string which = "section " + section.name;
        if (section.virtual_address != next_address || section.virtual_size == 0) {
            throw pack_error(which + " does not follow the previous one in memory");
        }
        next_address = section_end(section, t.section_alignment);
        if (section.raw_size % t.file_alignment != 0 || section.raw_pointer % t.file_alignment != 0) {
            throw pack_error(which + " is not aligned in the file");
        }
        if (section.raw_size == 0) continue;
        const std::uint64_t end = std::uint64_t{section.raw_pointer} + section.raw_size;
        if (section.raw_pointer < file_end || end > file_size) {
            throw pack_error(which + " lies outside the file or overlaps another");
        }
        file_end = end;
    }
    if (next_address > 0xFFFFFFFF) throw pack_error("the sections pass the 4 GiB limit");
    if (file_end != file_size) throw pack_error("the file has bytes after its last section");
}

// The index of the section that holds [rva, rva + size), when one does.
std::optional<std::size_t> section_holding(const launcher_template& t, std::uint64_t rva,
                                           std::uint64_t size) {
    for (std::size_t i = 0; i < t.sections.size(); ++i) {
        const auto& section = t.sections[i];
        const std::uint64_t start = section.virtual_address;
        const std::uint64_t end = start + std::min(section.virtual_size, section.raw_size);
        if (rva >= start && rva < end && rva + size <= end) return i;
    }
    return std::nullopt;
}

// Every place that a base relocation fixes up must lie in a section before
// the data section, because the packer moves what follows it.
void check_relocation_sites(const launcher_template& t) {
    const std::uint32_t limit = t.sections[t.data_index].virtual_address;
    const auto& section = t.sections[*section_holding(t, t.relocation_directory_rva,
                                                      t.relocation_directory_size)];
    const bytes_reader in(t.image, "the relocations end early");
    const std::uint64_t base =
        std::uint64_t{section.raw_pointer} + t.relocation_directory_rva - section.virtual_address;
    std::uint64_t at = 0;
    while (at < t.relocation_directory_size) {
        const std::uint32_t page = in.u32(base + at);
        const std::uint32_t block_size = in.u32(base + at + 4);
        if (block_size < 8 || block_size % 2 != 0 || block_size > t.relocation_directory_size - at) {
            throw pack_error("a block of the base relocations has a wrong size");
        }
        for (std::uint64_t entry = 8; entry < block_size; entry += 2) {
            const std::uint16_t value = in.u16(base + at + entry);
            const unsigned type = value >> 12;
            const unsigned width = type == relocation_dir64 ? 8 : 4;
            if (type != relocation_padding && std::uint64_t{page} + (value & 0xFFF) + width > limit) {
                throw pack_error("a base relocation fixes up a place at or after the data section");
            }
        }
        at += block_size;
    }
}

void check_directories(launcher_template& t, std::size_t directory_count, std::size_t directories) {
    const bytes_reader in(t.image, "the file ends inside its headers");
    for (std::size_t i = 0; i < directory_count; ++i) {
        const std::uint32_t rva = in.u32(directories + 8 * i);
        const std::uint32_t size = in.u32(directories + 8 * i + 4);
        if (rva == 0 && size == 0) continue;
        if (i == directory_security) {
            throw pack_error("it is signed (a signature would not survive the packer's changes)");
        }
        if (i == directory_resource) throw pack_error("it already has resources");
        const auto holder = section_holding(t, rva, size);
        if (!holder) {
            throw pack_error("data directory " + std::to_string(i) + " lies outside the sections");
        }
        if (i == directory_base_relocation) {
            t.relocation_directory_rva = rva;
            t.relocation_directory_size = size;
            if (*holder > t.data_index) t.relocation_index = *holder;
        } else if (*holder >= t.data_index) {
            throw pack_error("data directory " + std::to_string(i) +
                             " lies in or after the data section");
        }
    }
    const std::size_t after_data = t.sections.size() - 1 - t.data_index;
    if (after_data > (t.relocation_index ? 1u : 0u)) {
        throw pack_error("sections other than the base relocations follow the data section");
    }
    if (t.relocation_directory_size != 0) check_relocation_sites(t);
}

}  // namespace

launcher_template read_template(std::span<const unsigned char> image) {
    const bytes_reader in(image, "the file ends inside its headers");
    if (image.size() < 2 || image[0] != 'M' || image[1] != 'Z') throw pack_error("not an executable (no \"MZ\")");
    launcher_template t{};
    t.image = image;
    t.pe_offset = in.u32(0x3C);
    if (in.u32(t.pe_offset) != 0x00004550) throw pack_error("not a PE image (no \"PE\")");
    const std::size_t coff = t.pe_offset + 4;
    if (in.u16(coff) != machine_amd64) throw pack_error("not an x86-64 image");
    const std::size_t section_count = in.u16(coff + coff_section_count);
    if (section_count == 0 || section_count > max_template_sections) {
        throw pack_error("it has " + std::to_string(section_count) + " sections");
    }
    if (in.u32(coff + coff_symbol_table) != 0 || in.u32(coff + coff_symbol_count) != 0) {
        throw pack_error("it carries a symbol table (not stripped)");
    }
    const std::uint16_t characteristics = in.u16(coff + coff_characteristics);
    if (!(characteristics & file_executable_image) || (characteristics & file_dll)) {
        throw pack_error("not an executable image");
    }
    const std::size_t optional = coff + coff_header_size;
    const std::size_t optional_size = in.u16(coff + coff_optional_header_size);
    if (in.u16(optional) != pe32_plus_magic) throw pack_error("not a PE32+ image");
    const std::size_t directory_count = in.u32(optional + optional_directory_count);
    if (directory_count < min_directory_count || directory_count > max_directory_count ||
        optional_size < optional_directories + 8 * directory_count) {
        throw pack_error("its optional header has a wrong size or directory count");
    }
    t.section_alignment = in.u32(optional + optional_section_alignment);
    t.file_alignment = in.u32(optional + optional_file_alignment);
    if (!power_of_two(t.file_alignment) || t.file_alignment < 512 || t.file_alignment > 65536 ||
        !power_of_two(t.section_alignment) || t.section_alignment < t.file_alignment) {
        throw pack_error("its section or file alignment is not valid");
    }
    t.size_of_headers = in.u32(optional + optional_size_of_headers);
    const std::size_t table = optional + optional_size;
    const std::size_t table_end = table + section_header_size * section_count;
    if (t.size_of_headers > image.size()) throw pack_error("the file ends inside its headers");
    if (t.size_of_headers % t.file_alignment != 0 || t.size_of_headers < table_end + section_header_size) {
        throw pack_error("its headers have no room for another section header");
    }
    if (std::any_of(image.begin() + static_cast<std::ptrdiff_t>(table_end),
                    image.begin() + static_cast<std::ptrdiff_t>(table_end + section_header_size),
                    [](unsigned char byte) { return byte != 0; })) {
        throw pack_error("something follows its section table where a new header would go");
    }

    std::optional<std::size_t> data_index;
    for (std::size_t i = 0; i < section_count; ++i) {
        t.sections.push_back(read_section(in, table + section_header_size * i));
        if (t.sections.back().name != FENZAR_DATA_SECTION_NAME) continue;
        if (data_index) throw pack_error("it has two sections named " FENZAR_DATA_SECTION_NAME);
        data_index = i;
    }
    if (!data_index) throw pack_error("it has no attached data section (" FENZAR_DATA_SECTION_NAME ")");
    t.data_index = *data_index;
    check_sections(t, image.size());

    const section_header& data = t.sections[t.data_index];
    const std::uint32_t forbidden = section_code | section_uninitialized_data | section_execute | section_write;
    if ((data.characteristics & (section_initialized_data | section_read)) !=
            (section_initialized_data | section_read) ||
        (data.characteristics & forbidden) != 0) {
        throw pack_error("its data section is not read-only initialised data");
    }
    if (data.virtual_size < FENZAR_DATA_OFFSET || data.raw_size < FENZAR_DATA_OFFSET) {
        throw pack_error("its data section is too small for the length constant");
    }
    check_directories(t, directory_count, optional + optional_directories);
    if (in.u16(optional + optional_subsystem) != subsystem_windows_gui) {
        throw pack_error("it is not linked for the windows subsystem");
    }
    t.console_entry = in.u32(std::uint64_t{data.raw_pointer} + FENZAR_DATA_CONSOLE_ENTRY_OFFSET);
    const auto entry_section = section_holding(t, t.console_entry, 1);
    if (!entry_section || *entry_section >= t.data_index ||
        !(t.sections[*entry_section].characteristics & section_execute)) {
        throw pack_error("its console start-up does not lie in its code");
    }

    const auto& last = t.sections.back();
    if (in.u32(optional + optional_size_of_image) != section_end(last, t.section_alignment)) {
        throw pack_error("its SizeOfImage does not match its sections");
    }
    t.size_of_initialized_data = in.u32(optional + optional_size_of_initialized_data);
    if (t.size_of_initialized_data < data.raw_size) {
        throw pack_error("its SizeOfInitializedData does not count the data section");
    }
    if (in.u32(optional + optional_checksum) != checksum_of(image, optional + optional_checksum)) {
        throw pack_error("its checksum does not match its contents (is the file damaged?)");
    }
    return t;
}

std::optional<std::span<const unsigned char>> attached_data_in_image(
    std::span<const unsigned char> file) {
    const bytes_reader in(file, "the executable ends inside its headers");
    const std::size_t pe = in.u32(0x3C);
    if (in.u32(pe) != 0x00004550) throw pack_error("not a PE executable");
    const std::size_t count = in.u16(pe + 4 + coff_section_count);
    const std::size_t table = pe + 4 + coff_header_size + in.u16(pe + 4 + coff_optional_header_size);
    for (std::size_t i = 0; i < count; ++i) {
        const section_header section = read_section(in, table + section_header_size * i);
        if (section.name != FENZAR_DATA_SECTION_NAME) continue;
        const std::uint64_t room = std::min(section.virtual_size, section.raw_size);
        if (room < FENZAR_DATA_OFFSET || std::uint64_t{section.raw_pointer} + room > file.size()) {
            throw pack_error("the " FENZAR_DATA_SECTION_NAME " section lies outside the file");
        }
        const std::uint64_t length = in.u64(std::uint64_t{section.raw_pointer} + FENZAR_DATA_LENGTH_OFFSET);
        if (length > room - FENZAR_DATA_OFFSET) {
            throw pack_error("the length in the " FENZAR_DATA_SECTION_NAME " section does not fit it");
        }
        return file.subspan(section.raw_pointer + FENZAR_DATA_OFFSET, static_cast<std::size_t>(length));
    }
    return std::nullopt;
}

std::uint16_t image_subsystem(std::span<const unsigned char> file) {
    const bytes_reader in(file, "the executable ends inside its headers");
    const std::size_t pe = in.u32(0x3C);
    if (in.u32(pe) != 0x00004550) throw pack_error("not a PE executable");
    return in.u16(pe + 4 + coff_header_size + optional_subsystem);
}

std::optional<std::span<const unsigned char>> resource_in_image(std::span<const unsigned char> file,
                                                                std::uint16_t type, std::uint16_t id) {
    const bytes_reader in(file, "the executable's resources lie outside it");
    const std::size_t pe = in.u32(0x3C);
    if (in.u32(pe) != 0x00004550) throw pack_error("not a PE executable");
    const std::size_t optional = pe + 4 + coff_header_size;
    if (in.u32(optional + optional_directory_count) <= directory_resource) return std::nullopt;
    const std::uint32_t root_rva = in.u32(optional + optional_directories + 8 * directory_resource);
    if (root_rva == 0) return std::nullopt;
    const std::size_t count = in.u16(pe + 4 + coff_section_count);
    const std::size_t table = optional + in.u16(pe + 4 + coff_optional_header_size);
    auto file_offset = [&](std::uint64_t rva) -> std::uint64_t {
        for (std::size_t i = 0; i < count; ++i) {
            const section_header section = read_section(in, table + section_header_size * i);
            const std::uint64_t start = section.virtual_address;
            if (rva >= start && rva < start + std::min(section.virtual_size, section.raw_size)) {
                return std::uint64_t{section.raw_pointer} + (rva - start);
            }
        }
        throw pack_error("the executable's resources lie outside its sections");
    };
    const std::uint64_t root = file_offset(root_rva);
    // A directory's entries by number follow those by name; the high bit of
    // an entry's offset marks a subdirectory. nullopt for `wanted` takes the
    // first entry (the language).
    auto find = [&](std::uint64_t directory, std::optional<std::uint16_t> wanted,
                    bool subdirectory) -> std::optional<std::uint64_t> {
        const std::size_t named = in.u16(directory + 12);
        const std::size_t numbered = in.u16(directory + 14);
        for (std::size_t i = named; i < named + numbered; ++i) {
            const std::uint64_t entry = directory + 16 + 8 * i;
            if (wanted && in.u32(entry) != *wanted) continue;
            const std::uint32_t target = in.u32(entry + 4);
            if (((target & 0x80000000) != 0) != subdirectory) {
                throw pack_error("the executable's resource directory is damaged");
            }
            return root + (target & 0x7FFFFFFF);
        }
        return std::nullopt;
    };
    const auto by_type = find(root, type, true);
    const auto by_id = by_type ? find(*by_type, id, true) : std::nullopt;
    const auto data_entry = by_id ? find(*by_id, std::nullopt, false) : std::nullopt;
    if (!data_entry) return std::nullopt;
    const std::uint64_t start = file_offset(in.u32(*data_entry));
    const std::uint32_t size = in.u32(*data_entry + 4);
    if (start > file.size() || size > file.size() - start) {
        throw pack_error("the executable's resources lie outside it");
    }
    return file.subspan(static_cast<std::size_t>(start), size);
}

namespace {

constexpr std::size_t directory_export = 0;
constexpr std::size_t export_name_count = 24;
constexpr std::size_t export_name_table = 32;
constexpr char application_entry[] = "run_code";

// The file offset of the image bytes at `rva`, through the section that
// holds them in the file.
std::uint64_t file_offset_of(const bytes_reader& in, std::size_t table, std::size_t count,
                             std::uint64_t rva) {
    for (std::size_t i = 0; i < count; ++i) {
        const section_header section = read_section(in, table + section_header_size * i);
        if (rva >= section.virtual_address && rva - section.virtual_address < section.raw_size) {
            return section.raw_pointer + (rva - section.virtual_address);
        }
    }
    throw pack_error("is not a Windows DLL (its export table lies outside the file)");
}

bool exports_name(const bytes_reader& in, std::size_t table, std::size_t count,
                  std::uint32_t export_rva, std::string_view wanted) {
    const std::uint64_t exports = file_offset_of(in, table, count, export_rva);
    const std::uint32_t names = in.u32(exports + export_name_count);
    const std::uint64_t name_table =
        names == 0 ? 0 : file_offset_of(in, table, count, in.u32(exports + export_name_table));
    for (std::uint32_t i = 0; i < names; ++i) {
        const std::uint64_t name = file_offset_of(in, table, count, in.u32(name_table + 4 * i));
        std::size_t k = 0;
        while (k < wanted.size() && in.u8(name + k) == static_cast<unsigned char>(wanted[k])) ++k;
        if (k == wanted.size() && in.u8(name + k) == 0) return true;
    }
    return false;
}

}  // namespace

void check_application_library(std::span<const unsigned char> file) {
    const bytes_reader in(file, "is not a Windows DLL (the file ends inside its headers)");
    if (file.size() < 2 || file[0] != 'M' || file[1] != 'Z') {
        throw pack_error("is not a Windows DLL (not a PE image: no \"MZ\")");
    }
    const std::size_t pe = in.u32(0x3C);
    if (in.u32(pe) != 0x00004550) {
        throw pack_error("is not a Windows DLL (not a PE image: no \"PE\")");
    }
    const std::size_t coff = pe + 4;
    if (const std::uint16_t machine = in.u16(coff); machine != machine_amd64) {
        char text[8];
        std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(machine));
        throw pack_error(std::string("is not for x86-64 (its machine is 0x") + text +
                         ", x86-64 is 0x8664)");
    }
    if (!(in.u16(coff + coff_characteristics) & file_dll)) {
        throw pack_error("is not a DLL (it is an executable program)");
    }
    const std::size_t optional = coff + coff_header_size;
    if (in.u16(optional) != pe32_plus_magic) {
        throw pack_error("is not a Windows DLL (not a PE32+ image)");
    }
    const std::size_t count = in.u16(coff + coff_section_count);
    const std::size_t table = optional + in.u16(coff + coff_optional_header_size);
    const std::uint32_t directory_count = in.u32(optional + optional_directory_count);
    const std::uint32_t export_rva =
        directory_count > directory_export
            ? in.u32(optional + optional_directories + 8 * directory_export)
            : 0;
    if (export_rva == 0 || !exports_name(in, table, count, export_rva, application_entry)) {
        throw pack_error(std::string("does not export ") + application_entry);
    }
}

namespace {

// Writes the launcher's bytes in order and sums them for the checksum.
class image_writer {
public:
    explicit image_writer(std::FILE* out) : out_(out) {}

    void write(std::span<const unsigned char> bytes) {
        if (bytes.empty()) return;
        checksum_.add(bytes);
        write_output(out_, bytes, failure);
        written_ += bytes.size();
    }

    void pad_to(std::uint64_t offset) {
        static const unsigned char zeros[4096] = {};
        while (written_ < offset) {
            write({zeros, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof zeros, offset - written_))});
        }
    }

    // Writes the checksum into its field, which was written as zero.
    void finish(std::uint64_t checksum_offset) {
        unsigned char field[4];
        const std::uint32_t value = checksum_.value(written_);
        for (int i = 0; i < 4; ++i) field[i] = static_cast<unsigned char>(value >> (8 * i));
        forget_write_error();
        if (std::fseek(out_, static_cast<long>(checksum_offset), SEEK_SET) != 0) {
            throw pack_error(failure + ": " + write_error_text());
        }
        write_output(out_, field, failure);
    }

    std::uint64_t written() const { return written_; }

private:
    static inline const std::string failure = "cannot write the launcher";

    std::FILE* out_;
    pe_checksum checksum_;
    std::uint64_t written_ = 0;
};

void put_section(std::vector<unsigned char>& headers, std::size_t at, const section_header& section) {
    std::memset(&headers[at], 0, 8);
    std::memcpy(&headers[at], section.name.data(), std::min<std::size_t>(8, section.name.size()));
    put_u32(headers, at + 8, section.virtual_size);
    put_u32(headers, at + 12, section.virtual_address);
    put_u32(headers, at + 16, section.raw_size);
    put_u32(headers, at + 20, section.raw_pointer);
    put_u32(headers, at + 36, section.characteristics);
}

std::uint32_t within_limit(std::uint64_t value) {
    if (value > 0xFFFFFFFF) throw pack_error("the launcher would pass the 4 GiB limit of an executable");
    return static_cast<std::uint32_t>(value);
}

}  // namespace

void write_launcher(const launcher_template& t, subsystem kind, std::span<const unsigned char> attached_data,
                    const std::vector<resource>& resources, std::uint32_t timestamp, std::FILE* out) {
    const section_header& old_data = t.sections[t.data_index];
    section_header data = old_data;
    data.virtual_size = within_limit(FENZAR_DATA_OFFSET + std::uint64_t{attached_data.size()});
    data.raw_size = within_limit(align_up(data.virtual_size, t.file_alignment));
    const std::uint32_t resource_address = within_limit(section_end(data, t.section_alignment));
    const std::vector<unsigned char> resource_bytes = resource_section(resources, resource_address);
    const section_header rsrc{resource_section_name,
                              within_limit(resource_bytes.size()),
                              resource_address,
                              within_limit(align_up(resource_bytes.size(), t.file_alignment)),
                              within_limit(std::uint64_t{data.raw_pointer} + data.raw_size),
                              resource_section_flags};
    std::vector<section_header> moved = {data, rsrc};
    if (t.relocation_index) {
        section_header relocations = t.sections[*t.relocation_index];
        relocations.virtual_address = within_limit(section_end(rsrc, t.section_alignment));
        relocations.raw_pointer = within_limit(std::uint64_t{rsrc.raw_pointer} + rsrc.raw_size);
        moved.push_back(relocations);
    }
    const std::uint32_t size_of_image = within_limit(section_end(moved.back(), t.section_alignment));

    std::vector<unsigned char> headers(t.image.begin(), t.image.begin() + t.size_of_headers);
    const std::size_t coff = t.pe_offset + 4;
    const std::size_t optional = coff + coff_header_size;
    const std::size_t table = optional + (headers[coff + coff_optional_header_size] |
                                          headers[coff + coff_optional_header_size + 1] << 8);
    put_u16(headers, coff + coff_section_count, static_cast<std::uint16_t>(t.data_index + moved.size()));
    put_u32(headers, coff + coff_time_date_stamp, timestamp);
    put_u32(headers, optional + optional_size_of_initialized_data,
            within_limit(std::uint64_t{t.size_of_initialized_data} - old_data.raw_size + data.raw_size +
                         rsrc.raw_size));
    put_u32(headers, optional + optional_size_of_image, size_of_image);
    put_u32(headers, optional + optional_checksum, 0);
    if (kind == subsystem::console) {
        put_u16(headers, optional + optional_subsystem, subsystem_windows_cui);
        put_u32(headers, optional + optional_address_of_entry_point, t.console_entry);
    }
    const std::size_t directories = optional + optional_directories;
    put_u32(headers, directories + 8 * directory_resource, rsrc.virtual_address);
    put_u32(headers, directories + 8 * directory_resource + 4, rsrc.virtual_size);
    if (t.relocation_index) {
        const auto& old_relocations = t.sections[*t.relocation_index];
        put_u32(headers, directories + 8 * directory_base_relocation,
                moved.back().virtual_address + (t.relocation_directory_rva - old_relocations.virtual_address));
    }
    for (std::size_t i = 0; i < moved.size(); ++i) {
        const std::size_t at = table + section_header_size * (t.data_index + i);
        if (i == 2) {
            // The relocation section's header keeps its other fields but
            // moves one place down, behind the new resource section's.
            std::memcpy(&headers[at], &t.image[table + section_header_size * *t.relocation_index],
                        section_header_size);
        } else if (i == 1) {
            std::memset(&headers[at], 0, section_header_size);
        }
        put_section(headers, at, moved[i]);
    }

    image_writer writer(out);
    writer.write(headers);
    writer.write(t.image.subspan(t.size_of_headers, old_data.raw_pointer - t.size_of_headers));
    unsigned char prefix[FENZAR_DATA_OFFSET] = {};
    for (int i = 0; i < 8; ++i) {
        prefix[FENZAR_DATA_LENGTH_OFFSET + i] = static_cast<unsigned char>(std::uint64_t{attached_data.size()} >> (8 * i));
    }
    writer.write(prefix);
    writer.write(attached_data);
    writer.pad_to(rsrc.raw_pointer);
    writer.write(resource_bytes);
    writer.pad_to(std::uint64_t{rsrc.raw_pointer} + rsrc.raw_size);
    if (t.relocation_index) {
        const auto& old_relocations = t.sections[*t.relocation_index];
        writer.write(t.image.subspan(old_relocations.raw_pointer, old_relocations.raw_size));
    }
    writer.finish(optional + optional_checksum);
}

}  // namespace fenzar::pack
