#include "resource_section.h"

#include <algorithm>
#include <map>

#include "error.h"
#include "little_endian.h"

namespace fenzar::pack {

namespace {

constexpr std::uint16_t language_en_us = 0x0409;
constexpr std::uint32_t subdirectory_flag = 0x80000000;
constexpr std::size_t directory_size = 16;
constexpr std::size_t directory_entry_size = 8;
constexpr std::size_t data_entry_size = 16;

// A directory table with `count` entries by number at `at`; returns where its
// entries start.
std::size_t put_directory(std::vector<unsigned char>& out, std::size_t at, std::size_t count) {
    put_u16(out, at + 14, static_cast<std::uint16_t>(count));
    return at + directory_size;
}

void put_entry(std::vector<unsigned char>& out, std::size_t at, std::uint16_t id,
               std::uint32_t target) {
    put_u32(out, at, id);
    put_u32(out, at + 4, target);
}

std::size_t align8(std::size_t value) { return (value + 7) / 8 * 8; }

}  // namespace

std::vector<resource> icon_resources(std::span<const unsigned char> ico, const std::string& origin) {
    constexpr std::size_t header_size = 6;
    constexpr std::size_t file_entry_size = 16;
    constexpr std::size_t group_entry_size = 14;
    if (ico.size() < header_size || get_u16(ico, 0) != 0 || get_u16(ico, 2) != 1 ||
        get_u16(ico, 4) == 0) {
        throw pack_error(origin + ": not an icon file (.ico)");
    }
    const std::uint16_t count = get_u16(ico, 4);
    if (ico.size() < header_size + file_entry_size * count) {
        throw pack_error(origin + ": the icon file ends inside its directory");
    }
    std::vector<resource> resources;
    resource group{rt_group_icon, 1, std::vector<unsigned char>(header_size + group_entry_size * count)};
    put_u16(group.data, 2, 1);
    put_u16(group.data, 4, count);
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::size_t entry = header_size + file_entry_size * i;
        const std::uint32_t size = get_u32(ico, entry + 8);
        const std::uint32_t offset = get_u32(ico, entry + 12);
        if (size == 0 || offset > ico.size() || size > ico.size() - offset) {
            throw pack_error(origin + ": image " + std::to_string(i + 1) +
                             " of the icon file lies outside the file");
        }
        const auto image = ico.subspan(offset, size);
        resources.push_back({rt_icon, static_cast<std::uint16_t>(i + 1), {image.begin(), image.end()}});
        // The group entry is the file's entry (width to size) with the
        // image's resource id in place of its file offset.
        const std::size_t out = header_size + group_entry_size * i;
        std::copy_n(ico.begin() + static_cast<std::ptrdiff_t>(entry), 12,
                    group.data.begin() + static_cast<std::ptrdiff_t>(out));
        put_u16(group.data, out + 12, static_cast<std::uint16_t>(i + 1));
    }
    resources.push_back(std::move(group));
    return resources;
}

std::vector<unsigned char> resource_section(std::vector<resource> resources, std::uint32_t rva) {
    // Windows looks entries up by binary search: ids ascend at every level.
    std::sort(resources.begin(), resources.end(), [](const resource& a, const resource& b) {
        return a.type != b.type ? a.type < b.type : a.id < b.id;
    });
    std::map<std::uint16_t, std::size_t> ids_of_type;
    for (const auto& item : resources) ++ids_of_type[item.type];

    // Layout: root, one directory per type, one per id (with its one
    // language), the data entries, the data.
    const std::size_t root = 0;
    std::size_t next = directory_size + directory_entry_size * ids_of_type.size();
    std::map<std::uint16_t, std::size_t> type_directory;
    for (const auto& [type, count] : ids_of_type) {
        type_directory[type] = next;
        next += directory_size + directory_entry_size * count;
    }
    const std::size_t id_directories = next;
    next += (directory_size + directory_entry_size) * resources.size();
    const std::size_t data_entries = next;
    next = align8(next + data_entry_size * resources.size());
    std::vector<std::size_t> data_offsets;
    for (const auto& item : resources) {
        data_offsets.push_back(next);
        next = align8(next + item.data.size());
    }

    std::vector<unsigned char> out(next);
    std::size_t root_entry = put_directory(out, root, ids_of_type.size());
    for (const auto& [type, count] : ids_of_type) {
        put_entry(out, root_entry, type, subdirectory_flag | static_cast<std::uint32_t>(type_directory[type]));
        put_directory(out, type_directory[type], count);
        root_entry += directory_entry_size;
    }
    std::map<std::uint16_t, std::size_t> filled_of_type;
    for (std::size_t i = 0; i < resources.size(); ++i) {
        const auto& item = resources[i];
        const std::size_t type_entry = type_directory[item.type] + directory_size +
                                       directory_entry_size * filled_of_type[item.type]++;
        const std::size_t id_directory = id_directories + (directory_size + directory_entry_size) * i;
        put_entry(out, type_entry, item.id, subdirectory_flag | static_cast<std::uint32_t>(id_directory));
        const std::size_t language_entry = put_directory(out, id_directory, 1);
        const std::size_t data_entry = data_entries + data_entry_size * i;
        put_entry(out, language_entry, language_en_us, static_cast<std::uint32_t>(data_entry));
        put_u32(out, data_entry, rva + static_cast<std::uint32_t>(data_offsets[i]));
        put_u32(out, data_entry + 4, static_cast<std::uint32_t>(item.data.size()));
        std::copy(item.data.begin(), item.data.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(data_offsets[i]));
    }
    return out;
}

}  // namespace fenzar::pack
