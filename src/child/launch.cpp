#include "child/launch.h"

#include "base/arguments.h"
#include "base/environment.h"
#include "base/report.h"
#include "base/stop.h"
#include "child/cleanup.h"
#include "child/command_line.h"
#include "platform/platform.h"
#include "target_dir/own_path.h"

namespace {

// The directory that holds the launcher's executable, for the application.
WideBuffer<4097> own_directory;

// Never closed: the system closes it when the launcher ends, whichever way,
// and the job then ends the child.
platform::JobHandle child_job{nullptr};

// The path ended at its last backslash, without that backslash.
void copy_directory_part(WideBuffer<4097>& destination, const char16_t* path) {
    copy_wide_bounded(destination, path);
    cut_at_last_backslash(destination.data());
}

}  // namespace

void set_child_environment() {
    fill_plain_own_path();
    copy_directory_part(own_directory, plain_own_path.data());
    set_environment_value(variable::directory, own_directory.data());
    // Without an argv[0] the variable is removed, so that the application does
    // not mistake an inherited value for its own.
    const char16_t* argv0 = saved_arguments.argc > 0 ? saved_arguments.argv[0] : nullptr;
    set_environment_value(variable::original_argv0, argv0);
}

int32_t start_child_and_wait() {
    fill_module_file_name();
    // Without a job the child still runs, only not tied to the launcher.
    child_job = platform::create_kill_on_close_job();
    uint32_t error = 0;
    if (!start_child_process(module_file_name.data(), child_command_line.data(), child_job, &error)) {
        fail_with_system_error(message::launch_child_failed, error);
    }
    uint32_t exit_status = wait_for_child_exit_status();
    // From the first event on, the handler decides how the process ends.
    if (stop_has_begun()) end_with_stop();
    remove_target_directory();
    if (stop_has_begun()) end_with_stop();
    return static_cast<int32_t>(exit_status);
}
