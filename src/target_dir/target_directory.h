// The directory the application is unpacked into, computed from the built-in
// template by both instances alike.
#pragma once

#include <cstddef>

#include "base/arguments.h"
#include "base/wide.h"

inline constexpr size_t target_directory_capacity = 4096;
using TargetDirectory = WideBuffer<target_directory_capacity>;

// The template the target directory is computed from.
inline constexpr const char16_t* built_in_target_spec = u"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

// Expands the template into target_directory and makes it a full path. False
// when the expansion failed; a full path that does not fit stops at once.
bool resolve_target_directory(TargetDirectory& target_directory, const SavedArguments& arguments);
