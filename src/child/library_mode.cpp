#include "child/library_mode.h"

#include "base/report.h"
#include "child/load_failure.h"
#include "platform/platform.h"

namespace fenzar {

// A re-entered instance whose archive holds no record has no library to run.
// It ends like one that finds no library at the path: "Error, load DLL." with
// the file-not-found code and status 2, which its parent passes on before it
// removes the target directory. It starts nothing, so no chain of instances
// can follow.
int32_t run_application_library(const char16_t* library_path, const char16_t* target_directory,
                                const SavedArguments& arguments, FailureExplanation& explanation) {
    if (library_path[0] == 0) fail_with_system_error(message::load_library_failed, platform::error_file_not_found);
    platform::add_library_directory(target_directory);
    platform::ModuleHandle library = platform::load_library(library_path);
    if (!library.valid()) {
        uint32_t code = platform::last_error();
        // The platform's line stays as it is; what the files tell follows it.
        explain_load_failure(code, library_path, target_directory, explanation);
        report_system_error_about(message::load_library_failed, code, explanation.file);
        if (!explanation.line.empty()) report_explanation(explanation.line.data());
        fail_after_reports();
    }
    void* entry = platform::find_library_export(library, "run_code");
    if (entry == nullptr) fail_with_message(message::entry_point_not_found);
    auto run_code = reinterpret_cast<RunCode>(entry);
    return run_code(arguments.argc, arguments.argv, library_path);
}

}  // namespace fenzar
