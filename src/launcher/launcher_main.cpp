#include <cstdlib>

#include "child/cleanup.h"
#include "child/command_line.h"
#include "child/launch.h"
#include "child/library_mode.h"
#include "launcher/environment.h"
#include "launcher/report.h"
#include "launcher/state.h"
#include "payload/reader.h"
#include "platform/platform.h"
#include "target/expand_spec.h"
#include "target/own_path.h"
#include "unpack/unpack.h"

SavedArguments saved_arguments;
RunMode run_mode = RunMode::parent;
WideBuffer<target_directory_capacity> target_directory;

RunMode detect_run_mode() {
    char16_t* value = get_environment_copy(variable::parent);
    if (value == nullptr) return RunMode::parent;
    int32_t process_id = 0;
    bool parsed = parse_decimal_strict(value, &process_id);
    std::free(value);
    if (!parsed) return RunMode::parent;
    if (runs_same_executable(static_cast<uint32_t>(process_id))) return RunMode::reentered;
    return RunMode::parent;
}

void prepare_parent_environment() {
    unset_environment_value(variable::start);
    unset_environment_value(variable::time_us);
    unset_environment_value(variable::random);
    set_environment_number(variable::parent, static_cast<int32_t>(platform::current_process_id()));
}

bool resolve_target_directory() {
    bool expanded = expand_spec(target_directory.data(), built_in_target_spec, target_directory_capacity);
    make_full_path_in_place(target_directory.data(), target_directory_capacity);
    return expanded;
}

int launcher_main(int argc, char16_t** argv) {
    saved_arguments = {argc, argv};
    platform::remove_current_directory_from_library_search();
    run_mode = detect_run_mode();
    if (run_mode == RunMode::parent) prepare_parent_environment();
    if (!resolve_target_directory()) report_spec_failure(built_in_target_spec);
    if (run_mode == RunMode::parent && !platform::add_console_control_handler(console_control_handler)) {
        fail_with_message(message::register_handler_failed);
    }
    open_payload();
    unpack_archive();
    if (run_mode == RunMode::reentered) return run_application_library();
    set_child_environment();
    build_child_command_line();
    return start_child_and_wait();
}
