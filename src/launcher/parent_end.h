// How a parent run ends: the removal of the target directory after a normal
// end and after a failure, and the console control handler, which ends the
// child and removes the directory on a console event (an interruption).
//
// Two threads meet here: the main thread and the thread on which the
// platform calls console_control_handler. The handler's first call begins
// the interruption (base/interruption.h), which is never undone; the rules
// that make every moment of an event safe:
// - The interruption's lock guards its state and the child's slot. The main
//   thread starts the child while holding it and only when no interruption
//   has begun, so the handler either finds the child in the slot or knows
//   none will start.
// - The main thread enters unpacking only while no interruption has begun,
//   and looks for one before every record and every piece it writes;
//   seeing one, it closes its file and leaves. The handler removes the
//   directory only after the main thread has left, so nothing is written
//   during or after removal.
// - Wherever the main thread sees an interruption (entering unpacking,
//   writing, before the start, after the wait, after its removal) it does
//   nothing more and waits for the handler, which ends the process.
// - The handler decides the status: the child's exit code when the child
//   ended by itself (also one that had ended before the event), 0xC000013A
//   (STATUS_CONTROL_C_EXIT) when it had to be terminated or never started.
//   It ends the process itself, since the platform's default end after a
//   handler under Wine reports 0. A later event waits for the same end.
// - The main thread owns the child's handle: it alone takes it out of the
//   slot, under the lock, and closes it after its own wait has returned.
//   The handler uses the handle only while holding the lock and never
//   closes it. So the handle is closed once, never while in use.
// - A failed wait is no sign that the child has ended: it is retried, then
//   the child is terminated and waited for again. While a started child is
//   not known to have ended, the directory is not removed.
// - The removal runs under a lock of its own: a second caller waits until
//   the first has finished, then finds the directory gone.
//
// The child is tied to the launcher by a job that ends it when the launcher
// ends, whichever way (child/launch.cpp); the directory then stays.
#pragma once

#include <cstdint>

#include "launcher/run.h"

namespace fenzar {

// Parent mode, before anything is written: registers the run for the
// console control handler (exit 2 when that fails) and the cleanup that
// every exit with status 2 runs from then on.
void register_parent_cleanups(Run& run);
// For events 0, 1, 2, 5 and 6 runs the interruption on the registered run
// and ends the process with its status; for other events does nothing and
// returns 0 (FALSE).
int console_control_handler(uint32_t control_type);
// Removes the target directory tree when this run created it
// (target_owner), unless a started child is not known to have ended. A
// published cache directory (kept) and one not made yet (none) stay.
void remove_target_directory(Run& run);
// Main thread, after the child's wait: removes the target directory, then
// ends through the interruption if one has begun meanwhile.
void clean_up_after_child(Run& run);
// Parent mode, before an exit with status 2: closes the unpacking's file
// and removes the target directory.
void clean_up_after_failure(Run& run);

// For test hooks that deliver an event themselves and must wait until the
// handler has begun the interruption: whether it has, on the registered run.
bool registered_run_interrupted_for_testing();
// For tests, whose runs end before the process does: the handler and the
// failure cleanup forget the registered run.
void forget_registered_run_for_testing();

}  // namespace fenzar
