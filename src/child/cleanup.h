// Ending the child and removing the target directory, after a normal end or on
// a console control event.
//
// Two threads share the child's handle: the main thread, which waits for the
// child without a time limit, and the thread on which the platform calls
// console_control_handler. The main thread owns the handle: it alone takes it
// out of the slot and closes it, after its own wait has returned. stop_child
// uses the handle only while holding the slot's lock and never closes it, so
// the handle is closed exactly once, never while the handler waits on it or
// terminates through it (the main thread takes it under the same lock), and
// never while the main thread waits on it (only the main thread closes it).
// If the process ends on the event before the main thread gets there, the
// system closes the handle with the process.
//
// The removal runs under a lock of its own: a second caller waits until the
// first has finished, then finds the directory gone after one attempt. The
// handler thus returns only after the directory has been dealt with.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Main thread: stores the child's handle right after the start.
void set_child_process(platform::ProcessHandle process);
// Takes the handle out of the slot in one step; invalid when it is empty.
platform::ProcessHandle take_child_process();
// Main thread: when the slot holds a handle, waits for the child without a
// time limit, returns its exit code (1 when it cannot be read), and takes the
// handle out of the slot and closes it. 0 when the slot is empty.
uint32_t wait_for_child_exit_status();

// Runs the cleanup for events 0, 1, 2, 5 and 6; always returns 0 (FALSE), so
// that the platform's default handling ends the process afterwards.
int console_control_handler(uint32_t control_type);
void cleanup_child_and_directory();
// Gives the child 5,000 ms to end, then terminates it with exit code 0.
void stop_child();
// Once extraction has started: removes the target directory tree.
void remove_target_directory();
// Removes the tree at directory, a full path below a root, retrying 20 times
// 100 ms apart while the directory is still there; never follows a link.
void remove_directory_tree(const char16_t* directory);
