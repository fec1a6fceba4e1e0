// The child's slot: its start, the main thread's wait for its end, and the
// console handler's stop of it. The rules of how the two threads share the
// slot are in launcher/parent_end.h.
#pragma once

#include <cstdint>

#include "base/interruption.h"
#include "platform/platform.h"

namespace fenzar {

// Guarded by the interruption's lock.
struct ChildSlot {
    platform::ProcessHandle process{nullptr};
    // Set once the child is known to have ended, with the status it gives.
    bool ended = false;
    uint32_t status = 0;
    // A started child whose end could not be seen: its directory stays.
    bool may_run = false;
    // Never closed: the system closes it when the launcher ends, whichever
    // way, and the job then ends the child.
    platform::JobHandle job{nullptr};
};

// Main thread: unless an interruption has begun, starts the child (tied to
// the slot's job) and stores its handle, both under the lock. A start that
// fails for a reason that may pass (memory, system resources, a sharing or
// lock violation, error 1359) is tried again, up to 5 times in all, with
// growing pauses. False when the start failed, with the last reason in
// *error; once an interruption has begun, also between two attempts, it
// starts nothing and ends through the interruption.
bool start_child_process(ChildSlot& child, Interruption& interruption, const char16_t* application,
                         char16_t* command_line, uint32_t* error);
// Main thread: when the slot holds a handle, waits for the child's end,
// reads its exit code (1 when it cannot be read or the end cannot be
// seen), takes the handle out of the slot and closes it. 0 when the slot
// is empty.
uint32_t wait_for_child_exit_status(ChildSlot& child, Interruption& interruption);
// Handler: when the slot holds a child, gives it 5,000 ms to end, then
// terminates it with 0xC000013A. Returns the interruption's status: the
// child's exit code when it ended by itself, 0xC000013A otherwise.
uint32_t stop_child(ChildSlot& child, Interruption& interruption);
// Whether a started child is not known to have ended.
bool child_may_still_run(ChildSlot& child, Interruption& interruption);

}  // namespace fenzar
