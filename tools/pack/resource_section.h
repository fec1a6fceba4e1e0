// The launcher's resource section (.rsrc), written by the packer: the
// manifest, the icon group with its images and the version information.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace fenzar::pack {

inline constexpr std::uint16_t rt_icon = 3;
inline constexpr std::uint16_t rt_group_icon = 14;
inline constexpr std::uint16_t rt_version = 16;
inline constexpr std::uint16_t rt_manifest = 24;

struct Resource {
    std::uint16_t type;
    std::uint16_t id;
    std::vector<unsigned char> data;
};

// The images of an .ico file as RT_ICON 1, 2, ... and the icon group 1 that
// lists them, in the file's order; entries that point at the same bytes
// share one RT_ICON. Throws PackError naming `origin` and saying what is
// wrong when the file is not an icon file, lists more than 256 images, or an
// image lies outside it or is not a PNG or bitmap of its entry's size.
std::vector<Resource> icon_resources(std::span<const unsigned char> ico, const std::string& origin);

// The section's bytes for resources at virtual address `rva`: the directory
// tree (type, id, language 0x0409, all by number), its data entries, then
// the data, each piece 8-byte aligned. Every pair of type and id must be
// unique.
std::vector<unsigned char> resource_section(std::vector<Resource> resources, std::uint32_t rva);

}  // namespace fenzar::pack
