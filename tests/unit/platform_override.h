// Test support: replace entries of the platform table for one test and put the
// original layer back afterwards; turn an immediate stop and the end of the
// process on a console event into exceptions, so that a test can observe
// them without ending the test process.
#pragma once

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace fenzar {

struct ImmediateStop {};

[[noreturn]] inline void throw_immediate_stop() { throw ImmediateStop{}; }

struct ProcessEnded {
    uint32_t status;
};

[[noreturn]] inline void throw_process_ended(uint32_t status) { throw ProcessEnded{status}; }

// Restores the whole table when the test ends. Immediate stops and ends of
// the own process throw.
class PlatformOverride {
public:
    PlatformOverride() : saved_(platform::table) {
        platform::table.stop_immediately = throw_immediate_stop;
        platform::table.terminate_own_process = throw_process_ended;
    }
    ~PlatformOverride() { platform::table = saved_; }
    PlatformOverride(const PlatformOverride&) = delete;
    PlatformOverride& operator=(const PlatformOverride&) = delete;

    platform::Table& table() { return platform::table; }

private:
    platform::Table saved_;
};

#define EXPECT_IMMEDIATE_STOP(statement) EXPECT_THROW(statement, ImmediateStop)

}  // namespace fenzar
