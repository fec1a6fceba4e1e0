// Ending the child and removing the target directory: the retry schedule,
// the console events, the paths that are refused, the child's handle shared by
// two threads, failed waits, and the tree removal on a real directory tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/stop.h"
#include "child/cleanup.h"
#include "child/launch.h"
#include "platform_override.h"
#include "target_dir/own_path.h"
#include "target_dir/target_directory.h"
#include "unpack/unpack.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t directory = platform::file_attribute_directory;
constexpr uint32_t interrupted = 0xC000013Au;
constexpr char16_t root_target[] = u"C:\\Temp\\onefile_1";
constexpr char16_t root_extended[] = u"\\\\?\\C:\\Temp\\onefile_1";

// A target directory that the fakes below pretend exists until a chosen
// number of removal attempts (removals of the root) has been made.
struct FakeDirectory {
    int attempts = 0;
    int gone_after = 1 << 30;
    int file_after = 1 << 30;
    std::vector<uint32_t> pauses;
    std::vector<std::u16string> touched;
};
FakeDirectory* fake_directory;

void install_fake_directory(platform::Table& table, FakeDirectory& state) {
    fake_directory = &state;
    table.get_file_attributes = [](const char16_t* path) -> uint32_t {
        fake_directory->touched.push_back(path);
        if (std::u16string(path) != root_extended) return platform::invalid_file_attributes;
        if (fake_directory->attempts >= fake_directory->gone_after) return platform::invalid_file_attributes;
        if (fake_directory->attempts >= fake_directory->file_after) return 0x80;
        return directory;
    };
    table.open_directory_listing = [](const char16_t* path, platform::DirectoryEntry*,
                                      bool* has_first) -> platform::DirectoryListing {
        fake_directory->touched.push_back(path);
        *has_first = false;
        return {fake_directory};
    };
    table.next_directory_entry = [](platform::DirectoryListing, platform::DirectoryEntry*) { return false; };
    table.close_directory_listing = [](platform::DirectoryListing) {};
    table.remove_directory = [](const char16_t* path) {
        fake_directory->touched.push_back(path);
        if (std::u16string(path) == root_extended) ++fake_directory->attempts;
        return false;
    };
    table.delete_file = [](const char16_t* path) {
        fake_directory->touched.push_back(path);
        return false;
    };
    table.set_file_attributes = [](const char16_t* path, uint32_t) {
        fake_directory->touched.push_back(path);
        return false;
    };
    table.sleep_milliseconds = [](uint32_t milliseconds) { fake_directory->pauses.push_back(milliseconds); };
}

class Removal : public ::testing::Test {
protected:
    void SetUp() override {
        install_fake_directory(platform.table(), state);
        copy_wide_bounded(target_directory, root_target);
        extraction_started = 1;
    }
    void TearDown() override {
        reset_unpack_state();
        reset_target_directory_state();
        reset_stop_state();
        reset_cleanup_state();
    }
    PlatformOverride platform;
    FakeDirectory state;
};

TEST_F(Removal, RetriesTwentyTimesAfterTheFirstAttemptWhileTheDirectoryStays) {
    struct Case {
        const char* what;
        int gone_after;
        int file_after;
        int attempts;
    } cases[] = {
        {"stays", 1 << 30, 1 << 30, 21},
        {"gone before the first attempt", 0, 1 << 30, 0},
        {"gone after the first attempt", 1, 1 << 30, 1},
        {"gone after the third attempt", 3, 1 << 30, 3},
        {"gone after the last attempt", 21, 1 << 30, 21},
        {"no longer a directory after the second attempt", 1 << 30, 2, 2},
    };
    for (const Case& row : cases) {
        state = FakeDirectory{};
        state.gone_after = row.gone_after;
        state.file_after = row.file_after;
        remove_target_directory();
        EXPECT_EQ(state.attempts, row.attempts) << row.what;
        // One pause before each retry; a retry follows every test that still
        // finds a directory.
        size_t pauses = row.attempts == 0 ? 0 : static_cast<size_t>(row.attempts - 1);
        EXPECT_EQ(state.pauses, std::vector<uint32_t>(pauses, 100u)) << row.what;
    }
}

TEST_F(Removal, NothingHappensBeforeExtractionHasStarted) {
    extraction_started = 0;
    remove_target_directory();
    EXPECT_TRUE(state.touched.empty());
    EXPECT_TRUE(state.pauses.empty());
}

