#include "launcher/launcher_main.h"

#include <cstdlib>

#include "base/arguments.h"
#include "base/environment.h"
#include "base/report.h"
#include "child/cleanup.h"
#include "child/command_line.h"
#include "child/launch.h"
#include "child/library_mode.h"
#include "launcher/run_mode.h"
#include "payload/reader.h"
#include "platform/platform.h"
#include "target_dir/own_path.h"
#include "target_dir/target_directory.h"
#include "unpack/unpack.h"

RunMode run_mode = RunMode::parent;

RunMode detect_run_mode() {
    char16_t* value = get_environment_copy(variable::parent);
    if (value == nullptr) return RunMode::parent;
    int32_t process_id = 0;
    bool parsed = parse_decimal_strict(value, &process_id);
    std::free(value);
    if (!parsed) return RunMode::parent;
    uint32_t error = 0;
    switch (runs_same_executable(static_cast<uint32_t>(process_id), &error)) {
        case SameExecutable::yes: return RunMode::reentered;
        case SameExecutable::no: return RunMode::parent;
        case SameExecutable::unknown: break;
    }
    // Neither mode is safe: as a parent it would unpack and start a child
    // that may meet the same wall, one after another.
    fail_with_system_error(message::examine_parent_failed, error);
}

void prepare_parent_environment() {
    unset_environment_value(variable::start);
    unset_environment_value(variable::time_us);
    unset_environment_value(variable::random);
    set_environment_number(variable::parent, static_cast<int32_t>(platform::current_process_id()));
}

// Parent mode, before anything is written: the console control handler, and
// the cleanup that every exit with status 2 runs from then on.
void register_parent_cleanups() {
    if (!platform::add_console_control_handler(console_control_handler)) {
        fail_with_message(message::register_handler_failed);
    }
    set_failure_cleanup(clean_up_after_failure);
}

void reset_run_mode_state() {
    run_mode = RunMode::parent;
    saved_arguments = {};
    set_failure_cleanup(nullptr);
}

int launcher_main(int argc, char16_t** argv, const unsigned char* attached_data, uint64_t attached_data_length) {
    saved_arguments = {argc, argv};
    platform::remove_current_directory_from_library_search();
    run_mode = detect_run_mode();
    if (run_mode == RunMode::parent) prepare_parent_environment();
    if (!resolve_target_directory()) report_spec_failure(built_in_target_spec);
    if (run_mode == RunMode::parent) register_parent_cleanups();
    open_payload({attached_data, attached_data_length});
    // The result goes back to the C runtime's start-up code, whose exit
    // flushes the streams the application may share with the launcher and
    // ends with ExitProcess, so that a runtime of the application's own
    // writes out its buffers at DLL_PROCESS_DETACH. Ending here in any way
    // that skips those (TerminateProcess, _exit) loses what it never flushed.
    if (run_mode == RunMode::reentered) {
        return run_application_library(find_first_entry_path(target_directory.data()));
    }
    // The limits of the child's start are known before anything is created:
    // an own path or a command line that does not fit stops here, with
    // nothing on disk, instead of after a whole unpacking.
    build_child_command_line();
    unpack_into_new_directory(target_directory.data());
    set_child_environment();
    return start_child_and_wait();
}
