#include "pe_reading.h"

#include <string_view>

#include "byte_io.h"
#include "error.h"
#include "pe_layout.h"

namespace fenzar::pack {

using namespace pe;

std::uint16_t image_subsystem(std::span<const unsigned char> file) {
    const ByteReader in(file, "the executable ends inside its headers");
    const auto headers = read_headers(in);
    if (!headers) throw PackError("not a PE executable");
    return in.u16(headers->optional + optional_subsystem);
}

std::optional<std::span<const unsigned char>> resource_in_image(std::span<const unsigned char> file, std::uint16_t type,
                                                                std::uint16_t id) {
    const ByteReader in(file, "the executable's resources lie outside it");
    auto headers = read_headers(in);
    if (!headers) throw PackError("not a PE executable");
    if (in.u32(headers->optional + optional_directory_count) <= directory_resource) return std::nullopt;
    const std::uint32_t root_rva = in.u32(headers->data_directory(directory_resource));
    if (root_rva == 0) return std::nullopt;
    headers->read_sections(in);
    auto file_offset = [&](std::uint64_t rva) -> std::uint64_t {
        if (const auto offset = headers->file_offset(rva, 1)) return *offset;
        throw PackError("the executable's resources lie outside its sections");
    };
    const std::uint64_t root = file_offset(root_rva);
    // nullopt for `wanted` takes the first entry (the language).
    auto find = [&](std::uint64_t directory, std::optional<std::uint16_t> wanted,
                    bool subdirectory) -> std::optional<std::uint64_t> {
        const std::size_t named = in.u16(directory + resource_named_count);
        const std::size_t numbered = in.u16(directory + resource_numbered_count);
        for (std::size_t i = named; i < named + numbered; ++i) {
            const std::uint64_t entry = directory + resource_directory_size + resource_entry_size * i;
            if (wanted && in.u32(entry + resource_entry_id) != *wanted) continue;
            const std::uint32_t target = in.u32(entry + resource_entry_target);
            if (((target & resource_subdirectory) != 0) != subdirectory) {
                throw PackError("the executable's resource directory is damaged");
            }
            return root + (target & ~resource_subdirectory);
        }
        return std::nullopt;
    };
    const auto by_type = find(root, type, true);
    const auto by_id = by_type ? find(*by_type, id, true) : std::nullopt;
    const auto data_entry = by_id ? find(*by_id, std::nullopt, false) : std::nullopt;
    if (!data_entry) return std::nullopt;
    const std::uint64_t start = file_offset(in.u32(*data_entry + resource_data_address));
    const std::uint32_t size = in.u32(*data_entry + resource_data_size);
    return in.span(start, size);
}

namespace {

constexpr char application_entry[] = "run_code";

// The file offset of the image bytes at `rva`, through the section that
// holds them in the file.
std::uint64_t export_offset(const Headers& image, std::uint64_t rva) {
    if (const auto offset = image.file_offset(rva, 1)) return *offset;
    throw PackError("is not a Windows DLL (its export table lies outside the file)");
}

// The terminated text at `at`, up to 1,024 bytes.
std::string text_at(const ByteReader& in, std::uint64_t at) {
    std::string text;
    for (unsigned char c; text.size() < 1024 && (c = in.u8(at + text.size())) != 0;) text += static_cast<char>(c);
    return text;
}

// Whether the DLL exports `wanted`; when it does not, *decorated is the
// first export that is a C++ compiler's name for a function of that name:
// g++'s and clang's ("_Z8run_code...") or MSVC's ("?run_code@@...").
bool exports_name(const ByteReader& in, const Headers& image, std::uint32_t export_rva, std::string_view wanted,
                  std::string* decorated) {
    const std::uint64_t exports = export_offset(image, export_rva);
    const std::uint32_t names = in.u32(exports + export_name_count);
    const std::uint64_t name_table = names == 0 ? 0 : export_offset(image, in.u32(exports + export_name_table));
    for (std::uint32_t i = 0; i < names; ++i) {
        const std::uint64_t name = export_offset(image, in.u32(name_table + export_name_pointer_size * i));
        const std::string text = text_at(in, name);
        if (text == wanted) return true;
        const std::string itanium = "_Z" + std::to_string(wanted.size()) + std::string(wanted);
        const std::string msvc = "?" + std::string(wanted) + "@@";
        if (decorated->empty() && (text.starts_with(itanium) || text.starts_with(msvc))) *decorated = text;
    }
    return false;
}

// A machine field as the PE format's documents write it, "0x014C".
std::string machine_number(std::uint16_t machine) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(machine));
    return text;
}

}  // namespace

