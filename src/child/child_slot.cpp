#include "child/child_slot.h"

#include <mutex>

namespace fenzar {

namespace {

constexpr uint32_t grace_milliseconds = 5000;
// STATUS_CONTROL_C_EXIT: what a console program interrupted by the event
// ends with on Windows.
constexpr uint32_t interrupted_status = 0xC000013Au;
constexpr uint32_t unknown_exit_status = 1;
constexpr int wait_retries = 20;
constexpr uint32_t retry_pause_milliseconds = 100;
// The child's start: 5 attempts, 100, 200, 400 and 800 ms apart.
constexpr int start_attempts = 5;
constexpr uint32_t first_start_pause_milliseconds = 100;

// Waits without a time limit; true once a wait has seen the child's end. A
// failed wait says nothing about the child, so it is tried again, 100 ms
// apart, and false only when every try has failed.
bool wait_for_end(platform::ProcessHandle process) {
    for (int retry = 0;; ++retry) {
        if (platform::wait_for_process(process, platform::wait_infinite) == platform::wait_object_0) return true;
        if (retry == wait_retries) return false;
        platform::sleep_milliseconds(retry_pause_milliseconds);
    }
}

// Terminates the child and waits for its end; false when it cannot be seen.
bool terminate_and_wait(platform::ProcessHandle process, uint32_t exit_code) {
    platform::terminate_process(process, exit_code);
    return wait_for_end(process);
}

// A start that failed for want of memory or system resources, or because
// another program (a scanner, say) held the executable for a moment, may
// succeed a little later; a failed start creates nothing, so trying again
// is safe. Errors that cannot change by waiting (not found, bad format,
// access denied, ...) end the run at once.
bool is_transient_start_error(uint32_t code) {
    switch (code) {
        case platform::error_not_enough_memory:
        case platform::error_outofmemory:
        case platform::error_sharing_violation:
        case platform::error_lock_violation:
        case platform::error_internal_error:
            return true;
        default:
            // ERROR_NO_SYSTEM_RESOURCES to ERROR_COMMITMENT_LIMIT: system
            // resources, paged and non-paged pool, working set, page file
            // and commit quotas.
            return code >= platform::error_no_system_resources && code <= platform::error_commitment_limit;
    }
}

uint32_t exit_code_of(platform::ProcessHandle process) {
    uint32_t code = 0;
    if (!platform::get_process_exit_code(process, &code)) return unknown_exit_status;
    return code;
}

}  // namespace

bool start_child_process(ChildSlot& child, Interruption& interruption, const char16_t* application,
                         char16_t* command_line, uint32_t* error) {
    uint32_t pause = first_start_pause_milliseconds;
    for (int attempt = 1;; ++attempt) {
        {
            std::lock_guard<std::mutex> guard(interruption.lock);
            if (interruption.has_begun()) break;
            platform::ProcessHandle process = platform::start_process(application, command_line, child.job);
            if (process.valid()) {
                child.process = process;
                return true;
            }
            *error = platform::last_error();
        }
        if (attempt == start_attempts || !is_transient_start_error(*error)) return false;
        // Outside the lock, so that an event meanwhile begins the
        // interruption, which the next attempt sees.
        platform::sleep_milliseconds(pause);
        pause *= 2;
    }
    interruption.end_process();
}

uint32_t wait_for_child_exit_status(ChildSlot& child, Interruption& interruption) {
    platform::ProcessHandle process{nullptr};
    {
        std::lock_guard<std::mutex> guard(interruption.lock);
        process = child.process;
    }
    if (!process.valid()) return 0;
    // No lock needed here: nobody but this thread closes the handle.
    bool ended = wait_for_end(process) || terminate_and_wait(process, unknown_exit_status);
    uint32_t status = unknown_exit_status;
    {
        // Waits while stop_child is using the handle.
        std::lock_guard<std::mutex> guard(interruption.lock);
        if (ended) status = exit_code_of(process);
        child.process = {nullptr};
        child.ended = true;
        child.status = status;
        child.may_run = !ended;
    }
    platform::close_process(process);
    return status;
}

uint32_t stop_child(ChildSlot& child, Interruption& interruption) {
    std::lock_guard<std::mutex> guard(interruption.lock);
    if (child.ended) return child.status;
    if (!child.process.valid()) return interrupted_status;
    if (platform::wait_for_process(child.process, grace_milliseconds) == platform::wait_object_0) {
        child.status = exit_code_of(child.process);
    } else {
        child.may_run = !terminate_and_wait(child.process, interrupted_status);
        child.status = interrupted_status;
    }
    child.ended = true;
    return child.status;
}

bool child_may_still_run(ChildSlot& child, Interruption& interruption) {
    std::lock_guard<std::mutex> guard(interruption.lock);
    return child.may_run;
}

}  // namespace fenzar
