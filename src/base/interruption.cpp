#include "base/interruption.h"

#include <chrono>
#include <thread>

#include "platform/platform.h"

namespace fenzar {

namespace {

// The waits here are short and rare: polling needs no object that the C
// runtime could destroy under a waiting thread while the process ends.
constexpr auto poll_interval = std::chrono::milliseconds(10);

}  // namespace

bool Interruption::begin() {
    std::lock_guard<std::mutex> guard(lock);
    if (interrupted_.load()) return false;
    interrupted_.store(true);
    return true;
}

bool Interruption::enter_unpacking() {
    std::lock_guard<std::mutex> guard(lock);
    if (interrupted_.load()) return false;
    unpacking_ = true;
    return true;
}

void Interruption::leave_unpacking() {
    std::lock_guard<std::mutex> guard(lock);
    unpacking_ = false;
}

void Interruption::wait_until_unpacking_left() {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!unpacking_) return;
        }
        std::this_thread::sleep_for(poll_interval);
    }
}

void Interruption::finish(uint32_t status) {
    {
        std::lock_guard<std::mutex> guard(lock);
        final_status_ = status;
        finished_ = true;
    }
    platform::terminate_own_process(status);
}

void Interruption::end_process() {
    uint32_t status = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (finished_) {
                status = final_status_;
                break;
            }
        }
        std::this_thread::sleep_for(poll_interval);
    }
    platform::terminate_own_process(status);
}

}  // namespace fenzar
