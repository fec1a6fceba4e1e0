// How a parent-mode launcher ends: on a console event at each moment of its
// flow, and after a failure once its directory exists. The whole flow
// (launcher_main) runs on the POSIX layer with real files below a scratch
// directory; the child is a fake. Every file operation is recorded with the
// thread that made it, so that the order between the main thread and the
// handler's thread can be checked: the tests pin which calls happen on which
// thread before and after the event, not only the end state.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "launcher/launcher_main.h"
#include "launcher/parent_end.h"
#include "new_run.h"
#include "platform_override.h"
#include "support/attached_data_builder.h"

namespace fenzar {

namespace {

namespace fs = std::filesystem;

constexpr uint32_t interrupted = 0xC000013Au;
void* const child_handle = reinterpret_cast<void*>(0x4711);

struct ProcessExit {
    int status;
};

struct Operation {
    bool on_main_thread;
    std::string name;
};

// Everything the fakes share with the test, guarded by lock.
struct World {
    platform::Table real;
    std::thread::id main_thread;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Operation> log;
    std::map<std::string, int> calls;

    // The event: before call number event_passes + 1 of event_operation.
    std::string event_operation;
    int event_passes = -1;
    int event_at = -1;  // index in the log where it was delivered
    std::thread handler;
    uint32_t handler_status = 0;
    bool handler_ended = false;

    // Faults: the call of fault_operation after fault_passes others fails.
    std::string fault_operation;
    int fault_passes = -1;
    uint32_t fault_error = 0;

    // The fake child: runs until terminated, unless it ends by itself.
    bool child_started = false;
    bool child_alive = false;
    bool child_ends_by_itself = false;
    uint32_t child_exit_code = 0;

    bool target_existed_at_exit = false;
    Run* run = nullptr;

