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
// PackError when it cannot name a folder or is longer than the launcher
// takes. pack asks before compressing, so that a bad name costs nothing.
std::u16string cache_application_name(std::u16string_view first_record_name);

// The folder's name in the settings: the application's name, shortened to
// leave room, "-" and 8 hex digits of the SHA-256 of the launcher's file
// name as packed (ASCII letters lower-cased, as Windows matches names):
// the key that keeps two applications whose libraries share a name apart,
// while a new build written to the same file name keeps its folder, and
// with it the removal of its old content.
std::u16string cache_folder_name(std::u16string_view application_name, std::u16string_view launcher_file_name);

// The settings block for the attached data whose first record has that
// name, for a launcher written under launcher_file_name (no directory).
std::vector<unsigned char> cache_settings(std::span<const unsigned char> attached_data,
                                          std::u16string_view first_record_name,
                                          std::u16string_view launcher_file_name);

}  // namespace fenzar::pack
