// The launch settings that a launcher carries after its attached data
// (src/payload/launch_settings.h), from what the packer was asked for.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fenzar::pack {

struct SettingsRequest {
    // --cache: the cache block, named after the first record.
    bool cache = false;
    // --exe: the first record is a program, started as the child.
    bool runs_program = false;
    // --target-base: the template fresh directories are made below; empty
    // for %TEMP%.
    std::u16string target_base;
};

// The settings for the attached data whose first record has that name, for
// a launcher written under launcher_file_name (no directory): nothing when
// nothing was asked for, the cache block alone for --cache alone (what
// launchers have always carried), the extended form otherwise.
std::vector<unsigned char> settings_block(const SettingsRequest& request, std::span<const unsigned char> attached_data,
                                          std::u16string_view first_record_name,
                                          std::u16string_view launcher_file_name);

}  // namespace fenzar::pack