TEST_F(Removal, WorksOnTheExtendedLengthFormOfTheFullPath) {
    struct Case {
        std::u16string target;
        std::u16string root;
    } cases[] = {
        {u"C:\\Temp\\onefile_1", u"\\\\?\\C:\\Temp\\onefile_1"},
        {u"d:\\x", u"\\\\?\\d:\\x"},
        {u"\\\\server\\share\\temp\\onefile_1", u"\\\\?\\UNC\\server\\share\\temp\\onefile_1"},
        // A TEMP given in the extended-length form (TMP=\\?\C:\...) yields a
        // target directory that is in that form already.
        {u"\\\\?\\C:\\Temp\\onefile_1", u"\\\\?\\C:\\Temp\\onefile_1"},
        {u"\\\\?\\UNC\\server\\share\\x", u"\\\\?\\UNC\\server\\share\\x"},
        // The POSIX layer's full paths are rooted without a drive.
        {u"\\tmp\\onefile_1", u"\\tmp\\onefile_1"},
    };
    for (const Case& row : cases) {
        state = FakeDirectory{};
        copy_wide_bounded(target_directory, row.target.c_str());
        remove_target_directory();
        ASSERT_FALSE(state.touched.empty()) << testing::PrintToString(row.target);
        for (const std::u16string& path : state.touched) EXPECT_EQ(path, row.root);
    }
}

TEST_F(Removal, RefusesEverythingButAFullPathBelowARoot) {
    const std::u16string refused[] = {
        u"",
        u"relative\\dir",
        u"C:",
        u"C:dir",
        u"C:\\",
        u"C:\\\\",
        u"C:\\dir\\",
        u"C:\\a\\\\b",
        u"C:\\a\\..\\b",
        u"C:\\a\\.\\b",
        u"C:\\..",
        u"C:\\a/b",
        u"C:\\a\\b:stream",
        u"C:\\a\\*",
        u"\\",
        u"\\\\server",
        u"\\\\server\\share",
        u"\\\\server\\share\\",
        u"\\\\.\\C:\\Temp\\x",
        u"\\\\?\\",
        u"\\\\?\\C:",
        u"\\\\?\\C:\\",
        u"\\\\?\\C:\\a\\..\\b",
        u"\\\\?\\C:\\a\\.",
        u"\\\\?\\C:\\a\\\\b",
        u"\\\\?\\C:\\a/b",
        u"\\\\?\\C:\\a\\b:stream",
        u"\\\\?\\C:relative",
        u"\\\\?\\UNC\\server\\share",
        u"\\\\?\\UNC\\server\\share\\",
        u"\\\\?\\Volume{0b1c}\\x",
        u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x",
        u"\\\\?\\unc\\server\\share\\x",
        u"/tmp/x",
    };
    for (const std::u16string& target : refused) {
        copy_wide_bounded(target_directory, target.c_str());
        remove_target_directory();
        EXPECT_TRUE(state.touched.empty()) << testing::PrintToString(target);
        state.touched.clear();
    }
}

TEST_F(Removal, OnlyTheFiveConsoleEventsRunTheCleanupAndEndTheProcessNotWithZero) {
    struct Case {
        uint32_t control_type;
        bool cleans_up;
    } cases[] = {
        {0, true}, {1, true}, {2, true}, {3, false}, {4, false}, {5, true},
        {6, true}, {7, false}, {8, false}, {0xFFFFFFFFu, false},
    };
    for (const Case& row : cases) {
        state = FakeDirectory{};
        state.gone_after = 1;
        reset_stop_state();
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
            EXPECT_FALSE(stop_has_begun()) << row.control_type;
        }
        EXPECT_EQ(state.attempts, row.cleans_up ? 1 : 0) << row.control_type;
    }
}

TEST_F(Removal, ASecondEventWaitsForTheFirstStopAndEndsWithItsStatus) {
    state.gone_after = 1;
    ASSERT_TRUE(begin_stop());
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
    EXPECT_FALSE(second_ended.load()) << "a later event must not end the process before the first stop";
    EXPECT_EQ(state.attempts, 0);
    EXPECT_THROW(finish_stop(3), ProcessEnded);
    second.join();
    EXPECT_TRUE(second_ended.load());
    EXPECT_EQ(second_status, 3u);
}

// A child process whose handle the fakes below check: no call after the
// close, one close, and no close while a wait is in progress.
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
FakeChild* fake_child;
void* const child_handle = reinterpret_cast<void*>(0x4711);

