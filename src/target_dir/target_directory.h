// The directory the application is unpacked into, computed from the built-in
// template by both instances alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/arguments.h"
#include "base/wide.h"

namespace fenzar {

inline constexpr size_t target_directory_capacity = path_capacity;
using TargetDirectory = WideBuffer<target_directory_capacity>;

// The template the target directory is computed from.
inline constexpr const char16_t* built_in_target_spec = u"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

// A launcher packed with --target-base makes its directory below that
// template instead of {TEMP}: the base, then this, the built-in template's
// part after {TEMP}.
inline constexpr const char16_t* launcher_name_spec = u"\\onefile_{PID}_{TIME_US}_{RANDOM}";
// The longest base the launch settings carry, and the name's template.
inline constexpr size_t target_spec_capacity = 1024 + 40;
using TargetSpec = WideBuffer<target_spec_capacity>;
// The template for a base: built_in_target_spec for an empty one (the
// default, unchanged), else the base followed by launcher_name_spec. A base
// longer than the settings allow is an immediate stop.
void make_target_spec(TargetSpec& spec, const char16_t* base);

// The pieces of the name the template gives the directory below {TEMP}, for
// whoever has to recognise one: launcher_name_prefix, the process id, "_",
// TIME_US's digits, "_", RANDOM's token.
inline constexpr char16_t launcher_name_prefix[] = u"onefile_";
inline constexpr size_t time_us_digits = 6;
inline constexpr size_t random_token_length = 11;

// RANDOM's alphabet: base64url, A-Z a-z 0-9 - _.
bool is_random_token_character(char16_t unit);

// Whether text, up to its end, is the part of a launcher directory's name
// after launcher_name_prefix: PID "_" six digits "_" eleven token
// characters, PID a decimal id from 1 to 4294967295 without leading zeros;
// its id into *process_id.
bool read_launcher_name_part(const char16_t* text, uint32_t* process_id);

// Expands the template into target_directory and makes it a full path. False
// when the expansion failed; a full path that does not fit stops at once.
bool resolve_target_directory(TargetDirectory& target_directory, const SavedArguments& arguments);
// The same with a template of make_target_spec's.
bool resolve_target_directory(TargetDirectory& target_directory, const SavedArguments& arguments,
                              const char16_t* target_spec);

}  // namespace fenzar
