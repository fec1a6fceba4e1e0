// The reader of a PE file's kind and import names: a small image built
// here, then the ways a damaged or crafted file can lie about it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "child/pe_imports.h"

namespace fenzar {

namespace {

void put16(std::vector<unsigned char>& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<unsigned char>(value);
    bytes[at + 1] = static_cast<unsigned char>(value >> 8);
}
void put32(std::vector<unsigned char>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

constexpr size_t pe_offset = 0x80;
constexpr size_t optional_offset = pe_offset + 24;
constexpr uint16_t optional_size = 240;
constexpr size_t section_table = optional_offset + optional_size;
constexpr uint32_t idata_rva = 0x2000;
constexpr uint32_t idata_offset = 0x400;
constexpr uint32_t idata_size = 0x200;

// A PE32+ image with a .text section and an .idata section whose import
// directory names names, in order, ended by a zero descriptor.
std::vector<unsigned char> image(const std::vector<std::string>& names, uint16_t machine = 0x8664,
                                 uint16_t magic = 0x20B) {
    std::vector<unsigned char> bytes(idata_offset + idata_size);
    bytes[0] = 'M';
    bytes[1] = 'Z';
    put32(bytes, 0x3C, pe_offset);
    std::memcpy(&bytes[pe_offset], "PE\0\0", 4);
    put16(bytes, pe_offset + 4, machine);
    put16(bytes, pe_offset + 6, 2);
    put16(bytes, pe_offset + 20, optional_size);
    put16(bytes, optional_offset, magic);
    put32(bytes, optional_offset + 108, 16);
    put32(bytes, optional_offset + 120, idata_rva);
    put32(bytes, optional_offset + 124, 20 * (names.size() + 1));
    const char* section_names[] = {".text", ".idata"};
    uint32_t rvas[] = {0x1000, idata_rva};
    uint32_t offsets[] = {0x200, idata_offset};
    for (int i = 0; i < 2; ++i) {
        size_t header = section_table + 40 * i;
        std::memcpy(&bytes[header], section_names[i], std::strlen(section_names[i]));
        put32(bytes, header + 8, 0x200);
        put32(bytes, header + 12, rvas[i]);
        put32(bytes, header + 16, 0x200);
        put32(bytes, header + 20, offsets[i]);
    }
    // The descriptors, then the names after them.
    uint32_t name_at = 20 * static_cast<uint32_t>(names.size() + 1);
    for (size_t i = 0; i < names.size(); ++i) {
        put32(bytes, idata_offset + 20 * i, idata_rva + name_at);  // an import lookup table, as linkers write
        put32(bytes, idata_offset + 20 * i + 12, idata_rva + name_at);
        std::memcpy(&bytes[idata_offset + name_at], names[i].c_str(), names[i].size() + 1);
        name_at += static_cast<uint32_t>(names[i].size() + 1);
    }
    return bytes;
}

// Everything the reader finds in the file's bytes, as the launcher reads
// them: the head, then the import section from its offset.
struct Found {
    ImageKind kind;
    std::vector<std::string> names;
};

Found read_all(const std::vector<unsigned char>& file) {
    Found found;
    found.kind = read_image_kind(file.data(), file.size() < image_head_size ? file.size() : image_head_size);
    if (found.kind.section_size == 0) return found;
    std::vector<unsigned char> section;
    if (found.kind.section_offset < file.size()) {
        size_t available = file.size() - found.kind.section_offset;
        size_t size = available < found.kind.section_size ? available : found.kind.section_size;
        section.assign(file.begin() + static_cast<long>(found.kind.section_offset),
                       file.begin() + static_cast<long>(found.kind.section_offset + size));
    }
    uint32_t cursor = 0;
    char name[import_name_capacity + 1];
    while (next_import_name(found.kind, section.data(), section.size(), &cursor, name)) found.names.push_back(name);
    return found;
}

TEST(PeImports, ReadsTheKindAndTheImportNamesInOrder) {
    Found found = read_all(image({"KERNEL32.dll", "neighbour_lib.dll", "msvcrt.dll"}));
    EXPECT_TRUE(found.kind.is_image);
    EXPECT_TRUE(found.kind.is_x64);
    // A file shorter than this is cut.
    EXPECT_EQ(found.kind.raw_end, idata_offset + idata_size);
    EXPECT_EQ(found.names, (std::vector<std::string>{"KERNEL32.dll", "neighbour_lib.dll", "msvcrt.dll"}));
}

TEST(PeImports, ImagesOfOtherKindsAreNoX64Images) {
    struct Case {
        const char* label;
        std::vector<unsigned char> file;
        bool is_image;
    };
    std::vector<unsigned char> no_mz = image({"a.dll"});
    no_mz[0] = 'Z';
    std::vector<unsigned char> no_pe = image({"a.dll"});
    no_pe[pe_offset + 1] = 'X';
    std::vector<unsigned char> far_pe = image({"a.dll"});
    put32(far_pe, 0x3C, 0xFFFFFFF0u);
    std::vector<unsigned char> short_optional = image({"a.dll"});
    put16(short_optional, pe_offset + 20, 0xFFFF);
    Case cases[] = {
        {"i386", image({"a.dll"}, 0x14C, 0x10B), true},
        {"arm64", image({"a.dll"}, 0xAA64), true},
        {"x64 machine, PE32 header", image({"a.dll"}, 0x8664, 0x10B), true},
        {"no MZ", no_mz, false},
        {"no PE signature", no_pe, false},
        {"PE header past the end", far_pe, false},
        {"optional header past the end", short_optional, false},
        {"empty", {}, false},
    };
    for (const Case& c : cases) {
        Found found = read_all(c.file);
        EXPECT_EQ(found.kind.is_image, c.is_image) << c.label;
        EXPECT_FALSE(found.kind.is_x64) << c.label;
        EXPECT_TRUE(found.names.empty()) << c.label;
    }
}

// Whatever a file says, names come only from its bytes, whole and ASCII, and
// the reading ends.
TEST(PeImports, CraftedNumbersGiveFewerNamesNeverAReadOutside) {
    std::vector<unsigned char> good = image({"one.dll", "two.dll"});
    auto with = [&](size_t at, uint32_t value) {
        std::vector<unsigned char> bytes = good;
        put32(bytes, at, value);
        return bytes;
    };
    size_t first_name = idata_offset + 12;
    size_t idata_header = section_table + 40;
    struct Case {
        const char* label;
        std::vector<unsigned char> file;
        std::vector<std::string> names;
    };
    std::vector<unsigned char> long_name = image({std::string(import_name_capacity + 1, 'x') + ".dll", "b.dll"});
    std::vector<unsigned char> high_byte = image({"caf\xE9.dll", "b.dll"});
    std::vector<unsigned char> unterminated = good;
    // Fill the section after the descriptors with letters: no name ends.
    std::memset(&unterminated[idata_offset + 60], 'a', idata_size - 60);
    std::vector<unsigned char> no_end = good;
    // Descriptors all the way to the section's end, none of them zero.
    for (size_t at = idata_offset; at + 20 <= no_end.size(); at += 20) put32(no_end, at + 12, 0xFFFFFF00u);
    Case cases[] = {
        {"name before the section", with(first_name, 0x10), {"two.dll"}},
        {"name past the section", with(first_name, idata_rva + idata_size + 5), {"two.dll"}},
        {"name at the very end", with(first_name, idata_rva + idata_size - 1), {"two.dll"}},
        {"name too long", long_name, {"b.dll"}},
        {"name not ASCII", high_byte, {"b.dll"}},
        {"names never ending", unterminated, {}},
        {"descriptors never ending", no_end, {}},
        {"import directory in no section", with(optional_offset + 120, 0x9000), {}},
        {"section count past the head",
         [&] {
             std::vector<unsigned char> bytes = good;
             put16(bytes, pe_offset + 6, 0xFFFF);
             return bytes;
         }(),
         {}},
        {"section data past the file", with(idata_header + 20, 0x7FFFFFFF), {}},
        {"huge section size", with(idata_header + 16, 0xFFFFFFFF), {"one.dll", "two.dll"}},
        {"one data directory only", with(optional_offset + 108, 1), {}},
    };
    for (const Case& c : cases) {
        Found found = read_all(c.file);
        EXPECT_EQ(found.names, c.names) << c.label;
        EXPECT_LE(found.kind.section_size, import_section_limit) << c.label;
    }
}

// A file cut anywhere gives the names that lie wholly before the cut.
TEST(PeImports, AFileCutShortGivesTheNamesBeforeTheCut) {
    std::vector<unsigned char> whole = image({"one.dll", "two.dll"});
    for (size_t size = 0; size <= whole.size(); ++size) {
        std::vector<unsigned char> cut(whole.begin(), whole.begin() + static_cast<long>(size));
        Found found = read_all(cut);
        EXPECT_LE(found.names.size(), 2u) << size;
        for (const std::string& name : found.names) EXPECT_TRUE(name == "one.dll" || name == "two.dll") << size;
        if (size == whole.size()) EXPECT_EQ(found.names.size(), 2u);
    }
}

}  // namespace

}  // namespace fenzar
