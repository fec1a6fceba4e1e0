// The child's slot: its start, the owner's wait and single close, the
// handler's stop of the child, failed waits and what they leave of the
// target directory.
#include "child/child_slot.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "fake_child.h"
#include "fake_directory.h"
#include "new_run.h"
#include "platform_override.h"

namespace fenzar {

namespace {

constexpr uint32_t interrupted = 0xC000013Au;

class ChildHandle : public ::testing::Test {
protected:
    void SetUp() override {
        install_fake_child(platform.table(), child);
        platform.table().start_process = [](const char16_t*, char16_t*,
                                            platform::JobHandle) -> platform::ProcessHandle { return {child_handle}; };
        platform.table().sleep_milliseconds = [](uint32_t) {};
    }
    void start() {
        uint32_t error = 0;
        ASSERT_TRUE(start_child_process(run->child, run->interruption, u"C:\\app.exe", command_line, &error));
    }
    void renew_child() {
        child.~FakeChild();
        new (&child) FakeChild{};
        run->child = ChildSlot{};
    }
    char16_t command_line[8] = u"app";
    PlatformOverride platform;
    FakeChild child;
    NewRun run;
};

TEST_F(ChildHandle, StopChildWithoutAChildOnlyDecidesTheInterruptedStatus) {
    EXPECT_EQ(stop_child(run->child, run->interruption), interrupted);
    EXPECT_EQ(child.timed_waits, 0);
    EXPECT_EQ(child.terminations, 0);
}

TEST_F(ChildHandle, NoChildStartsOnceAnInterruptionHasBegun) {
    ASSERT_TRUE(run->interruption.begin());
    std::thread handler([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        try {
            run->interruption.finish(interrupted);
        } catch (const ProcessEnded&) {
        }
    });
    uint32_t error = 0;
    platform.table().start_process = [](const char16_t*, char16_t*, platform::JobHandle) -> platform::ProcessHandle {
        ADD_FAILURE() << "a child started after the interruption had begun";
        return {child_handle};
    };
    try {
        start_child_process(run->child, run->interruption, u"C:\\app.exe", command_line, &error);
        ADD_FAILURE() << "the start returned during an interruption";
    } catch (const ProcessEnded& ended) {
        EXPECT_EQ(ended.status, interrupted);
    }
    handler.join();
    EXPECT_FALSE(run->child.process.valid());
}

// The start of the child under the platform's fault injection: the first
// `failures` starts fail with `error`.
struct StartFaults {
    int failures = 0;
    uint32_t error = 0;
    int starts = 0;
    std::vector<uint32_t> pauses;
    // Begins the interruption during the pause with this index, as an event
    // would.
    int interrupt_in_pause = -1;
    Interruption* interruption = nullptr;
};
StartFaults* start_faults;

platform::ProcessHandle faulty_start(const char16_t*, char16_t*, platform::JobHandle) {
    if (start_faults->starts++ < start_faults->failures) {
        platform::set_last_error(start_faults->error);
        return {nullptr};
    }
    return {child_handle};
}

void recorded_pause(uint32_t milliseconds) {
    if (static_cast<int>(start_faults->pauses.size()) == start_faults->interrupt_in_pause) {
        start_faults->interruption->begin();
    }
    start_faults->pauses.push_back(milliseconds);
}

TEST_F(ChildHandle, StartFailuresThatMayPassAreRetriedOthersEndAtOnce) {
    struct Case {
        uint32_t error;
        int failures;
        bool started;
        int starts;
    } cases[] = {
        // "Not now": memory, resources, quotas, sharing and locks, 1359.
        {1359, 1, true, 2},
        {1359, 4, true, 5},
        {1359, 5, false, 5},
        {1359, 100, false, 5},
        {8, 2, true, 3},
        {14, 2, true, 3},
        {32, 2, true, 3},
        {33, 2, true, 3},
        {1450, 2, true, 3},
        {1453, 2, true, 3},
        {1455, 2, true, 3},
        // What waiting cannot change: one try.
        {2, 1, false, 1},
        {3, 1, false, 1},
        {5, 1, false, 1},
        {193, 1, false, 1},
        {206, 1, false, 1},
        {87, 1, false, 1},
        {1456, 1, false, 1},
    };
    platform.table().start_process = faulty_start;
    platform.table().sleep_milliseconds = recorded_pause;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "error " << c.error << ", " << c.failures << " failures");
        StartFaults faults;
        faults.failures = c.failures;
        faults.error = c.error;
        start_faults = &faults;
        run->child = ChildSlot{};
        uint32_t error = 0;
        EXPECT_EQ(start_child_process(run->child, run->interruption, u"C:\\app.exe", command_line, &error), c.started);
        EXPECT_EQ(faults.starts, c.starts);
        // Growing pauses between the attempts, none after the last.
        std::vector<uint32_t> expected_pauses = {100, 200, 400, 800};
        expected_pauses.resize(static_cast<size_t>(c.starts - 1));
        EXPECT_EQ(faults.pauses, expected_pauses);
        if (c.started) {
            EXPECT_EQ(run->child.process.value, child_handle);
        } else {
            EXPECT_EQ(error, c.error);
            EXPECT_FALSE(run->child.process.valid());
        }
    }
}