void check_usable(platform::ProcessHandle process, const char* operation) {
    if (process.value != child_handle) fake_child->faults.push_back(std::string(operation) + " on a foreign handle");
    if (fake_child->closes > 0) fake_child->faults.push_back(std::string(operation) + " after the close");
}

void end_child(uint32_t code) {
    std::lock_guard<std::mutex> guard(fake_child->lock);
    fake_child->alive = false;
    fake_child->exit_code = code;
    fake_child->changed.notify_all();
}

void install_fake_child(platform::Table& table, FakeChild& child) {
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

class ChildHandle : public ::testing::Test {
protected:
    void SetUp() override {
        install_fake_child(platform.table(), child);
        platform.table().start_process = [](const char16_t*, char16_t*, platform::JobHandle) -> platform::ProcessHandle {
            return {child_handle};
        };
        platform.table().sleep_milliseconds = [](uint32_t) {};
    }
    void TearDown() override {
        reset_stop_state();
        reset_cleanup_state();
    }
    void start() {
        uint32_t error = 0;
        ASSERT_TRUE(start_child_process(u"C:\\app.exe", command_line, {nullptr}, &error));
    }
    void renew_child() {
        child.~FakeChild();
        new (&child) FakeChild{};
        reset_cleanup_state();
    }
    char16_t command_line[8] = u"app";
    PlatformOverride platform;
    FakeChild child;
};

TEST_F(ChildHandle, StopChildWithoutAChildOnlyDecidesTheInterruptedStatus) {
    EXPECT_EQ(stop_child(), interrupted);
    EXPECT_EQ(child.timed_waits, 0);
    EXPECT_EQ(child.terminations, 0);
}

TEST_F(ChildHandle, NoChildStartsOnceAStopHasBegun) {
    ASSERT_TRUE(begin_stop());
    std::thread handler([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        try {
            finish_stop(interrupted);
        } catch (const ProcessEnded&) {
        }
    });
    uint32_t error = 0;
    platform.table().start_process = [](const char16_t*, char16_t*, platform::JobHandle) -> platform::ProcessHandle {
        ADD_FAILURE() << "a child started after the stop had begun";
        return {child_handle};
    };
    try {
        start_child_process(u"C:\\app.exe", command_line, {nullptr}, &error);
        ADD_FAILURE() << "the start returned during a stop";
    } catch (const ProcessEnded& ended) {
        EXPECT_EQ(ended.status, interrupted);
    }
    handler.join();
    EXPECT_FALSE(take_child_process().valid());
}

// The start of the child under the platform's fault injection: the first
// `failures` starts fail with `error`.
struct StartFaults {
    int failures = 0;
    uint32_t error = 0;
    int starts = 0;
    std::vector<uint32_t> pauses;
    // Begins a stop during the pause with this index, as an event would.
    int stop_in_pause = -1;
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
    if (static_cast<int>(start_faults->pauses.size()) == start_faults->stop_in_pause) begin_stop();
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
        reset_cleanup_state();
        uint32_t error = 0;
        EXPECT_EQ(start_child_process(u"C:\\app.exe", command_line, {nullptr}, &error), c.started);
        EXPECT_EQ(faults.starts, c.starts);
        // Growing pauses between the attempts, none after the last.
        std::vector<uint32_t> expected_pauses = {100, 200, 400, 800};
        expected_pauses.resize(static_cast<size_t>(c.starts - 1));
        EXPECT_EQ(faults.pauses, expected_pauses);
        if (c.started) {
            EXPECT_EQ(take_child_process().value, child_handle);
        } else {
            EXPECT_EQ(error, c.error);
            EXPECT_FALSE(take_child_process().valid());
        }
    }
}

