// Test support: replace entries of the platform table for one test and put the
// original layer back afterwards; turn an immediate stop into an exception so
// that a test can observe it without ending the test process.
#pragma once

#include <gtest/gtest.h>

#include "platform/platform.h"

struct ImmediateStop {};

[[noreturn]] inline void throw_immediate_stop() { throw ImmediateStop{}; }

// Restores the whole table when the test ends. Immediate stops throw.
class PlatformOverride {
public:
    PlatformOverride() : saved_(platform::table) { platform::table.stop_immediately = throw_immediate_stop; }
    ~PlatformOverride() { platform::table = saved_; }
    PlatformOverride(const PlatformOverride&) = delete;
    PlatformOverride& operator=(const PlatformOverride&) = delete;

    platform::Table& table() { return platform::table; }

private:
    platform::Table saved_;
};

#define EXPECT_IMMEDIATE_STOP(statement) EXPECT_THROW(statement, ImmediateStop)