void check_application_library(std::span<const unsigned char> file) {
    const ByteReader in(file, "is not a Windows DLL (the file ends inside its headers)");
    if (file.size() < 2 || file[0] != dos_magic[0] || file[1] != dos_magic[1]) {
        throw PackError("is not a Windows DLL (not a PE image: no \"MZ\")");
    }
    auto image = read_headers(in);
    if (!image) throw PackError("is not a Windows DLL (not a PE image: no \"PE\")");
    if (const std::uint16_t machine = in.u16(image->coff + coff_machine); machine != machine_amd64) {
        throw PackError("is not for x86-64 (its machine is " + machine_number(machine) + ", x86-64 is 0x8664)");
    }
    if (!(in.u16(image->coff + coff_characteristics) & file_dll)) {
        throw PackError("is not a DLL (it is an executable program)");
    }
    if (in.u16(image->optional + optional_magic) != pe32_plus_magic) {
        throw PackError("is not a Windows DLL (not a PE32+ image)");
    }
    const std::uint32_t directory_count = in.u32(image->optional + optional_directory_count);
    const std::uint32_t export_rva =
        directory_count > directory_export ? in.u32(image->data_directory(directory_export)) : 0;
    if (export_rva != 0) image->read_sections(in);
    std::string decorated;
    if (export_rva == 0 || !exports_name(in, *image, export_rva, application_entry, &decorated)) {
        if (!decorated.empty()) {
            throw PackError(std::string("does not export ") + application_entry + ", only '" + decorated +
                            "', the name a C++ compiler gives it: declare it extern \"C\"");
        }
        throw PackError(std::string("does not export ") + application_entry);
    }
}

namespace {

std::string machine_name(std::uint16_t machine) {
    switch (machine) {
        case 0x014C:
            return "x86, 32-bit";
        case 0xAA64:
            return "ARM64";
        case 0x01C4:
            return "ARM, 32-bit";
        case 0x0200:
            return "Itanium";
        default:
            return "machine " + machine_number(machine);
    }
}

}  // namespace

std::uint16_t check_program(std::span<const unsigned char> file) {
    const ByteReader in(file, "is not a Windows program (the file ends inside its headers)");
    if (file.size() < 2 || file[0] != dos_magic[0] || file[1] != dos_magic[1]) {
        throw PackError("is not a Windows program (not a PE image: no \"MZ\")");
    }
    auto image = read_headers(in);
    if (!image) throw PackError("is not a Windows program (not a PE image: no \"PE\")");
    if (const std::uint16_t machine = in.u16(image->coff + coff_machine); machine != machine_amd64) {
        throw PackError("is not for x86-64 (it is for " + machine_name(machine) + ")");
    }
    const std::uint16_t characteristics = in.u16(image->coff + coff_characteristics);
    if (characteristics & file_dll) {
        throw PackError(is_application_library(file)
                            ? "is not a program (it is a DLL that exports run_code: pack it without --exe)"
                            : "is not a program (it is a DLL)");
    }
    if (!(characteristics & file_executable_image)) {
        throw PackError("is not a program (not marked as an executable image)");
    }
    if (in.u16(image->optional + optional_magic) != pe32_plus_magic) {
        throw PackError("is not a Windows program (not a PE32+ image)");
    }
    const std::uint16_t subsystem = in.u16(image->optional + optional_subsystem);
    if (subsystem != 2 && subsystem != 3) {
        throw PackError("is not a Windows program (its subsystem is " + std::to_string(subsystem) +
                        ", neither windows (2) nor console (3))");
    }
    return subsystem;
}

std::uint16_t program_subsystem(std::span<const unsigned char> head) {
    try {
        return check_program(head);
    } catch (const PackError&) {
        return 0;
    }
}

bool is_application_library(std::span<const unsigned char> file) {
    try {
        check_application_library(file);
        return true;
    } catch (const PackError&) {
        return false;
    }
}

std::vector<std::string> imported_libraries(std::span<const unsigned char> file) {
    const ByteReader in(file, "");
    std::vector<std::string> names;
    try {
        auto image = read_headers(in);
        if (!image || in.u32(image->optional + optional_directory_count) <= directory_import) return names;
        const std::uint32_t import_rva = in.u32(image->data_directory(directory_import));
        if (import_rva == 0) return names;
        image->read_sections(in);
        // Descriptors of 20 bytes up to an empty one; the name's address at 12.
        for (std::uint64_t i = 0;; ++i) {
            const auto descriptor = image->file_offset(import_rva + 20 * i, 20);
            if (!descriptor) break;
            const std::uint32_t name_rva = in.u32(*descriptor + 12);
            if (name_rva == 0) break;
            const auto name = image->file_offset(name_rva, 1);
            if (!name) continue;
            names.push_back(text_at(in, *name));
        }
    } catch (const PackError&) {
        // A damaged import table: the names read so far are all it tells.
    }
    return names;
}

}  // namespace fenzar::pack
