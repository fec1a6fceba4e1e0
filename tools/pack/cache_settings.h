// The launch settings of a launcher made with --cache
// (src/payload/launch_settings.h): the application's name, taken from the
// first record (the application's library) without its extension, and the
// digest of the attached data.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fenzar::pack {

// The application's folder name for the first record's name; throws
// pack_error when it cannot name a folder or is longer than the launcher
// takes. pack asks before compressing, so that a bad name costs nothing.
std::u16string cache_application_name(std::u16string_view first_record_name);

// The settings block for the attached data whose first record has that name.
std::vector<unsigned char> cache_settings(std::span<const unsigned char> attached_data,
                                          std::u16string_view first_record_name);

}  // namespace fenzar::pack