TEST_F(ChildHandle, AnInterruptionDuringTheRetriesStartsNothingMore) {
    StartFaults faults;
    faults.failures = 100;
    faults.error = 1359;
    faults.interrupt_in_pause = 1;
    faults.interruption = &run->interruption;
    start_faults = &faults;
    platform.table().start_process = faulty_start;
    platform.table().sleep_milliseconds = recorded_pause;
    std::thread handler([this] {
        while (!run->interruption.has_begun()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        try {
            run->interruption.finish(interrupted);
        } catch (const ProcessEnded&) {
        }
    });
    uint32_t error = 0;
    try {
        start_child_process(run->child, run->interruption, u"C:\\app.exe", command_line, &error);
        ADD_FAILURE() << "the start returned during an interruption";
    } catch (const ProcessEnded& ended) {
        EXPECT_EQ(ended.status, interrupted);
    }
    handler.join();
    EXPECT_EQ(faults.starts, 2) << "no attempt after the pause in which the interruption began";
    EXPECT_FALSE(run->child.process.valid());
}

TEST_F(ChildHandle, StopChildGivesTheGraceThenTerminatesWithControlCExitAndLeavesTheCloseToTheOwner) {
    struct Case {
        const char* what;
        bool ends_in_time;
        int terminations;
        uint32_t status;
    } cases[] = {
        {"child ends within the grace", true, 0, 7},
        {"child ignores the event", false, 1, interrupted},
    };
    for (const Case& row : cases) {
        renew_child();
        child.ignores_events = !row.ends_in_time;
        start();
        std::thread child_ending;
        if (row.ends_in_time) {
            child_ending = std::thread([] {
                std::unique_lock<std::mutex> guard(fake_child->lock);
                fake_child->changed.wait(guard, [] { return fake_child->timed_waits > 0; });
                guard.unlock();
                end_child(7);
            });
        }
        EXPECT_EQ(stop_child(run->child, run->interruption), row.status) << row.what;
        if (child_ending.joinable()) child_ending.join();
        EXPECT_EQ(child.timed_waits, 1) << row.what;
        EXPECT_EQ(child.terminations, row.terminations) << row.what;
        if (row.terminations > 0) {
            EXPECT_EQ(child.terminate_code, interrupted) << row.what;
        }
        EXPECT_EQ(child.closes, 0) << row.what;
        // The owner's wait, exit code and single close follow.
        EXPECT_EQ(wait_for_child_exit_status(run->child, run->interruption), row.status) << row.what;
        EXPECT_EQ(child.closes, 1) << row.what;
        EXPECT_FALSE(run->child.process.valid()) << row.what;
        EXPECT_TRUE(child.faults.empty()) << testing::PrintToString(child.faults);
    }
}

TEST_F(ChildHandle, OwnerWaitsReadsTheFullExitCodeAndClosesOnce) {
    struct Case {
        bool readable;
        uint32_t code;
        uint32_t status;
    } cases[] = {
        {true, 0, 0}, {true, 3, 3}, {true, 0xFFFFFFFFu, 0xFFFFFFFFu}, {true, 3221225477u, 3221225477u}, {false, 0, 1},
    };
    for (const Case& row : cases) {
        renew_child();
        child.exit_code_readable = row.readable;
        end_child(row.code);
        start();
        EXPECT_EQ(wait_for_child_exit_status(run->child, run->interruption), row.status);
        EXPECT_EQ(child.infinite_waits, 1);
        EXPECT_EQ(child.closes, 1);
        EXPECT_FALSE(run->child.process.valid());
        EXPECT_TRUE(child.faults.empty()) << testing::PrintToString(child.faults);
    }
    EXPECT_EQ(wait_for_child_exit_status(run->child, run->interruption), 0u);
    EXPECT_EQ(child.closes, 1);
}

TEST_F(ChildHandle, AFailedWaitIsNotTakenAsTheEndOfTheChild) {
    FakeDirectory directory_state;
    directory_state.gone_after = 1;
    install_fake_directory(platform.table(), directory_state);
    copy_wide_bounded(run->target_directory, fake_target);
    run->unpacking.extraction_started = 1;
    run->unpacking.target_owner = TargetOwner::created;
    struct Case {
        const char* what;
        int failing_waits;
        bool ends_by_itself;
        int terminations;
        uint32_t status;
        bool removed;
    } cases[] = {
        {"one failed wait", 1, true, 0, 9, true},
        {"twenty failed waits", 20, true, 0, 9, true},
        // Every try of the first round fails: the child is terminated, and
        // the waits after that see its end.
        {"twenty-one failed waits", 21, false, 1, 1, true},
        // No wait ever sees the end: the child may still run, so its
        // directory stays.
        {"no wait succeeds", 42, false, 1, 1, false},
    };
    for (const Case& row : cases) {
        renew_child();
        directory_state = FakeDirectory{};
        directory_state.gone_after = 1;
        child.failing_waits = row.failing_waits;
        std::thread child_ending([&row] {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (row.ends_by_itself) end_child(9);
        });
        start();
        uint32_t status = wait_for_child_exit_status(run->child, run->interruption);
        child_ending.join();
        EXPECT_EQ(status, row.status) << row.what;
        EXPECT_EQ(child.terminations, row.terminations) << row.what;
        if (row.terminations > 0) {
            EXPECT_EQ(child.terminate_code, 1u) << row.what;
        }
        EXPECT_EQ(child.closes, 1) << row.what;
        remove_target_directory(*run);
        EXPECT_EQ(directory_state.attempts, row.removed ? 1 : 0) << row.what;
        EXPECT_TRUE(child.faults.empty()) << testing::PrintToString(child.faults);
    }
}

}  // namespace

}  // namespace fenzar
