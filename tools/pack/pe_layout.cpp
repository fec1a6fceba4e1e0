#include "pe_layout.h"

#include <cstring>

namespace fenzar::pack::pe {

std::optional<std::size_t> Headers::section_holding(std::uint64_t rva, std::uint64_t size) const {
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (sections[i].holds(rva, size)) return i;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> Headers::file_offset(std::uint64_t rva, std::uint64_t size) const {
    const auto index = section_holding(rva, size);
    if (!index) return std::nullopt;
    const SectionHeader& section = sections[*index];
    return std::uint64_t{section.raw_pointer} + (rva - section.virtual_address);
}

SectionHeader read_section_header(const ByteReader& image, std::size_t at) {
    const auto name = image.span(at + section_name, section_name_size);
    const char* text = reinterpret_cast<const char*>(name.data());
    return {std::string(text, strnlen(text, section_name_size)),
            image.u32(at + section_virtual_size),
            image.u32(at + section_virtual_address),
            image.u32(at + section_raw_size),
            image.u32(at + section_raw_pointer),
            image.u32(at + section_characteristics)};
}

std::optional<Headers> read_headers(const ByteReader& image) {
    const std::size_t pe = image.u32(dos_pe_offset);
    if (image.u32(pe) != signature) return std::nullopt;
    Headers result;
    result.coff = pe + signature_size;
    result.optional = result.coff + coff_header_size;
    result.section_table = result.optional + image.u16(result.coff + coff_optional_header_size);
    result.section_count = image.u16(result.coff + coff_section_count);
    return result;
}

void Headers::read_sections(const ByteReader& image) {
    sections.clear();
    for (std::size_t i = 0; i < section_count; ++i) {
        sections.push_back(read_section_header(image, section_table + section_header_size * i));
    }
}

void write_section_header(ByteWriter& out, std::size_t at, const SectionHeader& section) {
    unsigned char name[section_name_size] = {};
    std::memcpy(name, section.name.data(), std::min(section_name_size, section.name.size()));
    out.put_bytes(at + section_name, name);
    out.put_u32(at + section_virtual_size, section.virtual_size);
    out.put_u32(at + section_virtual_address, section.virtual_address);
    out.put_u32(at + section_raw_size, section.raw_size);
    out.put_u32(at + section_raw_pointer, section.raw_pointer);
    out.put_u32(at + section_characteristics, section.characteristics);
}

void Checksum::add(std::span<const unsigned char> bytes) {
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

std::uint32_t Checksum::value(std::uint64_t file_length) const {
    std::uint64_t folded = sum_;
    while (folded >> 16) folded = (folded & 0xFFFF) + (folded >> 16);
    return static_cast<std::uint32_t>(folded + file_length);
}

std::uint32_t checksum_of(std::span<const unsigned char> image, std::size_t field) {
    const unsigned char zeros[4] = {};
    Checksum sum;
    sum.add(image.first(field));
    sum.add(zeros);
    sum.add(image.subspan(field + sizeof zeros));
    return sum.value(image.size());
}

}  // namespace fenzar::pack::pe
