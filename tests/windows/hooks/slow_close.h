// A virus scanner's cost at the close of a new file, as a real-time scanner
// on Windows reads each file when its written handle is closed: every
// close_file is followed by a wait of ms_per_file plus ms_per_mb for each
// megabyte (1,000,000 bytes) written through that handle. For the fault
// hooks (FENZAR_TEST_SLOW_CLOSE=MS_PER_FILE:MS_PER_MB) and the benchmarks.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/platform.h"

namespace fenzar {

namespace slow_close {

inline double ms_per_file = 0;
inline double ms_per_mb = 0;
inline platform::Table wrapped;
inline std::mutex lock;
inline std::unordered_map<void*, uint64_t> written;

inline bool counting_write_file(platform::FileHandle file, const void* data, uint32_t length) {
    bool done = wrapped.write_file(file, data, length);
    if (done) {
        std::lock_guard<std::mutex> guard(lock);
        written[file.value] += length;
    }
    return done;
}

inline bool waiting_close_file(platform::FileHandle file) {
    uint64_t bytes = 0;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto found = written.find(file.value);
        if (found != written.end()) {
            bytes = found->second;
            written.erase(found);
        }
    }
    // The handle's value may be given to the next file as soon as it is
    // closed: its count is taken first.
    bool closed = wrapped.close_file(file);
    uint32_t error = wrapped.last_error();
    double wait_ms = ms_per_file + ms_per_mb * static_cast<double>(bytes) / 1e6;
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(wait_ms * 1000)));
    wrapped.set_last_error(error);
    return closed;
}

// Reads "MS_PER_FILE:MS_PER_MB" and wraps the table's write_file and
// close_file as they are now; false when the setting is malformed.
inline bool install(const char* setting) {
    char* end = nullptr;
    double per_file = std::strtod(setting, &end);
    if (end == setting || *end != ':') return false;
    const char* second = end + 1;
    double per_mb = std::strtod(second, &end);
    if (end == second || *end != 0 || per_file < 0 || per_mb < 0) return false;
    ms_per_file = per_file;
    ms_per_mb = per_mb;
    wrapped = platform::table;
    platform::table.write_file = counting_write_file;
    platform::table.close_file = waiting_close_file;
    return true;
}

}  // namespace slow_close

}  // namespace fenzar
