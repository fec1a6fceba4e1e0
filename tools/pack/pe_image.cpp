#include "pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "error.h"
#include "byte_io.h"
#include "output_file.h"
#include "payload/data_section.h"

namespace fenzar::pack {

namespace {

using namespace pe;

// Every directory up to the base relocations is needed to check the image.
constexpr std::size_t min_directory_count = directory_base_relocation + 1;
// Windows loads at most 96 sections; the packer adds one.
constexpr std::size_t max_template_sections = 95;

constexpr std::uint32_t resource_section_flags = section_initialized_data | section_read;
constexpr char resource_section_name[] = ".rsrc";

bool power_of_two(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

std::uint64_t align_up(std::uint64_t value, std::uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

std::uint64_t section_end(const SectionHeader& section, std::uint32_t section_alignment) {
    return std::uint64_t{section.virtual_address} + align_up(section.virtual_size, section_alignment);
}

// Sections in the table's order must follow each other in memory without
// gaps, and in the file in the same order.
void check_sections(const TemplateLayout& t, std::uint64_t file_size) {
    std::uint64_t next_address = align_up(t.size_of_headers, t.section_alignment);
    std::uint64_t file_end = t.size_of_headers;
    for (const auto& section : t.headers.sections) {
        const std::string which = "section " + section.name;
        if (section.virtual_address != next_address || section.virtual_size == 0) {
            throw PackError(which + " does not follow the previous one in memory");
        }
        next_address = section_end(section, t.section_alignment);
        if (section.raw_size % t.file_alignment != 0 || section.raw_pointer % t.file_alignment != 0) {
            throw PackError(which + " is not aligned in the file");
        }
        if (section.raw_size == 0) continue;
        const std::uint64_t end = std::uint64_t{section.raw_pointer} + section.raw_size;
        if (section.raw_pointer < file_end || end > file_size) {
            throw PackError(which + " lies outside the file or overlaps another");
        }
        file_end = end;
    }
    if (next_address > 0xFFFFFFFF) throw PackError("the sections pass the 4 GiB limit");
    if (file_end != file_size) throw PackError("the file has bytes after its last section");
}

// Every place that a base relocation fixes up must lie in a section before
// the data section, because the packer moves what follows it.
void check_relocation_sites(const TemplateLayout& t) {
    const std::uint32_t limit = t.headers.sections[t.data_index].virtual_address;
    const auto& section =
        t.headers.sections[*t.headers.section_holding(t.relocation_directory_rva, t.relocation_directory_size)];
    const ByteReader in(t.image, "the relocations end early");
    const std::uint64_t base =
        std::uint64_t{section.raw_pointer} + t.relocation_directory_rva - section.virtual_address;
    std::uint64_t at = 0;
    while (at < t.relocation_directory_size) {
        const std::uint32_t page = in.u32(base + at + relocation_block_page);
        const std::uint32_t block_size = in.u32(base + at + relocation_block_size);
        if (block_size < relocation_block_header_size || block_size % relocation_entry_size != 0 ||
            block_size > t.relocation_directory_size - at) {
            throw PackError("a block of the base relocations has a wrong size");
        }
        for (std::uint64_t entry = relocation_block_header_size; entry < block_size; entry += relocation_entry_size) {
            const std::uint16_t value = in.u16(base + at + entry);
            const unsigned type = value >> relocation_type_shift;
            const unsigned width = type == relocation_dir64 ? 8 : 4;
            if (type != relocation_padding && std::uint64_t{page} + (value & relocation_offset_mask) + width > limit) {
                throw PackError("a base relocation fixes up a place at or after the data section");
            }
        }
        at += block_size;
    }
}

void check_directories(TemplateLayout& t, std::size_t directory_count) {
    const ByteReader in(t.image, "the file ends inside its headers");
    for (std::size_t i = 0; i < directory_count; ++i) {
        const std::uint32_t rva = in.u32(t.headers.data_directory(i));
        const std::uint32_t size = in.u32(t.headers.data_directory(i) + 4);
        if (rva == 0 && size == 0) continue;
        if (i == directory_security) {
            throw PackError("it is signed (a signature would not survive the packer's changes)");
        }
        if (i == directory_resource) throw PackError("it already has resources");
        const auto holder = t.headers.section_holding(rva, size);
        if (!holder) {
            throw PackError("data directory " + std::to_string(i) + " lies outside the sections");
        }
        if (i == directory_base_relocation) {
            t.relocation_directory_rva = rva;
            t.relocation_directory_size = size;
            if (*holder > t.data_index) t.relocation_index = *holder;
        } else if (*holder >= t.data_index) {
            throw PackError("data directory " + std::to_string(i) + " lies in or after the data section");
        }
    }
    const std::size_t after_data = t.headers.sections.size() - 1 - t.data_index;
    if (after_data > (t.relocation_index ? 1u : 0u)) {
        throw PackError("sections other than the base relocations follow the data section");
    }
    if (t.relocation_directory_size != 0) check_relocation_sites(t);
}

}  // namespace

LauncherTemplate read_template(std::span<const unsigned char> image) {
    const ByteReader in(image, "the file ends inside its headers");
    if (image.size() < 2 || image[0] != dos_magic[0] || image[1] != dos_magic[1]) {
        throw PackError("not an executable (no \"MZ\")");
    }
    TemplateLayout t{};
    t.image = image;
    const auto found = read_headers(in);
    if (!found) throw PackError("not a PE image (no \"PE\")");
    t.headers = *found;
    const std::size_t coff = t.headers.coff;
    if (in.u16(coff + coff_machine) != machine_amd64) throw PackError("not an x86-64 image");
    const std::size_t section_count = t.headers.section_count;
    if (section_count == 0 || section_count > max_template_sections) {
        throw PackError("it has " + std::to_string(section_count) + " sections");
    }
    if (in.u32(coff + coff_symbol_table) != 0 || in.u32(coff + coff_symbol_count) != 0) {
        throw PackError("it carries a symbol table (not stripped)");
    }
    const std::uint16_t characteristics = in.u16(coff + coff_characteristics);
    if (!(characteristics & file_executable_image) || (characteristics & file_dll)) {
        throw PackError("not an executable image");
    }
    const std::size_t optional = t.headers.optional;
    const std::size_t optional_size = t.headers.section_table - optional;
    if (in.u16(optional + optional_magic) != pe32_plus_magic) throw PackError("not a PE32+ image");
    const std::size_t directory_count = in.u32(optional + optional_directory_count);
    if (directory_count < min_directory_count || directory_count > max_directory_count ||
        optional_size < optional_directories + directory_entry_size * directory_count) {
        throw PackError("its optional header has a wrong size or directory count");
    }
    t.section_alignment = in.u32(optional + optional_section_alignment);
    t.file_alignment = in.u32(optional + optional_file_alignment);
    if (!power_of_two(t.file_alignment) || t.file_alignment < 512 || t.file_alignment > 65536 ||
        !power_of_two(t.section_alignment) || t.section_alignment < t.file_alignment) {
        throw PackError("its section or file alignment is not valid");
    }
    t.size_of_headers = in.u32(optional + optional_size_of_headers);
    const std::size_t table_end = t.headers.section_table + section_header_size * section_count;
    if (t.size_of_headers > image.size()) throw PackError("the file ends inside its headers");
    if (t.size_of_headers % t.file_alignment != 0 || t.size_of_headers < table_end + section_header_size) {
        throw PackError("its headers have no room for another section header");
    }
    if (std::any_of(image.begin() + static_cast<std::ptrdiff_t>(table_end),
                    image.begin() + static_cast<std::ptrdiff_t>(table_end + section_header_size),
                    [](unsigned char byte) { return byte != 0; })) {
        throw PackError("something follows its section table where a new header would go");
    }

    t.headers.read_sections(in);
    std::optional<std::size_t> data_index;
    for (std::size_t i = 0; i < section_count; ++i) {
        if (t.headers.sections[i].name != FENZAR_DATA_SECTION_NAME) continue;
        if (data_index) throw PackError("it has two sections named " FENZAR_DATA_SECTION_NAME);
        data_index = i;
    }
    if (!data_index) throw PackError("it has no attached data section (" FENZAR_DATA_SECTION_NAME ")");
    t.data_index = *data_index;
    check_sections(t, image.size());

    const SectionHeader& data = t.headers.sections[t.data_index];
    const std::uint32_t forbidden = section_code | section_uninitialized_data | section_execute | section_write;
    if ((data.characteristics & (section_initialized_data | section_read)) !=
            (section_initialized_data | section_read) ||
        (data.characteristics & forbidden) != 0) {
        throw PackError("its data section is not read-only initialised data");
    }
    if (data.virtual_size < FENZAR_DATA_OFFSET || data.raw_size < FENZAR_DATA_OFFSET) {
        throw PackError("its data section is too small for the length constant");
    }
    check_directories(t, directory_count);
    if (in.u16(optional + optional_subsystem) != subsystem_windows_gui) {
        throw PackError("it is not linked for the windows subsystem");
    }
    t.console_entry = in.u32(std::uint64_t{data.raw_pointer} + FENZAR_DATA_CONSOLE_ENTRY_OFFSET);
    const auto entry_section = t.headers.section_holding(t.console_entry, 1);
    if (!entry_section || *entry_section >= t.data_index ||
        !(t.headers.sections[*entry_section].characteristics & section_execute)) {
        throw PackError("its console start-up does not lie in its code");
    }

    const auto& last = t.headers.sections.back();
    if (in.u32(optional + optional_size_of_image) != section_end(last, t.section_alignment)) {
        throw PackError("its SizeOfImage does not match its sections");
    }
    t.size_of_initialized_data = in.u32(optional + optional_size_of_initialized_data);
    if (t.size_of_initialized_data < data.raw_size) {
        throw PackError("its SizeOfInitializedData does not count the data section");
    }
    if (in.u32(optional + optional_checksum) != checksum_of(image, optional + optional_checksum)) {
        throw PackError("its checksum does not match its contents (is the file damaged?)");
    }
    return LauncherTemplate(std::move(t));
}

namespace {

struct DataSectionView {
    std::uint64_t start;
    std::uint64_t room;
    std::uint64_t length;
};

// The data section of an executable written from a template, its attached
// data's length checked against it; nullopt when there is none.
std::optional<DataSectionView> find_data_section(const ByteReader& in) {
    auto headers = read_headers(in);
    if (!headers) throw PackError("not a PE executable");
    headers->read_sections(in);
    for (const SectionHeader& section : headers->sections) {
        if (section.name != FENZAR_DATA_SECTION_NAME) continue;
        const std::uint64_t room = section.file_extent();
        if (room < FENZAR_DATA_OFFSET || !in.holds(section.raw_pointer, room)) {
            throw PackError("the " FENZAR_DATA_SECTION_NAME " section lies outside the file");
        }
        const std::uint64_t length = in.u64(std::uint64_t{section.raw_pointer} + FENZAR_DATA_LENGTH_OFFSET);
        if (length > room - FENZAR_DATA_OFFSET) {
            throw PackError("the length in the " FENZAR_DATA_SECTION_NAME " section does not fit it");
        }
        return DataSectionView{section.raw_pointer, room, length};
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::span<const unsigned char>> attached_data_in_image(std::span<const unsigned char> file) {
    const ByteReader in(file, "the executable ends inside its headers");
    const auto section = find_data_section(in);
    if (!section) return std::nullopt;
    return in.span(section->start + FENZAR_DATA_OFFSET, section->length);
}

std::span<const unsigned char> launch_settings_in_image(std::span<const unsigned char> file) {
    const ByteReader in(file, "the executable ends inside its headers");
    const auto section = find_data_section(in);
    if (!section) return {};
    const std::uint64_t size = in.u32(section->start + FENZAR_DATA_SETTINGS_SIZE_OFFSET);
    if (size > section->room - FENZAR_DATA_OFFSET - section->length) {
        throw PackError("the launch settings' size in the " FENZAR_DATA_SECTION_NAME " section does not fit it");
    }
    return in.span(section->start + FENZAR_DATA_OFFSET + section->length, size);
}

namespace {

// Writes the launcher's bytes in order and sums them for the checksum.
class ImageWriter {
public:
    explicit ImageWriter(std::FILE* out) : out_(out) {}

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
        std::vector<unsigned char> field(4);
        ByteWriter(field).put_u32(0, checksum_.value(written_));
        forget_write_error();
        if (std::fseek(out_, static_cast<long>(checksum_offset), SEEK_SET) != 0) {
            throw PackError(failure + ": " + write_error_text());
        }
        write_output(out_, field, failure);
    }

    std::uint64_t written() const { return written_; }

private:
    static inline const std::string failure = "cannot write the launcher";

    std::FILE* out_;
    Checksum checksum_;
    std::uint64_t written_ = 0;
};

std::uint32_t within_limit(std::uint64_t value) {
    if (value > 0xFFFFFFFF) throw PackError("the launcher would pass the 4 GiB limit of an executable");
    return static_cast<std::uint32_t>(value);
}

}  // namespace

void write_launcher(const LauncherTemplate& launcher, Subsystem kind, std::span<const unsigned char> attached_data,
                    const std::vector<Resource>& resources, std::uint32_t timestamp, std::FILE* out,
                    std::span<const unsigned char> launch_settings) {
    const TemplateLayout& t = launcher.layout();
    const SectionHeader& old_data = t.headers.sections[t.data_index];
    SectionHeader data = old_data;
    data.virtual_size = within_limit(FENZAR_DATA_OFFSET + std::uint64_t{attached_data.size()} + launch_settings.size());
    data.raw_size = within_limit(align_up(data.virtual_size, t.file_alignment));
    const std::uint32_t resource_address = within_limit(section_end(data, t.section_alignment));
    const std::vector<unsigned char> resource_bytes = resource_section(resources, resource_address);
    const SectionHeader rsrc{resource_section_name,
                             within_limit(resource_bytes.size()),
                             resource_address,
                             within_limit(align_up(resource_bytes.size(), t.file_alignment)),
                             within_limit(std::uint64_t{data.raw_pointer} + data.raw_size),
                             resource_section_flags};
    std::optional<SectionHeader> relocations;
    if (t.relocation_index) {
        relocations = t.headers.sections[*t.relocation_index];
        relocations->virtual_address = within_limit(section_end(rsrc, t.section_alignment));
        relocations->raw_pointer = within_limit(std::uint64_t{rsrc.raw_pointer} + rsrc.raw_size);
    }
    const SectionHeader& last = relocations ? *relocations : rsrc;
    const std::uint32_t size_of_image = within_limit(section_end(last, t.section_alignment));

    std::vector<unsigned char> headers(t.image.begin(), t.image.begin() + t.size_of_headers);
    ByteWriter fields(headers);
    const std::size_t coff = t.headers.coff;
    const std::size_t optional = t.headers.optional;
    const std::size_t section_count = t.data_index + (relocations ? 3 : 2);
    fields.put_u16(coff + coff_section_count, static_cast<std::uint16_t>(section_count));
    fields.put_u32(coff + coff_time_date_stamp, timestamp);
    fields.put_u32(
        optional + optional_size_of_initialized_data,
        within_limit(std::uint64_t{t.size_of_initialized_data} - old_data.raw_size + data.raw_size + rsrc.raw_size));
    fields.put_u32(optional + optional_size_of_image, size_of_image);
    fields.put_u32(optional + optional_checksum, 0);
    if (kind == Subsystem::console) {
        fields.put_u16(optional + optional_subsystem, subsystem_windows_cui);
        fields.put_u32(optional + optional_address_of_entry_point, t.console_entry);
    }
    fields.put_u32(t.headers.data_directory(directory_resource), rsrc.virtual_address);
    fields.put_u32(t.headers.data_directory(directory_resource) + 4, rsrc.virtual_size);
    const auto header_at = [&](std::size_t index) { return t.headers.section_table + section_header_size * index; };
    write_section_header(fields, header_at(t.data_index), data);
    fields.fill(header_at(t.data_index + 1), section_header_size, 0);
    write_section_header(fields, header_at(t.data_index + 1), rsrc);
    if (relocations) {
        const SectionHeader& old_relocations = t.headers.sections[*t.relocation_index];
        fields.put_u32(t.headers.data_directory(directory_base_relocation),
                       relocations->virtual_address + (t.relocation_directory_rva - old_relocations.virtual_address));
        // The relocation section's header keeps its other fields but moves
        // one place down, behind the new resource section's.
        fields.put_bytes(header_at(t.data_index + 2),
                         t.image.subspan(header_at(*t.relocation_index), section_header_size));
        write_section_header(fields, header_at(t.data_index + 2), *relocations);
    }

    ImageWriter writer(out);
    writer.write(headers);
    writer.write(t.image.subspan(t.size_of_headers, old_data.raw_pointer - t.size_of_headers));
    std::vector<unsigned char> prefix(FENZAR_DATA_OFFSET);
    ByteWriter(prefix).put_u64(FENZAR_DATA_LENGTH_OFFSET, attached_data.size());
    ByteWriter(prefix).put_u32(FENZAR_DATA_SETTINGS_SIZE_OFFSET, within_limit(launch_settings.size()));
    writer.write(prefix);
    writer.write(attached_data);
    writer.write(launch_settings);
    writer.pad_to(rsrc.raw_pointer);
    writer.write(resource_bytes);
    writer.pad_to(std::uint64_t{rsrc.raw_pointer} + rsrc.raw_size);
    if (relocations) {
        const SectionHeader& old_relocations = t.headers.sections[*t.relocation_index];
        writer.write(t.image.subspan(old_relocations.raw_pointer, old_relocations.raw_size));
    }
    writer.finish(optional + optional_checksum);
}

}  // namespace fenzar::pack
