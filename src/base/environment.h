// Environment access. Names are ASCII, widened byte by byte; a variable that
// is unset or empty reads as absent.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace fenzar {

// A copy of a variable's value, freed with its owner.
using EnvironmentCopy = platform::OwnedMemory<char16_t>;

// A copy of the value, not valid when absent. Memory that runs out is the
// failure "couldn't allocate memory".
EnvironmentCopy get_environment_copy(const char* name);
bool set_environment_value(const char* name, const char16_t* value);
bool unset_environment_value(const char* name);
bool set_environment_number(const char* name, int32_t number);

// The variables that tie a launcher to the instance it starts.
namespace variable {
inline constexpr const char* parent = "FENZAR_ONEFILE_PARENT";
inline constexpr const char* start = "FENZAR_ONEFILE_START";
inline constexpr const char* time_us = "FENZAR_ONEFILE_TIME_US";
inline constexpr const char* random = "FENZAR_ONEFILE_RANDOM";
inline constexpr const char* directory = "FENZAR_ONEFILE_DIRECTORY";
inline constexpr const char* original_argv0 = "FENZAR_ORIGINAL_ARGV0";
// The cache content's files directory a parent runs from, handed to the
// instance it starts; that one takes it only with its parent proven.
inline constexpr const char* cache_files = "FENZAR_ONEFILE_CACHE_FILES";
}  // namespace variable

}  // namespace fenzar
