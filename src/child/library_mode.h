// The re-entered instance loads the application's library from the target
// directory and runs its entry run_code.
#pragma once

#include <cstdint>

using RunCode = int32_t (*)(int32_t argc, char16_t** argv, const char16_t* library_path);

// Loads the library at library_path (the first record's path, empty when the
// archive has none) and returns what its run_code returns; exits with status
// 2 when the library cannot be loaded or lacks run_code.
int32_t run_application_library(const char16_t* library_path);
