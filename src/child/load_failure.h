// Explaining why the application's library or the child did not start: one
// line after the platform's error, naming what can be told from the files
// and the error (a policy or a virus scanner that refused a file, a file
// that is no 64-bit image, an import found nowhere).
#pragma once

#include <cstdint>

#include "base/wide.h"
#include "child/pe_imports.h"

namespace fenzar {

// The caller's: the run holds one (launcher/run.h), so that no function
// keeps an explanation of its own.
struct FailureExplanation {
    // Empty when nothing more can be told.
    WideBuffer<6000> line;
    // The file the error is about, for the "%1" of the platform's text.
    const char16_t* file = nullptr;
    // Where file points when the walk found it: a DLL that is no 64-bit
    // image, named after the walk's memory has gone.
    WideBuffer<path_capacity + 1 + import_name_capacity> found_file;
};

// Whether code is one of the errors with which application control (AppLocker,
// WDAC, Smart App Control) or a virus scanner refuses a file.
bool is_policy_refusal(uint32_t code);

// After the load of library_path failed with code: the library's own
// directory and target_directory are where the packed DLLs lie.
void explain_load_failure(uint32_t code, const char16_t* library_path, const char16_t* target_directory,
                          FailureExplanation& explanation);
// After the start of program as the child failed with code.
void explain_start_failure(uint32_t code, const char16_t* program, FailureExplanation& explanation);
// After the start of a packed program (an executable in target_directory)
// failed with code, or its loader ended it with a status that
// loader_failure_error maps to code: what explain_load_failure tells of a
// library, said of the program.
void explain_program_failure(uint32_t code, const char16_t* program, const char16_t* target_directory,
                             FailureExplanation& explanation);
// The system error that stands for a status with which the loader ends a
// program before it runs (a DLL not found, an image of another kind); 0
// for any other status.
uint32_t loader_failure_error(uint32_t exit_status);

}  // namespace fenzar
