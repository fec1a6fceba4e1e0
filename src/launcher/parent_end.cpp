#include "launcher/parent_end.h"

#include "base/report.h"
#include "platform/platform.h"

namespace fenzar {

namespace {

// The run the console handler acts on; set before the handler is registered.
Run* registered_run = nullptr;

bool is_interrupting_event(uint32_t control_type) {
    switch (control_type) {
        case 0:  // interrupt
        case 1:  // break
        case 2:  // console closed
        case 5:  // logoff
        case 6:  // shutdown
            return true;
        default:
            return false;
    }
}

// The failure cleanup gets its run as the context it was registered with.
void clean_up_run_after_failure(void* run) { clean_up_after_failure(*static_cast<Run*>(run)); }

}  // namespace

void register_parent_cleanups(Run& run) {
    registered_run = &run;
    if (!platform::add_console_control_handler(console_control_handler)) {
        fail_with_message(message::register_handler_failed);
    }
    set_failure_cleanup({clean_up_run_after_failure, &run});
}

int console_control_handler(uint32_t control_type) {
    if (!is_interrupting_event(control_type)) return 0;
    Run& run = *registered_run;
    if (!run.interruption.begin()) run.interruption.end_process();
    run.interruption.wait_until_unpacking_left();
    uint32_t status = stop_child(run.child, run.interruption);
    remove_target_directory(run);
    run.interruption.finish(status);
}

void remove_target_directory(Run& run) {
    if (run.unpacking.target_owner.load() != TargetOwner::created) return;
    if (child_may_still_run(run.child, run.interruption)) return;
    remove_directory_tree(run.removal, run.target_directory.data());
}

void clean_up_after_child(Run& run) {
    remove_target_directory(run);
    if (run.interruption.has_begun()) run.interruption.end_process();
}

void clean_up_after_failure(Run& run) {
    abandon_unpacking(run.unpacking, run.interruption);
    remove_target_directory(run);
}

bool registered_run_interrupted_for_testing() {
    return registered_run != nullptr && registered_run->interruption.has_begun();
}

void forget_registered_run_for_testing() {
    registered_run = nullptr;
    set_failure_cleanup({});
}

}  // namespace fenzar
