#include "base/stop.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"

std::mutex stop_lock;

namespace {

// Changed under stop_lock only; atomic so that the write loop can look
// without the lock.
std::atomic<bool> stopping{false};
bool unpacking = false;
bool finished = false;
uint32_t final_status = 0;

// The waits here are short and rare: polling needs no object that the C
// runtime could destroy under a waiting thread while the process ends.
constexpr auto poll_interval = std::chrono::milliseconds(10);

}  // namespace

bool begin_stop() {
    std::lock_guard<std::mutex> guard(stop_lock);
    if (stopping.load()) return false;
    stopping.store(true);
    return true;
}

bool stop_has_begun() { return stopping.load(); }

bool enter_unpacking() {
    std::lock_guard<std::mutex> guard(stop_lock);
    if (stopping.load()) return false;
    unpacking = true;
    return true;
}

void leave_unpacking() {
    std::lock_guard<std::mutex> guard(stop_lock);
    unpacking = false;
}

void wait_until_unpacking_left() {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(stop_lock);
            if (!unpacking) return;
        }
        std::this_thread::sleep_for(poll_interval);
    }
}

void finish_stop(uint32_t status) {
    {
        std::lock_guard<std::mutex> guard(stop_lock);
        final_status = status;
        finished = true;
    }
    platform::terminate_own_process(status);
}

void end_with_stop() {
    uint32_t status = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(stop_lock);
            if (finished) {
                status = final_status;
                break;
            }
        }
        std::this_thread::sleep_for(poll_interval);
    }
    platform::terminate_own_process(status);
}

void reset_stop_state() {
    std::lock_guard<std::mutex> guard(stop_lock);
    stopping.store(false);
    unpacking = false;
    finished = false;
    final_status = 0;
}
