#include "launcher/launcher_main.h"

#include "base/report.h"
#include "child/launch.h"
#include "child/library_mode.h"
#include "launcher/parent_end.h"
#include "launcher/target_choice.h"
#include "payload/launch_settings.h"
#include "platform/platform.h"

namespace fenzar {

namespace {

// The first record's name, from a reader of its own: the run's reader stays
// at the start for the unpacking, and the program's path is known only
// once the unpacking has settled the directory (the cache's, or the
// temporary one it may fall back to).
void read_program_name(Run& run, AttachedData attached_data) {
    PayloadReader reader;
    open_payload(reader, attached_data);
    find_first_entry_path(run.program_probe, reader, run.target_directory.data());
    copy_wide_bounded(run.program_name, run.program_probe.entry_name.data());
}

// The parent starts the program itself, as its child: one process start,
// as when the program is started directly.
int32_t run_program(Run& run, TargetChoice choice, AttachedData attached_data) {
    read_program_name(run, attached_data);
    // The packer always writes the program; no launcher of ours lacks it.
    if (run.program_name.empty()) platform::stop_immediately();
    choice = unpack_application(run, choice, attached_data);
    fill_plain_own_path(run.own_paths);
    set_child_environment(run.arguments, run.own_paths.plain_own_path.data());
    copy_wide_bounded(run.program_path, run.target_directory.data());
    append_wide_char_bounded(run.program_path, u'\\');
    append_wide_bounded(run.program_path, run.program_name.data());
    if (!build_program_command_line(run.child_command_line, run.program_path.data(),
                                    platform::get_raw_command_line())) {
        fail_with_system_error(message::launch_child_failed, platform::error_filename_too_long);
    }
    // The launcher's own loads name their folder from here on; the program
    // searches for its DLLs as it would started directly.
    platform::restore_library_search();
    ProgramChild program{run.target_directory.data()};
    int32_t exit_status =
        start_child_and_wait(run.child, run.interruption, run.program_path.data(), run.child_command_line,
                             run.failure_explanation, work_beside_wait(run, choice), &program);
    clean_up_after_child(run);
    return exit_status;
}

}  // namespace

int launcher_main(Run& run, int argc, char16_t** argv, const unsigned char* attached_data,
                  uint64_t attached_data_length, uint32_t launch_settings_size) {
    run.arguments = {argc, argv};
    platform::remove_current_directory_from_library_search();
    // The packer wrote the settings; settings that break their rules are no
    // launcher of ours.
    if (!read_launch_settings(attached_data + attached_data_length, launch_settings_size, &run.launch_settings)) {
        platform::stop_immediately();
    }
    // A program launcher never starts an instance of itself, so none of its
    // instances is re-entered: one that a program starts, even through the
    // launcher's path, unpacks afresh like any other start.
    run.run_mode = run.launch_settings.runs_program ? RunMode::parent
                                                    : detect_run_mode(run.own_paths, &run.started_by_named_parent);
    if (run.run_mode == RunMode::parent) prepare_parent_environment();
    TargetChoice choice = choose_target_directory(run);
    if (run.run_mode == RunMode::parent) register_parent_cleanups(run);
    open_payload(run.reader, {attached_data, attached_data_length});
    // The result goes back to the C runtime's start-up code, whose exit
    // flushes the streams the application may share with the launcher and
    // ends with ExitProcess, so that a runtime of the application's own
    // writes out its buffers at DLL_PROCESS_DETACH. Ending here in any way
    // that skips those (TerminateProcess, _exit) loses what it never flushed.
    if (run.run_mode == RunMode::reentered) {
        repair_cache_after_load_failure(run);
        const char16_t* first_entry_path =
            find_first_entry_path(run.unpacking, run.reader, run.target_directory.data());
        return run_application_library(first_entry_path, run.target_directory.data(), run.arguments,
                                       run.failure_explanation);
    }
    if (run.launch_settings.runs_program) return run_program(run, choice, {attached_data, attached_data_length});
    // The limits of the child's start are known before anything is created:
    // an own path or a command line that does not fit stops here, with
    // nothing on disk, instead of after a whole unpacking.
    fill_module_file_name(run.own_paths);
    build_child_command_line(run.child_command_line, run.own_paths.module_file_name.data());
    choice = unpack_application(run, choice, {attached_data, attached_data_length});
    fill_plain_own_path(run.own_paths);
    set_child_environment(run.arguments, run.own_paths.plain_own_path.data());
    int32_t exit_status =
        start_child_and_wait(run.child, run.interruption, run.own_paths.module_file_name.data(), run.child_command_line,
                             run.failure_explanation, work_beside_wait(run, choice));
    clean_up_after_child(run);
    return exit_status;
}

}  // namespace fenzar
