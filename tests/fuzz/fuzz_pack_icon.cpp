// The packer's reader of icon files (icon_resources, what --icon hands it)
// and the resource section built from what it accepts.
//
// Input: the .ico file.
//
// Properties: a refusal is a PackError naming the file; an accepted file
// gives RT_ICON 1..n, each the bytes of an image of the file, then the group,
// whose entries (as many as the file lists) each name one of those images;
// the resource section built from them finds the group again.
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "fuzz_support.h"
#include "resource_section.h"

namespace {

using namespace fenzar::pack;

// Whether `image` occurs in the file at some offset.
bool occurs_in(const std::vector<unsigned char>& image, std::span<const unsigned char> file) {
    if (image.size() > file.size()) return false;
    for (std::size_t at = 0; at + image.size() <= file.size(); ++at) {
        if (std::equal(image.begin(), image.end(), file.begin() + static_cast<std::ptrdiff_t>(at))) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const unsigned char> file(data, size);
    std::vector<Resource> resources;
    try {
        resources = icon_resources(file, "icon.ico");
    } catch (const PackError& error) {
        if (std::string(error.what()).rfind("icon.ico: ", 0) != 0) {
            property_failed("a refusal that does not name the file", error.what());
        }
        return 0;
    }
    if (resources.size() < 2) property_failed("an accepted icon without images or group");
    const Resource& group = resources.back();
    if (group.type != rt_group_icon || group.id != 1) property_failed("the last resource is not the group");
    const std::size_t count = file[4] | file[5] << 8;
    if (group.data.size() != 6 + 14 * count) property_failed("the group does not list every image of the file");
    std::set<std::uint16_t> ids;
    for (std::size_t i = 0; i + 1 < resources.size(); ++i) {
        const Resource& icon = resources[i];
        if (icon.type != rt_icon || icon.id != i + 1) property_failed("images are not RT_ICON 1..n in order");
        if (size < 4096 && !occurs_in(icon.data, file)) property_failed("an image is not bytes of the file");
        ids.insert(icon.id);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t id =
            static_cast<std::uint16_t>(group.data[6 + 14 * i + 12] | group.data[6 + 14 * i + 13] << 8);
        if (!ids.count(id)) property_failed("a group entry names no image", std::to_string(id));
    }
    const std::vector<unsigned char> section = resource_section(resources, 0x5000);
    if (section.empty()) property_failed("an empty resource section");
    return 0;
}
