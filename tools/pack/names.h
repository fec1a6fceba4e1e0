// Entry names: relative paths in UTF-16 with the backslash between
// components, restricted to what the launcher can write below its target
// directory on Windows.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "payload/attached_data.h"

namespace fenzar::pack {

inline constexpr std::size_t max_name_units = attached_data_format::max_name_units;

// Strict UTF-8 decoding: overlong forms, encoded surrogates and values above
// U+10FFFF give nullopt.
std::optional<std::u16string> utf8_to_utf16(std::string_view text);

// For messages and listings; an unpaired surrogate is shown as \u{XXXX}.
std::string utf16_to_display(std::u16string_view text);

// Returns the reason why the launcher must not receive this name, or an empty
// string when the name is acceptable.
std::string name_problem(std::u16string_view name);

// Joins Linux path components (UTF-8) into an entry name. Throws pack_error
// naming `origin` when a component is not UTF-8, holds a backslash, or the
// joined name breaks a rule of name_problem.
std::u16string entry_name_from_components(const std::vector<std::string>& components,
                                          const std::string& origin);

// Names that Windows treats as the same file: ASCII letters fold to lower
// case, as NTFS does for them by default.
std::u16string fold_name(std::u16string_view name);

}  // namespace fenzar::pack
