// Ending the child and removing the target directory: after a normal end,
// after a failure, and on a console control event (a stop).
//
// Two threads meet here: the main thread and the thread on which the
// platform calls console_control_handler. The handler's first call begins
// the stop (base/stop.h), which is never undone; the rules that make every
// moment of an event safe:
// - stop_lock guards the stop's state and the child's slot. The main thread
//   starts the child while holding it and only when no stop has begun, so
//   the handler either finds the child in the slot or knows none will start.
// - The main thread enters unpacking only while no stop has begun, and looks
//   for one before every record and every piece it writes; seeing one, it
//   closes its file and leaves. The handler removes the directory only after
//   the main thread has left, so nothing is written during or after removal.
// - Wherever the main thread sees a stop (entering unpacking, writing,
//   before the start, after the wait, after its removal) it does nothing
//   more and waits for the handler, which ends the process.
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
// ends, whichever way (launch.cpp); the directory then stays.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Main thread: unless a stop has begun, starts the child (tied to job) and
// stores its handle, both under stop_lock. A start that fails for a reason
// that may pass (memory, system resources, a sharing or lock violation,
// error 1359) is tried again, up to 5 times in all, with growing pauses.
// False when the start failed, with the last reason in *error; once a stop
// has begun, also between two attempts, it starts nothing and ends through
// the stop.
bool start_child_process(const char16_t* application, char16_t* command_line, platform::JobHandle job,
                         uint32_t* error);
// Takes the handle out of the slot in one step; invalid when it is empty.
platform::ProcessHandle take_child_process();
// Main thread: when the slot holds a handle, waits for the child's end,
// reads its exit code (1 when it cannot be read or the end cannot be
// seen), takes the handle out of the slot and closes it. 0 when the slot
// is empty.
uint32_t wait_for_child_exit_status();

// For events 0, 1, 2, 5 and 6 runs the stop and ends the process with the
// stop's status; for other events does nothing and returns 0 (FALSE).
int console_control_handler(uint32_t control_type);
// Handler: when the slot holds a child, gives it 5,000 ms to end, then
// terminates it with 0xC000013A. Returns the stop's status (see above).
uint32_t stop_child();
// Once extraction has started: removes the target directory tree, unless a
// started child is not known to have ended.
void remove_target_directory();
// Parent mode, before an exit with status 2: closes the unpacking's file
// and removes the target directory.
void clean_up_after_failure();
// Removes the tree at directory, a full path below a root (also in its
// extended-length form), retrying 20 times 100 ms apart while the directory
// is still there; never follows a link.
void remove_directory_tree(const char16_t* directory);

// For tests: back to the state of a new process.
void reset_cleanup_state();