TEST_F(ChildHandle, AStopDuringTheRetriesStartsNothingMore) {
    StartFaults faults;
    faults.failures = 100;
    faults.error = 1359;
    faults.stop_in_pause = 1;
    start_faults = &faults;
    platform.table().start_process = faulty_start;
    platform.table().sleep_milliseconds = recorded_pause;
    std::thread handler([] {
        while (!stop_has_begun()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        try {
            finish_stop(interrupted);
        } catch (const ProcessEnded&) {
        }
    });
    uint32_t error = 0;
    try {
        start_child_process(u"C:\\app.exe", command_line, {nullptr}, &error);
        ADD_FAILURE() << "the start returned during a stop";
    } catch (const ProcessEnded& ended) {
        EXPECT_EQ(ended.status, interrupted);
    }
    handler.join();
    EXPECT_EQ(faults.starts, 2) << "no attempt after the pause in which the stop began";
    EXPECT_FALSE(take_child_process().valid());
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
        EXPECT_EQ(stop_child(), row.status) << row.what;
        if (child_ending.joinable()) child_ending.join();
        EXPECT_EQ(child.timed_waits, 1) << row.what;
        EXPECT_EQ(child.terminations, row.terminations) << row.what;
        if (row.terminations > 0) {
            EXPECT_EQ(child.terminate_code, interrupted) << row.what;
        }
        EXPECT_EQ(child.closes, 0) << row.what;
        // The owner's wait, exit code and single close follow.
        EXPECT_EQ(wait_for_child_exit_status(), row.status) << row.what;
        EXPECT_EQ(child.closes, 1) << row.what;
        EXPECT_FALSE(take_child_process().valid()) << row.what;
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
        EXPECT_EQ(wait_for_child_exit_status(), row.status);
        EXPECT_EQ(child.infinite_waits, 1);
        EXPECT_EQ(child.closes, 1);
        EXPECT_FALSE(take_child_process().valid());
        EXPECT_TRUE(child.faults.empty()) << testing::PrintToString(child.faults);
    }
    EXPECT_EQ(wait_for_child_exit_status(), 0u);
    EXPECT_EQ(child.closes, 1);
}

TEST_F(ChildHandle, AFailedWaitIsNotTakenAsTheEndOfTheChild) {
    FakeDirectory directory_state;
    directory_state.gone_after = 1;
    install_fake_directory(platform.table(), directory_state);
    copy_wide_bounded(target_directory, root_target);
    extraction_started = 1;
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
        uint32_t status = wait_for_child_exit_status();
        child_ending.join();
        EXPECT_EQ(status, row.status) << row.what;
        EXPECT_EQ(child.terminations, row.terminations) << row.what;
        if (row.terminations > 0) {
            EXPECT_EQ(child.terminate_code, 1u) << row.what;
        }
        EXPECT_EQ(child.closes, 1) << row.what;
        remove_target_directory();
        EXPECT_EQ(directory_state.attempts, row.removed ? 1 : 0) << row.what;
        EXPECT_TRUE(child.faults.empty()) << testing::PrintToString(child.faults);
    }
    reset_unpack_state();
    reset_target_directory_state();
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
        platform.table().get_file_attributes = [](const char16_t* path) -> uint32_t {
            note_removal_step();
            if (std::u16string(path) != root_extended) return platform::invalid_file_attributes;
            return fake_directory->attempts >= fake_directory->gone_after ? platform::invalid_file_attributes
                                                                          : directory;
        };
        platform.table().remove_directory = [](const char16_t* path) {
            note_removal_step();
            if (std::u16string(path) == root_extended) ++fake_directory->attempts;
            return false;
        };
        platform.table().get_own_module_file_name = [](char16_t* out, uint32_t) -> uint32_t {
            copy_wide_bounded(out, u"C:\\apps\\app.exe", 100);
            return 15;
        };
        platform.table().start_process = [](const char16_t*, char16_t*, platform::JobHandle) -> platform::ProcessHandle {
            return {child_handle};
        };
        copy_wide_bounded(target_directory, root_target);
        extraction_started = 1;
        most_removals_at_once = 0;
    }
    void TearDown() override {
        reset_unpack_state();
        reset_target_directory_state();
        reset_own_path_state();
        reset_stop_state();
        reset_cleanup_state();
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
            start_child_and_wait();
            ADD_FAILURE() << "the main thread returned during a stop";
        } catch (const ProcessEnded& ended) {
            main_status = ended.status;
        }
        handler.join();
        return {main_status, handler_status};
    }

    PlatformOverride platform;
    FakeChild child;
    FakeDirectory directory_state;
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

// The tree removal on a real directory tree through the POSIX layer, with
// every file operation recorded on its way through.
std::vector<std::pair<std::string, std::u16string>> operations;
std::u16string undeletable;
platform::Table real;

std::u16string to_core_path(const fs::path& path) {
    std::u16string out;
    for (char c : path.string()) out += c == '/' ? u'\\' : static_cast<char16_t>(static_cast<unsigned char>(c));
    return out;
}

