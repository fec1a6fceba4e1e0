#include "resource_section.h"

#include <algorithm>
#include <iterator>
#include <map>

#include "error.h"
#include "byte_io.h"
#include "pe_layout.h"

namespace fenzar::pack {

namespace {

constexpr std::uint16_t language_en_us = 0x0409;
using pe::resource_data_entry_size;
using pe::resource_directory_size;
using pe::resource_entry_size;

// A directory table with `count` entries by number at `at`; returns where its
// entries start.
std::size_t put_directory(ByteWriter& out, std::size_t at, std::size_t count) {
    out.put_u16(at + pe::resource_numbered_count, static_cast<std::uint16_t>(count));
    return at + resource_directory_size;
}

void put_entry(ByteWriter& out, std::size_t at, std::uint16_t id, std::uint32_t target) {
    out.put_u32(at + pe::resource_entry_id, id);
    out.put_u32(at + pe::resource_entry_target, target);
}

std::size_t align8(std::size_t value) { return (value + 7) / 8 * 8; }

}  // namespace

namespace {

// More than any real icon has (Windows' own hold up to about ten sizes); a
// bound keeps a crafted directory from multiplying the file.
constexpr std::size_t max_icon_images = 256;

std::string pixels(std::int64_t width, std::int64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

// Why `image` is not what an icon directory entry of this size may point at
// (a PNG file, or a DIB: BITMAPINFOHEADER, colour table, then the XOR
// pixels; the AND mask may follow), or an empty string.
std::string icon_image_problem(std::span<const unsigned char> image, std::uint32_t width, std::uint32_t height) {
    const ByteReader in(image, "the image ends early");
    static constexpr unsigned char png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    constexpr std::size_t png_header_end = 8 + 8 + 13;
    if (image.size() >= sizeof png_signature &&
        std::equal(std::begin(png_signature), std::end(png_signature), image.begin())) {
        if (image.size() < png_header_end || in.u32_big_endian(8) != 13 ||
            !std::equal(image.begin() + 12, image.begin() + 16, "IHDR")) {
            return "is a PNG image without its header (IHDR)";
        }
        const std::uint32_t png_width = in.u32_big_endian(16);
        const std::uint32_t png_height = in.u32_big_endian(20);
        if (png_width != width || png_height != height) {
            return "is a PNG image of " + pixels(png_width, png_height) + " pixels, but its entry says " +
                   pixels(width, height);
        }
        return {};
    }
    constexpr std::size_t info_header_size = 40;
    if (image.size() < info_header_size || in.u32(0) < info_header_size || in.u32(0) > image.size() ||
        in.u16(12) != 1) {
        return "is neither a PNG image nor a bitmap (BITMAPINFOHEADER)";
    }
    const auto dib_width = static_cast<std::int32_t>(in.u32(4));
    const auto dib_height = static_cast<std::int32_t>(in.u32(8));
    const std::uint16_t bits = in.u16(14);
    const std::uint32_t compression = in.u32(16);
    const std::uint32_t colours_used = in.u32(32);
    // An icon's DIB holds the colour image and the mask below each other:
    // twice the height.
    if (dib_width != std::int64_t{width} || dib_height != 2 * std::int64_t{height}) {
        return "is a bitmap of " + pixels(dib_width, dib_height / 2) + " pixels, but its entry says " +
               pixels(width, height);
    }
    if ((bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) || compression != 0) {
        return "is a bitmap of " + std::to_string(bits) + " bits per pixel with compression " +
               std::to_string(compression) + " (icons use 1, 4, 8, 24 or 32 bits, uncompressed)";
    }
    const std::uint64_t colours = bits <= 8 && colours_used == 0 ? std::uint64_t{1} << bits : colours_used;
    const std::uint64_t row = (std::uint64_t{width} * bits + 31) / 32 * 4;
    const std::uint64_t needed = in.u32(0) + 4 * colours + row * height;
    if (needed > image.size()) {
        return "is a bitmap that ends before its pixels (" + std::to_string(needed) + " bytes needed, " +
               std::to_string(image.size()) + " there)";
    }
    return {};
}

}  // namespace

std::vector<Resource> icon_resources(std::span<const unsigned char> ico, const std::string& origin) {
    constexpr std::size_t header_size = 6;
    constexpr std::size_t file_entry_size = 16;
    constexpr std::size_t group_entry_size = 14;
    const ByteReader in(ico, origin + ": not an icon file (.ico)");
    if (ico.size() < header_size || in.u16(0) != 0 || in.u16(2) != 1 || in.u16(4) == 0) {
        throw PackError(origin + ": not an icon file (.ico)");
    }
    const std::uint16_t count = in.u16(4);
    if (count > max_icon_images) {
        throw PackError(origin + ": the icon file lists " + std::to_string(count) + " images, more than the " +
                        std::to_string(max_icon_images) + " allowed");
    }
    if (ico.size() < header_size + file_entry_size * count) {
        throw PackError(origin + ": the icon file ends inside its directory");
    }
    std::vector<Resource> resources;
    Resource group{rt_group_icon, 1, std::vector<unsigned char>(header_size + group_entry_size * count)};
    ByteWriter group_fields(group.data);
    group_fields.put_u16(2, 1);
    group_fields.put_u16(4, count);
    // Entries that point at the same bytes share one image resource.
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint16_t> shared;
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::size_t entry = header_size + file_entry_size * i;
        const std::uint32_t width = ico[entry] == 0 ? 256 : ico[entry];
        const std::uint32_t height = ico[entry + 1] == 0 ? 256 : ico[entry + 1];
        const std::uint32_t size = in.u32(entry + 8);
        const std::uint32_t offset = in.u32(entry + 12);
        const std::string which = origin + ": image " + std::to_string(i + 1) + " of the icon file ";
        if (size == 0 || offset > ico.size() || size > ico.size() - offset) {
            throw PackError(which + "lies outside the file");
        }
        const auto image = ico.subspan(offset, size);
        if (const auto problem = icon_image_problem(image, width, height); !problem.empty()) {
            throw PackError(which + problem);
        }
        const auto next_id = static_cast<std::uint16_t>(resources.size() + 1);
        auto [place, added] = shared.emplace(std::pair{offset, size}, next_id);
        if (added) resources.push_back({rt_icon, place->second, {image.begin(), image.end()}});
        // The group entry is the file's entry (width to size) with the
        // image's resource id in place of its file offset.
        const std::size_t out = header_size + group_entry_size * i;
        std::copy_n(ico.begin() + static_cast<std::ptrdiff_t>(entry), 12,
                    group.data.begin() + static_cast<std::ptrdiff_t>(out));
        group_fields.put_u16(out + 12, place->second);
    }
    resources.push_back(std::move(group));
    return resources;
}

std::vector<unsigned char> resource_section(std::vector<Resource> resources, std::uint32_t rva) {
    // Windows looks entries up by binary search: ids ascend at every level.
    std::sort(resources.begin(), resources.end(),
              [](const Resource& a, const Resource& b) { return a.type != b.type ? a.type < b.type : a.id < b.id; });
    std::map<std::uint16_t, std::size_t> ids_of_type;
    for (const auto& item : resources) ++ids_of_type[item.type];

    // Layout: root, one directory per type, one per id (with its one
    // language), the data entries, the data.
    const std::size_t root = 0;
    std::size_t next = resource_directory_size + resource_entry_size * ids_of_type.size();
    std::map<std::uint16_t, std::size_t> type_directory;
    for (const auto& [type, count] : ids_of_type) {
        type_directory[type] = next;
        next += resource_directory_size + resource_entry_size * count;
    }
    const std::size_t id_directories = next;
    next += (resource_directory_size + resource_entry_size) * resources.size();
    const std::size_t data_entries = next;
    next = align8(next + resource_data_entry_size * resources.size());
    std::vector<std::size_t> data_offsets;
    for (const auto& item : resources) {
        data_offsets.push_back(next);
        next = align8(next + item.data.size());
    }

    std::vector<unsigned char> bytes(next);
    ByteWriter out(bytes);
    std::size_t root_entry = put_directory(out, root, ids_of_type.size());
    for (const auto& [type, count] : ids_of_type) {
        put_entry(out, root_entry, type, pe::resource_subdirectory | static_cast<std::uint32_t>(type_directory[type]));
        put_directory(out, type_directory[type], count);
        root_entry += resource_entry_size;
    }
    std::map<std::uint16_t, std::size_t> filled_of_type;
    for (std::size_t i = 0; i < resources.size(); ++i) {
        const auto& item = resources[i];
        const std::size_t type_entry =
            type_directory[item.type] + resource_directory_size + resource_entry_size * filled_of_type[item.type]++;
        const std::size_t id_directory = id_directories + (resource_directory_size + resource_entry_size) * i;
        put_entry(out, type_entry, item.id, pe::resource_subdirectory | static_cast<std::uint32_t>(id_directory));
        const std::size_t language_entry = put_directory(out, id_directory, 1);
        const std::size_t data_entry = data_entries + resource_data_entry_size * i;
        put_entry(out, language_entry, language_en_us, static_cast<std::uint32_t>(data_entry));
        out.put_u32(data_entry + pe::resource_data_address, rva + static_cast<std::uint32_t>(data_offsets[i]));
        out.put_u32(data_entry + pe::resource_data_size, static_cast<std::uint32_t>(item.data.size()));
        out.put_bytes(data_offsets[i], item.data);
    }
    return bytes;
}

}  // namespace fenzar::pack
