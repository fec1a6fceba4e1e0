// Launcher executables written from the launcher template without any
// toolchain. The template is the launcher as the Windows build links it: a
// PE32+ image whose attached data section (see src/payload/data_section.h)
// follows every other section but the base relocations, and that has no
// resources. A launcher is the template with
//   - the headers and every section before the data section as they are,
//   - the data section holding the length, the launch settings' size, the
//     attached data and the launch settings (none without --cache),
//   - a new resource section after it,
//   - the relocation section moved behind that (its entries name places in
//     the sections before the data section, which keep their addresses),
// and the section table, sizes, data directories, time stamp and checksum
// to match. A console launcher also gets the console subsystem and the C
// runtime's console start-up as its entry point, which the template records
// at the start of its data section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "pe_layout.h"
#include "resource_section.h"

namespace fenzar::pack {

// The two kinds of launcher. A windows-subsystem one (the template as
// linked) starts without a console; a console-subsystem one is attached to
// the console it is started from, or gets a new one.
enum class Subsystem { windows, console };

// What the packer takes from a checked template.
struct TemplateLayout {
    std::span<const unsigned char> image;
    pe::Headers headers;
    std::uint32_t section_alignment;
    std::uint32_t file_alignment;
    std::uint32_t size_of_headers;
    std::uint32_t size_of_initialized_data;
    std::size_t data_index;
    // The relocation section when it follows the data section.
    std::optional<std::size_t> relocation_index;
    std::uint32_t relocation_directory_rva;
    std::uint32_t relocation_directory_size;
    // The console-subsystem start-up, image-relative, in the code.
    std::uint32_t console_entry;
};

// A template whose every field the packer relies on has been checked: only
// read_template makes one. It refers to the template's bytes, which must
// outlive it.
class LauncherTemplate {
public:
    const TemplateLayout& layout() const { return layout_; }

private:
    explicit LauncherTemplate(TemplateLayout layout) : layout_(std::move(layout)) {}
    friend LauncherTemplate read_template(std::span<const unsigned char> image);

    TemplateLayout layout_;
};

// Throws PackError saying what is wrong when `image` is not such a template
// (a damaged file, another program, a signed or resourced image, one linked
// for a subsystem other than windows).
LauncherTemplate read_template(std::span<const unsigned char> image);

// The data section's contents (the attached data, as long as its length
// says) of an executable written from a template; nullopt when the file is
// a PE image without that section. Throws PackError when the section is
// there but its length does not fit it.
std::optional<std::span<const unsigned char>> attached_data_in_image(std::span<const unsigned char> file);

// The launch settings after the attached data (src/payload/launch_settings.h)
// as their size in the data section says: empty without --cache or without
// the section. Throws PackError when the size does not fit the section.
std::span<const unsigned char> launch_settings_in_image(std::span<const unsigned char> file);

// Writes the launcher for `kind` to `out`, a new file open for writing and
// seeking at its start; launch_settings (src/payload/launch_settings.h) go
// right after the data, and their size into the data section's header.
// Throws PackError when the image would pass the format's 4 GiB limit or a
// write fails.
void write_launcher(const LauncherTemplate& launcher, Subsystem kind, std::span<const unsigned char> attached_data,
                    const std::vector<Resource>& resources, std::uint32_t timestamp, std::FILE* out,
                    std::span<const unsigned char> launch_settings = {});

}  // namespace fenzar::pack