class TreeRemoval : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fenzar_cleanup_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base = pattern;
        target = base / "onefile_1";
        outside = base / "outside";
        fs::create_directories(outside / "kept_dir");
        write(outside / "kept_dir" / "keep.txt");
        write(outside / "kept_file.txt");

        real = platform.table();
        operations.clear();
        undeletable.clear();
        platform.table().delete_file = [](const char16_t* path) {
            operations.emplace_back("delete", path);
            if (!undeletable.empty() && path == undeletable) return false;
            return real.delete_file(path);
        };
        platform.table().remove_directory = [](const char16_t* path) {
            operations.emplace_back("rmdir", path);
            return real.remove_directory(path);
        };
        platform.table().set_file_attributes = [](const char16_t* path, uint32_t attributes) {
            operations.emplace_back("attributes", path);
            return real.set_file_attributes(path, attributes);
        };
        platform.table().open_directory_listing = [](const char16_t* path, platform::DirectoryEntry* first,
                                                     bool* has_first) {
            operations.emplace_back("list", path);
            return real.open_directory_listing(path, first, has_first);
        };
        platform.table().sleep_milliseconds = [](uint32_t) {};
        copy_wide_bounded(target_directory, to_core_path(target).c_str());
        extraction_started = 1;
    }
    void TearDown() override {
        reset_unpack_state();
        reset_target_directory_state();
        std::error_code ignored;
        for (auto& entry : fs::recursive_directory_iterator(base, ignored)) {
            if (!entry.is_symlink()) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        fs::remove_all(base, ignored);
    }

    static void write(const fs::path& path) { std::ofstream(path) << "data"; }

    void make_tree() {
        fs::create_directories(target / "sub" / "deeper");
        fs::create_directories(target / "empty");
        fs::create_directories(target / "read_only_dir");
        write(target / "a.txt");
        write(target / "sub" / "b.txt");
        write(target / "sub" / "deeper" / "c.txt");
        write(target / "read_only.txt");
        fs::permissions(target / "read_only.txt", fs::perms::owner_read);
        write(target / "read_only_dir" / "d.txt");
        fs::permissions(target / "read_only_dir", fs::perms::owner_read | fs::perms::owner_exec);
        fs::create_directory_symlink(outside / "kept_dir", target / "sub" / "link_to_dir");
        fs::create_symlink(outside / "kept_file.txt", target / "link_to_file");
        fs::create_directory_symlink(base, target / "link_up");
    }

    bool was(const std::string& what, const fs::path& path) {
        return std::find(operations.begin(), operations.end(), std::make_pair(what, to_core_path(path))) !=
               operations.end();
    }

    PlatformOverride platform;
    fs::path base, target, outside;
};

TEST_F(TreeRemoval, RemovesTheWholeTreeButNothingALinkPointsTo) {
    make_tree();
    remove_target_directory();
    EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
    EXPECT_TRUE(fs::exists(outside / "kept_dir" / "keep.txt"));
    EXPECT_TRUE(fs::exists(outside / "kept_file.txt"));
    // Links are removed as links and never listed.
    EXPECT_TRUE(was("delete", target / "sub" / "link_to_dir"));
    EXPECT_FALSE(was("list", target / "sub" / "link_to_dir"));
    EXPECT_FALSE(was("list", target / "link_up"));
    // Read-only entries lose the attribute before they go.
    EXPECT_TRUE(was("attributes", target / "read_only.txt"));
    EXPECT_TRUE(was("attributes", target / "read_only_dir"));
    for (const auto& [what, path] : operations) {
        EXPECT_EQ(path.rfind(to_core_path(target), 0), 0u) << what << " outside the target";
    }
}

TEST_F(TreeRemoval, GoesOnPastWhatCannotBeRemovedAndRetries) {
    make_tree();
    undeletable = to_core_path(target / "sub" / "b.txt");
    remove_target_directory();
    // Only the file and the directories above it are left.
    std::vector<fs::path> left;
    for (auto& entry : fs::recursive_directory_iterator(target)) left.push_back(entry.path());
    EXPECT_EQ(left, (std::vector<fs::path>{target / "sub", target / "sub" / "b.txt"}));
    EXPECT_TRUE(fs::exists(outside / "kept_dir" / "keep.txt"));
    EXPECT_TRUE(fs::exists(outside / "kept_file.txt"));
    EXPECT_EQ(std::count(operations.begin(), operations.end(), std::make_pair(std::string("delete"), undeletable)),
              21);
}

TEST_F(TreeRemoval, DeepTreeIsRemovedBottomUp) {
    fs::path deep = target;
    const char* names[] = {"d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d8", "d9"};
    for (int i = 0; i < 200; ++i) deep /= names[i % 10];
    fs::create_directories(deep);
    write(deep / "leaf.txt");
    remove_target_directory();
    EXPECT_FALSE(fs::exists(target));
}

}  // namespace
