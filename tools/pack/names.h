// Entry names: relative paths in UTF-16 with the backslash between
// components, restricted to what the launcher can write below its target
// directory on Windows.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "payload/attached_data.h"

namespace fenzar::pack {

inline constexpr std::size_t max_name_units = attached_data_format::max_name_units;

// Strict UTF-8 decoding: overlong forms, encoded surrogates and values above
// U+10FFFF give nullopt.
std::optional<std::u16string> utf8_to_utf16(std::string_view text);

// The same, but an encoded unpaired surrogate is taken as that unit
// (generalized UTF-8): what utf16_to_wtf8 makes of any UTF-16 text, so that
// Windows command-line arguments survive the trip through char strings.
std::optional<std::u16string> wtf8_to_utf16(std::string_view text);
std::string utf16_to_wtf8(std::u16string_view text);

// For messages and listings; an unpaired surrogate is shown as \u{XXXX}.
std::string utf16_to_display(std::u16string_view text);

// A path for messages, in UTF-8 on Linux and Windows alike.
std::string display_path(const std::filesystem::path& path);

// One file name as a component of an entry name: a Linux name is bytes,
// decoded as UTF-8; a Windows name is UTF-16 already. Throws PackError naming
// `origin` when a Linux name is not UTF-8 or holds a backslash.
std::u16string name_component(const std::filesystem::path& file_name, const std::filesystem::path& origin);

// Orders name components by code point, which is the byte order of their
// UTF-8 forms: directory entries are taken in this order on either system.
bool component_less(std::u16string_view a, std::u16string_view b);

// Returns the reason why the launcher must not receive this name, or an empty
// string when the name is acceptable.
std::string name_problem(std::u16string_view name);

// Joins components into an entry name. Throws PackError naming `origin` when
// the joined name breaks a rule of name_problem.
std::u16string entry_name_from_components(const std::vector<std::u16string>& components,
                                          const std::filesystem::path& origin);

// Two names the launcher cannot write together: one is a file that is also a
// directory of the other (`x` and `x\\y`, also in another case, as
// fold_name compares). Returns the indexes of the file and of the name below
// it, or nullopt; a name may repeat.
std::optional<std::pair<std::size_t, std::size_t>> find_file_under_directory_clash(
    const std::vector<std::u16string>& names);

// Names that Windows' file systems treat as one file fold to the same name:
// every UTF-16 unit becomes its uppercase unit, the one-to-one comparison
// NTFS makes with its upcase table (see uppercase_table.inc).
std::u16string fold_name(std::u16string_view name);

}  // namespace fenzar::pack
