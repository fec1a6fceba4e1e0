// The stop on a console event, as far as the layers below the child layer
// take part in it: its state, the lock that guards it, and how the main
// thread's unpacking and the handler's thread meet. child/cleanup.h states
// the rules of the whole stop.
#pragma once

#include <cstdint>
#include <mutex>

// Guards the stop's state and the child's slot in child/cleanup.cpp.
extern std::mutex stop_lock;

// Handler: begins the stop; false when one had begun before. Never undone.
bool begin_stop();
// Whether a stop has begun. Without stop_lock a hint that may come late;
// under it, the answer that begin_stop cannot overtake.
bool stop_has_begun();

// Main thread: marks it as writing below the target directory. False, and
// nothing marked, once a stop has begun.
bool enter_unpacking();
// Main thread: no longer writing, and no file of the unpacking open.
void leave_unpacking();
// Handler: returns once the main thread is not writing.
void wait_until_unpacking_left();

// Handler: its cleanup is done; ends the process with status.
[[noreturn]] void finish_stop(uint32_t status);
// Main thread, or a later handler call: waits until the stop is finished,
// then ends the process with its status.
[[noreturn]] void end_with_stop();

// For tests: back to the state of a new process.
void reset_stop_state();
