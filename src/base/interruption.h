// A parent run ended by a console event (interrupt, break, close, logoff,
// shutdown): its state, the lock that guards it, and how the main thread's
// unpacking and the handler's thread meet. launcher/parent_end.h states the
// rules of the whole interruption. Not to be confused with the immediate
// stop at a limit (platform::stop_immediately), which ends the process
// without any of this.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace fenzar {

class Interruption {
public:
    // Guards the interruption's state and the child's slot (child/child_slot.h).
    std::mutex lock;

    // Handler: begins the interruption; false when one had begun before.
    // Never undone.
    bool begin();
    // Whether an interruption has begun. Without the lock a hint that may
    // come late; under it, the answer that begin cannot overtake.
    bool has_begun() const { return interrupted_.load(); }

    // Main thread: marks it as writing below the target directory. False,
    // and nothing marked, once an interruption has begun.
    bool enter_unpacking();
    // Main thread: no longer writing, and no file of the unpacking open.
    void leave_unpacking();
    // Handler: returns once the main thread is not writing.
    void wait_until_unpacking_left();

    // Handler: its cleanup is done; ends the process with status.
    [[noreturn]] void finish(uint32_t status);
    // Main thread, or a later handler call: waits until the handler has
    // finished, then ends the process with its status.
    [[noreturn]] void end_process();

private:
    // Changed under the lock only; atomic so that the write loop can look
    // without it.
    std::atomic<bool> interrupted_{false};
    bool unpacking_ = false;
    bool finished_ = false;
    uint32_t final_status_ = 0;
};

}  // namespace fenzar
