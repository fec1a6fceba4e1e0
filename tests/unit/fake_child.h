// A child process that exists only in the platform table, whose handle the
// fakes check: no call after the close, one close, and no close while a wait
// is in progress. Any misuse is recorded in faults.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fenzar {

struct FakeChild {
    std::mutex lock;
    std::condition_variable changed;
    bool alive = true;
    uint32_t exit_code = 259;  // still active
    bool ignores_events = true;
    int waits_in_progress = 0;
    int infinite_waits = 0;
    int timed_waits = 0;
    int terminations = 0;
    uint32_t terminate_code = 1234;
    int closes = 0;
    bool exit_code_readable = true;
    // Waits that fail (before any other) without a word about the child.
    int failing_waits = 0;
    std::vector<std::string> faults;
};
inline FakeChild* fake_child;
inline void* const child_handle = reinterpret_cast<void*>(0x4711);

inline void check_usable(platform::ProcessHandle process, const char* operation) {
    if (process.value != child_handle) fake_child->faults.push_back(std::string(operation) + " on a foreign handle");
    if (fake_child->closes > 0) fake_child->faults.push_back(std::string(operation) + " after the close");
}

inline void end_child(uint32_t code) {
    std::lock_guard<std::mutex> guard(fake_child->lock);
    fake_child->alive = false;
    fake_child->exit_code = code;
    fake_child->changed.notify_all();
}

inline void install_fake_child(platform::Table& table, FakeChild& child) {
    fake_child = &child;
    table.wait_for_process = [](platform::ProcessHandle process, uint32_t milliseconds) -> uint32_t {
        std::unique_lock<std::mutex> guard(fake_child->lock);
        check_usable(process, "wait");
        if (fake_child->failing_waits > 0) {
            --fake_child->failing_waits;
            return platform::wait_failed;
        }
        ++fake_child->waits_in_progress;
        if (milliseconds == platform::wait_infinite) {
            ++fake_child->infinite_waits;
        } else {
            ++fake_child->timed_waits;
        }
        fake_child->changed.notify_all();
        // A timed wait on a child that ignores the event runs out at once.
        bool timed_out = false;
        if (milliseconds == platform::wait_infinite || !fake_child->ignores_events) {
            fake_child->changed.wait(guard, [] { return !fake_child->alive; });
        } else {
            timed_out = fake_child->alive;
        }
        --fake_child->waits_in_progress;
        return timed_out ? 0x102u : platform::wait_object_0;
    };
    table.get_process_exit_code = [](platform::ProcessHandle process, uint32_t* code) {
        std::lock_guard<std::mutex> guard(fake_child->lock);
        check_usable(process, "exit code");
        if (!fake_child->exit_code_readable) return false;
        *code = fake_child->exit_code;
        return true;
    };
    table.terminate_process = [](platform::ProcessHandle process, uint32_t code) {
        {
            std::lock_guard<std::mutex> guard(fake_child->lock);
            check_usable(process, "terminate");
            ++fake_child->terminations;
            fake_child->terminate_code = code;
        }
        end_child(code);
    };
    table.close_process = [](platform::ProcessHandle process) {
        std::lock_guard<std::mutex> guard(fake_child->lock);
        check_usable(process, "close");
        if (fake_child->waits_in_progress > 0) fake_child->faults.push_back("close during a wait");
        ++fake_child->closes;
    };
}

}  // namespace fenzar