    // What the system reports as the raw command line and, unless negative,
    // as the length of the own module path (cut to the buffer, as
    // GetModuleFileNameW does).
    std::u16string command_line = u"app.exe";
    int64_t own_module_length = -1;
};
World* world;

fs::path target_path() {
    std::string native;
    for (char16_t unit : std::u16string(world->run->target_directory.data())) {
        native += unit == u'\\' ? '/' : static_cast<char>(unit);
    }
    return native;
}

void deliver_event() {
    world->handler = std::thread([] {
        try {
            console_control_handler(0);
        } catch (const ProcessEnded& ended) {
            std::lock_guard<std::mutex> guard(world->lock);
            world->handler_status = ended.status;
            world->handler_ended = true;
        }
    });
    while (!world->run->interruption.has_begun()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Records the call; delivers the event before it when due; true when this
// call is to fail.
bool record(const char* name) {
    bool deliver = false;
    bool fail = false;
    {
        std::lock_guard<std::mutex> guard(world->lock);
        int call = world->calls[name]++;
        if (world->event_operation == name && call == world->event_passes) {
            deliver = true;
            world->event_at = static_cast<int>(world->log.size());
        }
        fail = world->fault_operation == name && call == world->fault_passes;
        world->log.push_back(
            {std::this_thread::get_id() == world->main_thread, fail ? "failed " + std::string(name) : name});
    }
    if (deliver) deliver_event();
    if (fail) platform::set_last_error(world->fault_error);
    return fail;
}

void install_world(platform::Table& table) {
    table.exit_process = [](int status) {
        world->target_existed_at_exit = fs::exists(target_path());
        throw ProcessExit{status};
    };
    // Large blocks (the reader's window, 128 KiB) apart from the small ones
    // (a variable's value), so that a moment can name the start of the
    // unpacking however many variables are read before it.
    table.allocate_memory = [](size_t size) -> void* {
        if (record(size >= 128 * 1024 ? "allocate_large_memory" : "allocate_memory")) return nullptr;
        return world->real.allocate_memory(size);
    };
    table.create_directory = [](const char16_t* path) {
        if (record("create_directory")) return false;
        return world->real.create_directory(path);
    };
    table.create_file_for_writing = [](const char16_t* path) -> platform::FileHandle {
        if (record("create_file")) return {nullptr};
        return world->real.create_file_for_writing(path);
    };
    table.write_file = [](platform::FileHandle file, const void* data, uint32_t length) {
        if (record("write_file")) return false;
        return world->real.write_file(file, data, length);
    };
    table.close_file = [](platform::FileHandle file) {
        bool fail = record("close_file");
        bool closed = world->real.close_file(file);
        if (fail) platform::set_last_error(world->fault_error);
        return closed && !fail;
    };
    table.get_file_attributes = [](const char16_t* path) {
        record("get_file_attributes");
        return world->real.get_file_attributes(path);
    };
    table.delete_file = [](const char16_t* path) {
        if (record("delete_file")) return false;
        return world->real.delete_file(path);
    };
    table.remove_directory = [](const char16_t* path) {
        if (record("remove_directory")) return false;
        return world->real.remove_directory(path);
    };
    table.open_directory_for_removal = [](platform::DirectoryHandle parent, const char16_t* name,
                                          platform::EntryFacts* facts) {
        record("open_directory_for_removal");
        return world->real.open_directory_for_removal(parent, name, facts);
    };
    table.delete_entry_relative = [](platform::DirectoryHandle parent, const char16_t* name,
                                     const platform::EntryFacts* expected) {
        if (record("delete_entry_relative")) return false;
        return world->real.delete_entry_relative(parent, name, expected);
    };
    table.get_raw_command_line = []() -> const char16_t* {
        record("get_raw_command_line");
        return world->command_line.c_str();
    };
    table.get_own_module_file_name = [](char16_t* out, uint32_t size) -> uint32_t {
        if (world->own_module_length < 0) return world->real.get_own_module_file_name(out, size);
        uint32_t length = static_cast<uint32_t>(world->own_module_length);
        uint32_t stored = length < size ? length : size - 1;
        for (uint32_t i = 0; i < stored; ++i) out[i] = i == 0 ? u'\\' : u'm';
        out[stored] = 0;
        return length;
    };
    table.create_kill_on_close_job = []() -> platform::JobHandle {
        record("create_kill_on_close_job");
        return {nullptr};
    };
    table.start_process = [](const char16_t*, char16_t*, platform::JobHandle) -> platform::ProcessHandle {
        if (record("start_process")) return {nullptr};
        std::lock_guard<std::mutex> guard(world->lock);
        world->child_started = true;
        world->child_alive = !world->child_ends_by_itself;
        return {child_handle};
    };
    // The grace period runs out at once; a wait without limit lasts until
    // the child has ended.
    table.wait_for_process = [](platform::ProcessHandle, uint32_t milliseconds) -> uint32_t {
        record("wait_for_process");
        std::unique_lock<std::mutex> guard(world->lock);
        if (milliseconds != platform::wait_infinite) return world->child_alive ? 0x102u : platform::wait_object_0;
        world->changed.wait(guard, [] { return !world->child_alive; });
        return platform::wait_object_0;
    };
    table.get_process_exit_code = [](platform::ProcessHandle, uint32_t* code) {
        std::lock_guard<std::mutex> guard(world->lock);
        *code = world->child_exit_code;
        return true;
    };
    table.terminate_process = [](platform::ProcessHandle, uint32_t code) {
        record("terminate_process");
        std::lock_guard<std::mutex> guard(world->lock);
        if (world->child_alive) world->child_exit_code = code;
        world->child_alive = false;
        world->changed.notify_all();
    };
    table.close_process = [](platform::ProcessHandle) {};
    table.sleep_milliseconds = [](uint32_t) {};
    // No sweep beside the fake child: its thread would outlive the test's
    // fakes (the sweep has tests of its own).
    table.start_background_thread = [](void (*)(void*), void*) { return false; };
}

class ParentEnd : public testing::Test {
protected:
    void SetUp() override {
        char scratch_pattern[] = "/tmp/fenzar_parent_end_XXXXXX";
        ASSERT_NE(mkdtemp(scratch_pattern), nullptr);
        scratch = scratch_pattern;
        setenv("TMPDIR", scratch.c_str(), 1);
        for (const char* name : variables) unsetenv(name);
        world = &state;
        state.run = &*launcher_run;
        state.real = platform::table;
        state.main_thread = std::this_thread::get_id();
        install_world(platform.table());
        // Four pieces of 32 KiB for the first record, so that an event can
        // fall between two of them.
        data = make_attached_data(make_archive({
            {u"app.dll", pattern(4 * 32768, 1)},
            {u"sub\\data.bin", pattern(70000, 2)},
            {u"last.txt", "last"},
        }));
    }

    void TearDown() override {
        if (state.handler.joinable()) state.handler.join();
        for (const char* name : variables) unsetenv(name);
        unsetenv("TMPDIR");
        unsetenv("XDG_CACHE_HOME");
        // The run's cache lock closes with its owner; closed here, while
        // the recording table still has its world.
        state.run->cache.lock.reset();
        world = nullptr;
        fs::remove_all(scratch);
    }

    // Runs launcher_main on this thread. The status it ended with: through
    // an interruption, an exit after a failure, or its return.
    uint32_t run() {
        char16_t argument0[] = u"app.exe";
        char16_t* argv[] = {argument0, nullptr};
        uint32_t status = 0;
        try {
            // The launch settings, when there are any, follow the data.
            Bytes image = data;
            image.insert(image.end(), settings.begin(), settings.end());
            status = static_cast<uint32_t>(launcher_main(*launcher_run, 1, argv, image.data(), data.size(),
                                                         static_cast<uint32_t>(settings.size())));
            ended_by = "return";
        } catch (const ProcessEnded& ended) {
            status = ended.status;
            ended_by = "interruption";
        } catch (const ProcessExit& exit) {
            status = static_cast<uint32_t>(exit.status);
            ended_by = "exit";
        } catch (const ImmediateStop&) {
            status = platform::immediate_stop_status;
            ended_by = "immediate stop";
        }
        if (state.handler.joinable()) state.handler.join();
        // Where the process would have ended with the reader open.
        close_payload(launcher_run->reader);
        target = target_path();
        return status;
    }

    // The first index at or after `from` of an operation of the removal
    // made by the given thread; the log's size when there is none.
    size_t first_removal(bool on_main_thread, size_t from = 0) const {
        for (size_t i = from; i < state.log.size(); ++i) {
            const Operation& operation = state.log[i];
            if (operation.on_main_thread != on_main_thread) continue;
            if (operation.name == "delete_file" || operation.name == "remove_directory" ||
                operation.name == "get_file_attributes" || operation.name == "open_directory_for_removal" ||
                operation.name == "delete_entry_relative") {
                return i;
            }
        }
        return state.log.size();
    }

    int count(const std::string& name, bool on_main_thread, size_t from, size_t to) const {
        int found = 0;
        for (size_t i = from; i < to && i < state.log.size(); ++i) {
            if (state.log[i].name == name && state.log[i].on_main_thread == on_main_thread) ++found;
        }
        return found;
    }

    static constexpr const char* variables[] = {
        "FENZAR_ONEFILE_PARENT", "FENZAR_ONEFILE_START",     "FENZAR_ONEFILE_TIME_US",
        "FENZAR_ONEFILE_RANDOM", "FENZAR_ONEFILE_DIRECTORY", "FENZAR_ORIGINAL_ARGV0",
    };
    PlatformOverride platform;
    NewRun launcher_run;
    World state;
    Bytes data;
    Bytes settings;
    fs::path scratch;
    fs::path target;
    std::string ended_by;
};

struct Moment {
    const char* name;
    const char* operation;
    int passes;
    bool child_ends_by_itself;
    bool child_starts;
    uint32_t status;
};

void PrintTo(const Moment& moment, std::ostream* out) { *out << moment.name; }

class EventMoment : public ParentEnd, public testing::WithParamInterface<Moment> {};

TEST_P(EventMoment, LeavesNoChildNoDirectoryAndEndsWithTheStatusOfTheInterruption) {
    const Moment& moment = GetParam();
    state.event_operation = moment.operation;
    state.event_passes = moment.passes;
    state.child_ends_by_itself = moment.child_ends_by_itself;
    state.child_exit_code = 5;

    uint32_t status = run();
    ASSERT_GE(state.event_at, 0) << "the event was never delivered";
    EXPECT_EQ(ended_by, "interruption");
    EXPECT_EQ(status, moment.status);
    EXPECT_TRUE(state.handler_ended);
    EXPECT_EQ(state.handler_status, moment.status);
    EXPECT_EQ(state.child_started, moment.child_starts);
    EXPECT_FALSE(state.child_alive);
    EXPECT_FALSE(fs::exists(target)) << target;

    // After the event the main thread makes at most the call it was about
    // to make, and it has closed every file it opened before the handler
    // removes anything; it starts no child.
    size_t event = static_cast<size_t>(state.event_at);
    size_t end = state.log.size();
    size_t handler_removal = first_removal(false, event);
    EXPECT_LE(count("write_file", true, event, end) + count("create_file", true, event, end) +
                  count("create_directory", true, event, end),
              1);
    for (const char* writing : {"write_file", "create_file", "create_directory", "start_process"}) {
        EXPECT_EQ(count(writing, true, handler_removal, end), 0) << writing;
    }
    EXPECT_EQ(count("create_file", true, 0, handler_removal), count("close_file", true, 0, handler_removal));
    if (moment.child_starts && !moment.child_ends_by_itself) {
        EXPECT_EQ(count("terminate_process", false, 0, handler_removal), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Moments, EventMoment,
    testing::Values(Moment{"BeforeUnpacking", "allocate_large_memory", 0, false, false, interrupted},
                    Moment{"BetweenTwoPiecesOfAFile", "write_file", 2, false, false, interrupted},
                    Moment{"WhileAFileIsCreated", "create_file", 1, false, false, interrupted},
                    Moment{"WhileTheCommandLineIsBuiltBeforeUnpacking", "get_raw_command_line", 0, false, false,
                           interrupted},
                    Moment{"BetweenUnpackingAndTheStart", "create_kill_on_close_job", 0, false, false, interrupted},
                    Moment{"WhileTheChildRunsAndIgnoresIt", "wait_for_process", 0, false, true, interrupted},
                    // The child had ended with 5 by itself: its status is the run's.
                    Moment{"WhileTheDirectoryIsRemovedAfterTheRun", "delete_entry_relative", 0, true, true, 5}),
    [](const testing::TestParamInfo<Moment>& info) { return std::string(info.param.name); });

struct Failure {
    const char* name;
    const char* operation;
    int passes;
    uint32_t error;
    bool truncated;
};

void PrintTo(const Failure& failure, std::ostream* out) { *out << failure.name; }

class FailureExit : public ParentEnd, public testing::WithParamInterface<Failure> {};

TEST_P(FailureExit, AfterUnpackingStartedRemovesTheDirectoryFirst) {
    const Failure& failure = GetParam();
    state.fault_operation = failure.operation;
    state.fault_passes = failure.passes;
    state.fault_error = failure.error;
    if (failure.truncated) {
        std::string archive = make_archive({{u"app.dll", pattern(4 * 32768, 1)}, {u"last.txt", "last"}});
        data = make_attached_data(archive.substr(0, archive.size() / 2));
    }

    uint32_t status = run();
    EXPECT_EQ(ended_by, "exit");
    EXPECT_EQ(status, 2u);
    EXPECT_FALSE(state.target_existed_at_exit) << target;
    EXPECT_FALSE(state.child_started);
    // The file being written was closed before anything was removed.
    size_t removal = first_removal(true);
    EXPECT_LT(removal, state.log.size());
    EXPECT_EQ(count("create_file", true, 0, removal),
              count("close_file", true, 0, removal) + count("failed close_file", true, 0, removal));
}

INSTANTIATE_TEST_SUITE_P(Failures, FailureExit,
                         testing::Values(Failure{"ChildCannotStart", "start_process", 0, 193, false},
                                         Failure{"WriteFailsInsideAFile", "write_file", 5, 112, false},
                                         Failure{"FileCannotBeCreated", "create_file", 1, 5, false},
                                         Failure{"CloseOfAWrittenFileFails", "close_file", 1, 112, false},
                                         Failure{"DataEndsInsideARecord", "", 0, 0, true}),
                         [](const testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

// A payload larger than the main thread writes itself: its files are
// written on the writer thread and, when asked, closed on the pool.
Bytes data_for_the_writer() {
    std::vector<Record> records = {{u"app.dll", pattern(3000000, 1)}};
    for (int i = 0; i < 30; ++i) {
        std::string digits = std::to_string(i);
        records.push_back({u"sub\\f" + std::u16string(digits.begin(), digits.end()) + u".bin", pattern(20000, 2 + i)});
    }
    return make_attached_data(make_archive(records));
}

struct Beside {
    const char* name;
    const char* operation;
    int passes;
    CloseMode close_mode;
};

void PrintTo(const Beside& beside, std::ostream* out) { *out << beside.name; }

class ParentEndBesideTheWriter : public ParentEnd, public testing::WithParamInterface<Beside> {
protected:
    int count_on_any_thread(const std::string& name, size_t from, size_t to) const {
        return count(name, true, from, to) + count(name, false, from, to);
    }

    // Nothing is removed while a file is open or a call of the unpacking is
    // under way: every file created was closed before the first removal,
    // and no thread makes a file call of the unpacking after it.
    void expect_everything_closed_before_the_removal(size_t removal) {
        ASSERT_LT(removal, state.log.size()) << "nothing was removed";
        EXPECT_EQ(count_on_any_thread("create_file", 0, removal),
                  count_on_any_thread("close_file", 0, removal) + count_on_any_thread("failed close_file", 0, removal));
        for (const char* writing : {"write_file", "create_file", "create_directory", "close_file"}) {
            EXPECT_EQ(count_on_any_thread(writing, removal, state.log.size()), 0) << writing;
        }
    }
};

TEST_P(ParentEndBesideTheWriter, ConsoleEventStopsTheWriterAndThePoolBeforeTheDirectoryGoes) {
    const Beside& beside = GetParam();
    data = data_for_the_writer();
    launcher_run->unpacking.close_mode = beside.close_mode;
    state.event_operation = beside.operation;
    state.event_passes = beside.passes;

    uint32_t status = run();
    ASSERT_GE(state.event_at, 0) << "the event was never delivered";
    EXPECT_EQ(ended_by, "interruption");
    EXPECT_EQ(status, interrupted);
    EXPECT_TRUE(state.handler_ended);
    EXPECT_FALSE(state.child_started);
    EXPECT_FALSE(fs::exists(target)) << target;
    EXPECT_EQ(launcher_run->unpacking.writer.closes_pooled(), beside.close_mode == CloseMode::pooled);
    expect_everything_closed_before_the_removal(first_removal(false, static_cast<size_t>(state.event_at)));
}

TEST_P(ParentEndBesideTheWriter, FailureOnTheWriterOrThePoolRemovesTheDirectoryAfterEverythingIsClosed) {
    const Beside& beside = GetParam();
    data = data_for_the_writer();
    launcher_run->unpacking.close_mode = beside.close_mode;
    state.fault_operation = beside.operation;
    state.fault_passes = beside.passes;
    state.fault_error = platform::error_disk_full;

    testing::internal::CaptureStderr();
    uint32_t status = run();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error, couldn't unpack file to target path. ([Error 112] There is not enough space on the disk.)\n");
    EXPECT_EQ(ended_by, "exit");
    EXPECT_EQ(status, 2u);
    EXPECT_FALSE(state.target_existed_at_exit) << target;
    EXPECT_FALSE(state.child_started);
    expect_everything_closed_before_the_removal(first_removal(true));
}

// Write 100 is the writer thread's, after the first file's close (the main
// thread writes the first 32 pieces itself); close 5 is of a file the
// writer wrote.
INSTANTIATE_TEST_SUITE_P(Threads, ParentEndBesideTheWriter,
                         testing::Values(Beside{"WriteOnTheWriter", "write_file", 100, CloseMode::inline_only},
                                         Beside{"WriteWithClosesOnThePool", "write_file", 100, CloseMode::pooled},
                                         Beside{"CloseOnTheWriter", "close_file", 5, CloseMode::inline_only},
                                         Beside{"CloseOnThePool", "close_file", 5, CloseMode::pooled}),
                         [](const testing::TestParamInfo<Beside>& info) { return std::string(info.param.name); });

TEST_F(ParentEnd, AFailureBeforeUnpackingRemovesNothing) {
    state.fault_operation = "allocate_memory";
    state.fault_passes = 0;
    EXPECT_EQ(run(), 2u);
    EXPECT_EQ(ended_by, "exit");
    EXPECT_EQ(first_removal(true), state.log.size()) << "a removal ran for a directory never made";
}

// Whether the child can be started from this path with this command line
// is known before the target directory is made: at a limit the launcher
// stops with nothing created, instead of after unpacking everything.
struct Limit {
    const char* name;
    int64_t own_module_length;
    size_t argument_length;
};

void PrintTo(const Limit& limit, std::ostream* out) { *out << limit.name; }

class ChildLimit : public ParentEnd, public testing::WithParamInterface<Limit> {};

TEST_P(ChildLimit, StopsAtOnceWithNothingCreated) {
    const Limit& limit = GetParam();
    state.own_module_length = limit.own_module_length;
    if (limit.argument_length > 0) state.command_line = u"app.exe " + std::u16string(limit.argument_length, u'x');
    EXPECT_EQ(run(), platform::immediate_stop_status);
    EXPECT_EQ(ended_by, "immediate stop");
    EXPECT_FALSE(fs::exists(target)) << target;
    EXPECT_EQ(launcher_run->unpacking.extraction_started.load(), 0);
    for (const char* writing : {"create_directory", "create_file", "write_file", "start_process"}) {
        EXPECT_EQ(count(writing, true, 0, state.log.size()), 0) << writing;
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, ChildLimit,
                         testing::Values(Limit{"OwnPathUnreadable", 0, 0},
                                         // GetModuleFileNameW fills the buffer of 4,096: a path of
                                         // 4,096 characters or more, cut.
                                         Limit{"OwnPathOf4096Characters", 4096, 0},
                                         Limit{"OwnPathOf5000Characters", 5000, 0},
                                         // "\\mmm...m" of 30 characters, a space and the argument:
                                         // 32,769 characters, one more than the child's line holds.
                                         Limit{"CommandLineOneCharacterTooLong", 30, 32768 - 31 + 1},
                                         Limit{"CommandLineTheSystemTookButTheChildsCannotHold", -1, 32749}),
                         [](const testing::TestParamInfo<Limit>& info) { return std::string(info.param.name); });

TEST_F(ParentEnd, ACommandLineOfExactly32768CharactersRuns) {
    state.own_module_length = 30;
    state.command_line = u"app.exe " + std::u16string(32768 - 31, u'x');
    state.child_ends_by_itself = true;
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(ended_by, "return");
    EXPECT_EQ(wide_length(launcher_run->child_command_line.data()), 32768u);
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(ParentEnd, ANormalRunReturnsTheChildsStatusAfterRemovingTheDirectory) {
    state.child_ends_by_itself = true;
    state.child_exit_code = 0xFFFFFFFFu;
    EXPECT_EQ(run(), 0xFFFFFFFFu);
    EXPECT_EQ(ended_by, "return");
    EXPECT_FALSE(fs::exists(target));
    EXPECT_FALSE(launcher_run->interruption.has_begun());
}

// A launcher made with --cache: the run takes its application from
// Fenzar's folder below the local application data (a scratch folder here),
// unpacked into a private sibling and published with one rename. What it
// published stays at the end and on a console event; what it had only begun
// to unpack goes, as a temporary directory does.
class CacheParentEnd : public ParentEnd {
protected:
    void SetUp() override {
        ParentEnd::SetUp();
        setenv("XDG_CACHE_HOME", scratch.c_str(), 1);
        platform.table().is_elevated = [] { return false; };
        settings = make_launch_settings(u"app");
    }

    fs::path application() const { return scratch / "Fenzar" / "app"; }
    fs::path content() const { return application() / "a5a6a7a8a9aaabacadaeafb0b1b2b3b4"; }
    std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(application())) names.insert(entry.path().filename());
        return names;
    }
    void expect_only_the_lock() const {
        EXPECT_EQ(entries(), std::set<std::string>{content().filename().string() + ".lock"});
    }
};

TEST_F(CacheParentEnd, ANormalRunKeepsThePublishedDirectoryAndReturnsTheChildsStatus) {
    state.child_ends_by_itself = true;
    state.child_exit_code = 0x8765ABCDu;
    EXPECT_EQ(run(), 0x8765ABCDu);
    EXPECT_EQ(ended_by, "return");
    EXPECT_EQ(target, content() / "files");
    EXPECT_EQ(fs::file_size(target / "app.dll"), 4u * 32768u);
    EXPECT_EQ(fs::file_size(target / "sub" / "data.bin"), 70000u);
    EXPECT_TRUE(fs::exists(content() / "index"));
    EXPECT_EQ(entries(),
              (std::set<std::string>{content().filename().string(), content().filename().string() + ".lock"}));
}

TEST_F(CacheParentEnd, AConsoleEventWhileTheChildRunsLeavesThePublishedDirectory) {
    state.event_operation = "wait_for_process";
    state.event_passes = 0;
    EXPECT_EQ(run(), interrupted);
    EXPECT_EQ(ended_by, "interruption");
    EXPECT_FALSE(state.child_alive);
    EXPECT_EQ(target, content() / "files");
    EXPECT_EQ(fs::file_size(target / "app.dll"), 4u * 32768u);
    EXPECT_EQ(count("delete_file", false, 0, state.log.size()) + count("remove_directory", false, 0, state.log.size()) +
                  count("delete_entry_relative", false, 0, state.log.size()),
              0);
}

TEST_F(CacheParentEnd, AConsoleEventWhileUnpackingRemovesThePrivateDirectoryAndPublishesNothing) {
    state.event_operation = "write_file";
    state.event_passes = 2;
    EXPECT_EQ(run(), interrupted);
    EXPECT_EQ(ended_by, "interruption");
    EXPECT_FALSE(state.child_started);
    EXPECT_FALSE(fs::exists(target)) << target;
    EXPECT_EQ(target.parent_path(), application());
    expect_only_the_lock();
}

// The index cannot be written (the fourth file created, after the three
// records): the private directory goes, and the run unpacks again into a
// temporary directory, runs from there and removes it, as without --cache.
TEST_F(CacheParentEnd, WhenNothingCanBePublishedTheRunFallsBackToATemporaryDirectory) {
    state.fault_operation = "create_file";
    state.fault_passes = 3;
    state.fault_error = 5;
    state.child_ends_by_itself = true;
    state.child_exit_code = 7;
    EXPECT_EQ(run(), 7u);
    EXPECT_EQ(ended_by, "return");
    EXPECT_TRUE(state.child_started);
    EXPECT_EQ(target.parent_path(), scratch);
    EXPECT_EQ(target.filename().string().rfind("onefile_", 0), 0u) << target;
    EXPECT_FALSE(fs::exists(target)) << target;
    EXPECT_EQ(state.calls["create_file"], 3 + 1 + 3);
    expect_only_the_lock();
}

// A write that fails while unpacking into the cache (a full disk, a path
// too long for the system) is no error of its own: the private directory
// goes and the run unpacks again into a temporary directory.
TEST_F(CacheParentEnd, AFailureWhileUnpackingFallsBackToATemporaryDirectory) {
    state.fault_operation = "write_file";
    state.fault_passes = 5;
    state.fault_error = 112;
    state.child_ends_by_itself = true;
    state.child_exit_code = 9;
    EXPECT_EQ(run(), 9u);
    EXPECT_EQ(ended_by, "return");
    EXPECT_TRUE(state.child_started);
    EXPECT_EQ(target.parent_path(), scratch);
    EXPECT_EQ(target.filename().string().rfind("onefile_", 0), 0u) << target;
    EXPECT_FALSE(fs::exists(target)) << target;
    expect_only_the_lock();
}

// A console event in the fallback's gap, after the private directory has
// gone and before the temporary one is made: the owner is none, so the
// handler removes nothing, not even the path the run has just computed.
TEST_F(CacheParentEnd, AConsoleEventInTheFallbacksGapRemovesNothing) {
    state.fault_operation = "write_file";
    state.fault_passes = 5;
    state.fault_error = 112;
    // At the removal of the private directory, inside the gap: the handler
    // waits for the main thread to leave it, then finds no owner.
    state.event_operation = "open_directory_for_removal";
    state.event_passes = 0;
    EXPECT_EQ(run(), interrupted);
    EXPECT_EQ(ended_by, "interruption");
    EXPECT_FALSE(state.child_started);
    EXPECT_EQ(count("open_directory_for_removal", false, state.event_at, state.log.size()), 0);
    expect_only_the_lock();
}

}  // namespace

}  // namespace fenzar
