// The re-entered instance loads the application's library from the target
// directory and runs its entry run_code.
#pragma once

#include <cstdint>

#include "base/arguments.h"
#include "child/load_failure.h"

namespace fenzar {

using RunCode = int32_t (*)(int32_t argc, char16_t** argv, const char16_t* library_path);

// Loads the library at library_path (the first record's path, empty when the
// archive has none), with target_directory added to the library search, and
// returns what its run_code returns for the arguments; exits with status 2
// when the library cannot be loaded or lacks run_code, after what
// explanation (the caller's room) can tell of a failed load.
int32_t run_application_library(const char16_t* library_path, const char16_t* target_directory,
                                const SavedArguments& arguments, FailureExplanation& explanation);

}  // namespace fenzar
