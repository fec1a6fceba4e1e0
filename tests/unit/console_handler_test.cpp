// The console control handler and the removal of the target directory
// (launcher/parent_end): which events interrupt, what a second event does,
// and a whole parent's start, wait and cleanup while an event arrives on
// another thread.
#include "launcher/parent_end.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child/launch.h"
#include "fake_child.h"
#include "fake_directory.h"
#include "new_run.h"
#include "platform_override.h"

namespace fenzar {

namespace {

constexpr uint32_t interrupted = 0xC000013Au;

// A parent run whose target directory exists (in the fake) and is its own.
void start_run(Run& run) {
    register_parent_cleanups(run);
    copy_wide_bounded(run.target_directory, fake_target);
    run.unpacking.extraction_started = 1;
    run.unpacking.target_owner = TargetOwner::created;
}

class Handler : public ::testing::Test {
protected:
    void SetUp() override {
        install_fake_directory(platform.table(), state);
        start_run(*run);
    }
    PlatformOverride platform;
    FakeDirectory state;
    NewRun run;
};

TEST_F(Handler, NothingHappensBeforeExtractionHasStarted) {
    run->unpacking.extraction_started = 0;
    run->unpacking.target_owner = TargetOwner::none;
    remove_target_directory(*run);
    EXPECT_TRUE(state.touched.empty());
    EXPECT_TRUE(state.pauses.empty());
}

TEST_F(Handler, OnlyTheFiveConsoleEventsRunTheCleanupAndEndTheProcessNotWithZero) {
    struct Case {
        uint32_t control_type;
        bool cleans_up;
    } cases[] = {
        {0, true}, {1, true}, {2, true},  {3, false}, {4, false},
        {5, true}, {6, true}, {7, false}, {8, false}, {0xFFFFFFFFu, false},
    };
    for (const Case& row : cases) {
        state = FakeDirectory{};
        state.gone_after = 1;
        NewRun run;
        start_run(*run);
        if (row.cleans_up) {
            // No child was ever started: the launcher was interrupted.
            try {
                console_control_handler(row.control_type);
                ADD_FAILURE() << "handler returned for " << row.control_type;
            } catch (const ProcessEnded& ended) {
                EXPECT_EQ(ended.status, interrupted) << row.control_type;
            }
        } else {
            EXPECT_EQ(console_control_handler(row.control_type), 0) << row.control_type;
            EXPECT_FALSE(run->interruption.has_begun()) << row.control_type;
        }
        EXPECT_EQ(state.attempts, row.cleans_up ? 1 : 0) << row.control_type;
    }
}

TEST_F(Handler, ASecondEventWaitsForTheFirstInterruptionAndEndsWithItsStatus) {
    state.gone_after = 1;
    ASSERT_TRUE(run->interruption.begin());
    std::atomic<bool> second_ended{false};
    uint32_t second_status = 0;
    std::thread second([&] {
        try {
            console_control_handler(0);
        } catch (const ProcessEnded& ended) {
            second_status = ended.status;
            second_ended = true;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(second_ended.load()) << "a later event must not end the process before the first interruption";
    EXPECT_EQ(state.attempts, 0);
    EXPECT_THROW(run->interruption.finish(3), ProcessEnded);
    second.join();
    EXPECT_TRUE(second_ended.load());
    EXPECT_EQ(second_status, 3u);
}

// The whole parent: start, wait, cleanup on the main thread while a console
// event arrives on another thread.
std::atomic<int> removals_in_progress{0};
std::atomic<int> most_removals_at_once{0};

void note_removal_step() {
    int now = ++removals_in_progress;
    int most = most_removals_at_once.load();
    while (now > most && !most_removals_at_once.compare_exchange_weak(most, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    --removals_in_progress;
}

class ConsoleEventWhileWaiting : public ::testing::Test {
protected:
    void SetUp() override {
        install_fake_child(platform.table(), child);
        install_fake_directory(platform.table(), directory_state);
        directory_state.gone_after = 1;
        platform.table().find_directory_entry = [](platform::DirectoryHandle parent, const char16_t* name,
                                                   platform::EntryFacts* facts) {
            note_removal_step();
            *facts = {fake_target_attributes(), 2};
            return is_fake_target(parent, name) && facts->attributes != platform::invalid_file_attributes;
        };
        platform.table().delete_entry_relative = [](platform::DirectoryHandle parent, const char16_t* name,
                                                    const platform::EntryFacts*) {
            note_removal_step();
            if (is_fake_target(parent, name)) ++fake_directory->attempts;
            return false;
        };
        platform.table().get_own_module_file_name = [](char16_t* out, uint32_t) -> uint32_t {
            copy_wide_bounded(out, u"C:\\apps\\app.exe", 100);
            return 15;
        };
        platform.table().start_process = [](const char16_t*, char16_t*,
                                            platform::JobHandle) -> platform::ProcessHandle { return {child_handle}; };
        start_run(*run);
        most_removals_at_once = 0;
    }

    // Runs the parent's start and wait on this thread and the handler on
    // another once the main thread waits. Both end the process; the status
    // each ended it with, main thread first.
    std::pair<uint32_t, uint32_t> run_with_event(bool child_ends_on_event) {
        child.ignores_events = !child_ends_on_event;
        uint32_t handler_status = 0;
        std::thread handler([&] {
            {
                std::unique_lock<std::mutex> guard(fake_child->lock);
                fake_child->changed.wait(guard, [] { return fake_child->infinite_waits > 0; });
            }
            std::thread child_ending;
            if (child_ends_on_event) {
                // Like an application whose own handler ends it with 2.
                child_ending = std::thread([] {
                    std::unique_lock<std::mutex> guard(fake_child->lock);
                    fake_child->changed.wait(guard, [] { return fake_child->timed_waits > 0; });
                    guard.unlock();
                    end_child(2);
                });
            }
            try {
                console_control_handler(0);
                ADD_FAILURE() << "the handler returned";
            } catch (const ProcessEnded& ended) {
                handler_status = ended.status;
            }
            if (child_ending.joinable()) child_ending.join();
        });
        uint32_t main_status = 0;
        try {
            fill_module_file_name(run->own_paths);
            start_child_and_wait(run->child, run->interruption, run->own_paths.module_file_name.data(),
                                 run->child_command_line, run->failure_explanation);
            clean_up_after_child(*run);
            ADD_FAILURE() << "the main thread returned during an interruption";
        } catch (const ProcessEnded& ended) {
            main_status = ended.status;
        }
        handler.join();
        return {main_status, handler_status};
    }

    PlatformOverride platform;
    FakeChild child;
    FakeDirectory directory_state;
    NewRun run;
};

TEST_F(ConsoleEventWhileWaiting, ChildIgnoringTheEventIsTerminatedHandleClosedOnceDirectoryRemovedOnce) {
    EXPECT_EQ(run_with_event(false), std::make_pair(interrupted, interrupted));
    EXPECT_EQ(child.terminations, 1);
    EXPECT_EQ(child.terminate_code, interrupted);
    EXPECT_EQ(child.closes, 1);
    EXPECT_TRUE(child.faults.empty()) << testing::PrintToString(child.faults);
    EXPECT_EQ(directory_state.attempts, 1);
    EXPECT_EQ(most_removals_at_once.load(), 1);
}

TEST_F(ConsoleEventWhileWaiting, ChildEndingWithinTheGraceIsNotTerminatedAndItsStatusPassesThrough) {
    EXPECT_EQ(run_with_event(true), std::make_pair(2u, 2u));
    EXPECT_EQ(child.terminations, 0);
    EXPECT_EQ(child.closes, 1);
    EXPECT_TRUE(child.faults.empty()) << testing::PrintToString(child.faults);
    EXPECT_EQ(directory_state.attempts, 1);
    EXPECT_EQ(most_removals_at_once.load(), 1);
}

}  // namespace

}  // namespace fenzar
