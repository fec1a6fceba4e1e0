#include "child/launch.h"

#include "base/environment.h"
#include "base/report.h"
#include "child/load_failure.h"
#include "platform/platform.h"

namespace fenzar {

void set_child_environment(const SavedArguments& arguments, const char16_t* plain_own_path) {
    // The directory that holds the launcher's executable, for the application.
    WideBuffer<path_capacity + 1> own_directory;
    copy_wide_bounded(own_directory, plain_own_path);
    cut_at_last_backslash(own_directory.data());
    set_environment_value(variable::directory, own_directory.data());
    // Without an argv[0] the variable is removed, so that the application does
    // not mistake an inherited value for its own.
    const char16_t* argv0 = arguments.argc > 0 ? arguments.argv[0] : nullptr;
    set_environment_value(variable::original_argv0, argv0);
}

namespace {

void explain(uint32_t error, const char16_t* application, const ProgramChild* program,
             FailureExplanation& explanation) {
    explanation = FailureExplanation{};
    if (program != nullptr) {
        explain_program_failure(error, application, program->target_directory, explanation);
    } else {
        explain_start_failure(error, application, explanation);
    }
}

}  // namespace

int32_t start_child_and_wait(ChildSlot& child, Interruption& interruption, const char16_t* application,
                             ChildCommandLine& child_command_line, FailureExplanation& explanation, BesideWait beside,
                             const ProgramChild* program) {
    // Without a job the child still runs, only not tied to the launcher. A
    // program's own children are the program's work, and end with it; an
    // application's, started from a second instance, are its own business.
    child.job =
        program != nullptr ? platform::create_kill_on_close_job_for_tree() : platform::create_kill_on_close_job();
    uint32_t error = 0;
    if (!start_child_process(child, interruption, application, child_command_line.data(), &error)) {
        explain(error, application, program, explanation);
        report_system_error_about(message::launch_child_failed, error, explanation.file);
        if (!explanation.line.empty()) report_explanation(explanation.line.data());
        fail_after_reports();
    }
    void* begun = beside.begin.is_set() ? beside.begin() : nullptr;
    uint32_t exit_status = wait_for_child_exit_status(child, interruption);
    if (beside.end != nullptr) beside.end(begun);
    // Windows starts a program whose DLL is missing and lets its loader end
    // it: only the status tells. Said only when the files confirm it, so
    // that a program's own status of that value passes in silence.
    uint32_t loader_error = program != nullptr ? loader_failure_error(exit_status) : 0;
    if (loader_error != 0 && !interruption.has_begun()) {
        explain(loader_error, application, program, explanation);
        if (!explanation.line.empty()) {
            report_system_error_about(message::launch_child_failed, loader_error, explanation.file);
            report_explanation(explanation.line.data());
        }
    }
    // From the first event on, the handler decides how the process ends.
    if (interruption.has_begun()) interruption.end_process();
    return static_cast<int32_t>(exit_status);
}

}  // namespace fenzar
