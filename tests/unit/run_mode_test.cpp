// The run-mode decision and the parent's environment. The decision is made
// against a fake process table: each process with its image, creation time,
// real parent and elevation, and the reads that fail.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "launcher/run_mode.h"
#include "platform_override.h"

namespace fenzar {

namespace {

constexpr uint32_t own_id = 500;
const std::u16string launcher = u"C:\\apps\\tool.exe";
const std::u16string foreign = u"C:\\Windows\\explorer.exe";

struct FakeProcess {
    std::u16string image = launcher;
    uint64_t creation_time = 0;
    uint32_t parent_id = 0;
    bool elevated = false;
    // 0, or the error that each read of this kind fails with.
    uint32_t open_error = 0;
    uint32_t creation_time_error = 0;
    uint32_t parent_id_error = 0;
    uint32_t elevation_error = 0;
    uint32_t image_error = 0;
};

struct FakeTable {
    std::map<uint32_t, FakeProcess> processes;
    int opened = 0;
    int closed = 0;
};

FakeTable* fake = nullptr;

void* handle_of(uint32_t id) { return reinterpret_cast<void*>(static_cast<uintptr_t>(id)); }
uint32_t id_of(platform::ProcessHandle process) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(process.value));
}

// Each read of a process that fails sets its error; the handle must be one
// the table handed out.
const FakeProcess* read(platform::ProcessHandle process, uint32_t FakeProcess::*error) {
    auto found = fake->processes.find(id_of(process));
    EXPECT_NE(found, fake->processes.end());
    if (found == fake->processes.end()) return nullptr;
    if (found->second.*error != 0) {
        platform::set_last_error(found->second.*error);
        return nullptr;
    }
    return &found->second;
}

platform::ProcessHandle fake_open(uint32_t process_id) {
    auto found = fake->processes.find(process_id);
    if (found == fake->processes.end() || found->second.open_error != 0) {
        platform::set_last_error(found == fake->processes.end() ? platform::error_invalid_parameter
                                                                : found->second.open_error);
        return {nullptr};
    }
    EXPECT_NE(process_id, own_id) << "the own process is not opened by id";
    ++fake->opened;
    return {handle_of(process_id)};
}

void fake_close(platform::ProcessHandle process) {
    if (id_of(process) != own_id) ++fake->closed;
}

bool fake_parent_id(platform::ProcessHandle process, uint32_t* parent_id) {
    const FakeProcess* found = read(process, &FakeProcess::parent_id_error);
    if (found != nullptr) *parent_id = found->parent_id;
    return found != nullptr;
}

bool fake_creation_time(platform::ProcessHandle process, uint64_t* creation_time) {
    const FakeProcess* found = read(process, &FakeProcess::creation_time_error);
    if (found != nullptr) *creation_time = found->creation_time;
    return found != nullptr;
}

bool fake_elevation(platform::ProcessHandle process, bool* elevated) {
    const FakeProcess* found = read(process, &FakeProcess::elevation_error);
    if (found != nullptr) *elevated = found->elevated;
    return found != nullptr;
}

uint32_t fake_image(platform::ProcessHandle process, char16_t* out, uint32_t size) {
    const FakeProcess* found = read(process, &FakeProcess::image_error);
    if (found == nullptr) return 0;
    EXPECT_LT(found->image.size(), size);
    std::char_traits<char16_t>::copy(out, found->image.c_str(), found->image.size() + 1);
    return static_cast<uint32_t>(found->image.size());
}

uint32_t fake_own_module(char16_t* out, uint32_t size) {
    EXPECT_LT(launcher.size(), size);
    std::char_traits<char16_t>::copy(out, launcher.c_str(), launcher.size() + 1);
    return static_cast<uint32_t>(launcher.size());
}

struct ProcessExit {
    int status;
};

class RunModeDecision : public ::testing::Test {
protected:
    void SetUp() override {
        fake = &table_;
        platform::Table& table = platform.table();
        table.open_process_for_query = fake_open;
        table.close_process = fake_close;
        table.own_process = [] { return platform::ProcessHandle{handle_of(own_id)}; };
        table.get_parent_process_id = fake_parent_id;
        table.get_process_creation_time = fake_creation_time;
        table.get_process_elevation = fake_elevation;
        table.get_process_image_path = fake_image;
        table.get_process_exit_code = [](platform::ProcessHandle, uint32_t* code) {
            *code = platform::still_active;
            return true;
        };
        table.get_own_module_file_name = fake_own_module;
        // Paths are compared as they are: no file resolves, none has a short form.
        table.open_file_for_query = [](const char16_t*) { return platform::FileHandle{nullptr}; };
        table.get_short_path_name = [](const char16_t*, char16_t*, uint32_t) -> uint32_t { return 0; };
        table.exit_process = [](int status) { throw ProcessExit{status}; };
    }
    void TearDown() override {
        unsetenv("FENZAR_ONEFILE_PARENT");
        fake = nullptr;
    }

    // The mode with FENZAR_ONEFILE_PARENT naming NAMED; every opened process
    // is closed again.
    RunMode decide(uint32_t named, bool* started_by_named = nullptr) {
        setenv("FENZAR_ONEFILE_PARENT", std::to_string(named).c_str(), 1);
        RunMode mode = detect_run_mode(own_paths, started_by_named);
        EXPECT_EQ(table_.closed, table_.opened);
        return mode;
    }

    // The message and status of a decision that ends the process.
    std::string failure(uint32_t named, int* status) {
        testing::internal::CaptureStderr();
        *status = -1;
        try {
            decide(named);
            ADD_FAILURE() << "a run mode was chosen";
        } catch (const ProcessExit& exit) {
            *status = exit.status;
        }
        return testing::internal::GetCapturedStderr();
    }

    PlatformOverride platform;
    FakeTable table_;
    OwnPaths own_paths;
};

TEST_F(RunModeDecision, UnusableValuesMeanParentModeWithoutAskingTheSystem) {
    unsetenv("FENZAR_ONEFILE_PARENT");
    EXPECT_EQ(detect_run_mode(own_paths), RunMode::parent);
    for (const char* value : {"", "abc", "12x", "12 ", "2147483648", "-2147483649", "99999999999999999999"}) {
        setenv("FENZAR_ONEFILE_PARENT", value, 1);
        EXPECT_EQ(detect_run_mode(own_paths), RunMode::parent) << value;
    }
    EXPECT_EQ(table_.opened, 0);
}

// The own process is 500, created at 1000; 10 is the named process, an
// instance of the launcher created at 100. A chain goes from the own
// process's real parent up to 10.
TEST_F(RunModeDecision, ReenteredOnlyWhenTheSystemShowsTheNamedInstanceStartedThisOne) {
    struct Case {
        const char* name;
        std::map<uint32_t, FakeProcess> chain;  // besides 500 and 10
        uint32_t own_parent;
        bool elevated;  // the own process and every process of the chain
        RunMode expected;
    };
    const Case cases[] = {
        {"named is the real parent", {}, 10, false, RunMode::reentered},
        {"named is the real parent, both elevated", {}, 10, true, RunMode::reentered},
        // A clock tick can hold both creations.
        {"real parent created in the same tick", {}, 10, false, RunMode::reentered},
        {"named is another live instance; the real parent is no instance",
         {{20, {.image = foreign, .creation_time = 50}}},
         20,
         false,
         RunMode::parent},
        {"named is a live instance; the real parent is an unrelated instance",
         {{20, {.creation_time = 50, .parent_id = 30}}, {30, {.image = foreign, .creation_time = 10}}},
         20,
         false,
         RunMode::parent},
        {"the real parent's id now belongs to a younger process", {}, 10, false, RunMode::parent},
        {"the real parent has ended and its id is free", {}, 11, false, RunMode::parent},
        {"a copy of the launcher at another path", {}, 10, false, RunMode::parent},
        {"two instances, then the named",
         {{11, {.creation_time = 500, .parent_id = 10}}},
         11,
         false,
         RunMode::reentered},
        {"four instances: the longest chain",
         {{13, {.creation_time = 800, .parent_id = 12}},
          {12, {.creation_time = 700, .parent_id = 11}},
          {11, {.creation_time = 600, .parent_id = 10}}},
         13,
         false,
         RunMode::reentered},
        {"five instances: longer than the chain may be",
         {{14, {.creation_time = 900, .parent_id = 13}},
          {13, {.creation_time = 800, .parent_id = 12}},
          {12, {.creation_time = 700, .parent_id = 11}},
          {11, {.creation_time = 600, .parent_id = 10}}},
         14,
         false,
         RunMode::parent},
        {"a foreign program between",
         {{11, {.creation_time = 600, .parent_id = 12}},
          {12, {.image = foreign, .creation_time = 500, .parent_id = 10}}},
         11,
         false,
         RunMode::parent},
        {"a link younger than its child",
         {{11, {.creation_time = 600, .parent_id = 12}}, {12, {.creation_time = 700, .parent_id = 10}}},
         11,
         false,
         RunMode::parent},
        {"a link whose real parent cannot be read",
         {{11, {.creation_time = 600, .parent_id = 10, .parent_id_error = platform::error_access_denied}}},
         11,
         false,
         RunMode::parent},
        {"a link that cannot be opened",
         {{11, {.creation_time = 600, .parent_id = 10, .open_error = platform::error_access_denied}}},
         11,
         false,
         RunMode::parent},
        {"elevated, a link unelevated", {{11, {.creation_time = 600, .parent_id = 10}}}, 11, true, RunMode::parent},
        {"elevated, the named unelevated", {}, 10, true, RunMode::parent},
        {"elevated, two elevated instances, then the named",
         {{11, {.creation_time = 600, .parent_id = 10}}},
         11,
         true,
         RunMode::reentered},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = c.name;
        table_ = FakeTable{};
        own_paths = OwnPaths{};
        table_.processes = c.chain;
        table_.processes[own_id] = {.creation_time = 1000, .parent_id = c.own_parent};
        table_.processes[10] = {.creation_time = 100, .parent_id = 1};
        table_.processes[1] = {.image = foreign, .creation_time = 1};
        if (c.elevated) {
            for (auto& [id, process] : table_.processes) process.elevated = true;
        }
        if (name == "real parent created in the same tick") table_.processes[10].creation_time = 1000;
        if (name == "the real parent's id now belongs to a younger process") table_.processes[10].creation_time = 1001;
        if (name == "the real parent has ended and its id is free") table_.processes.erase(11);
        if (name == "a copy of the launcher at another path") table_.processes[10].image = u"C:\\copy\\tool.exe";
        if (name == "elevated, a link unelevated") table_.processes[11].elevated = false;
        if (name == "elevated, the named unelevated") table_.processes[10].elevated = false;
        bool started_by_named = true;
        EXPECT_EQ(decide(10, &started_by_named), c.expected);
        // Only the named instance itself as the real parent, not a chain.
        EXPECT_EQ(started_by_named, c.expected == RunMode::reentered && c.own_parent == 10);
    }
}

// Where the named process is this instance's real parent and cannot be
// examined, or this process cannot read its own origin, parent mode would
// start a child that meets the same wall, one launcher after another.
TEST_F(RunModeDecision, NamedRealParentThatCannotBeExaminedEndsWithStatus2) {
    struct Case {
        const char* name;
        uint32_t FakeProcess::*failing;
        uint32_t process;
        uint32_t error;
        bool elevated;
    };
    const Case cases[] = {
        {"may not be opened", &FakeProcess::open_error, 10, platform::error_access_denied, false},
        {"may not be opened for another reason", &FakeProcess::open_error, 10, platform::error_gen_failure, false},
        {"its creation time cannot be read", &FakeProcess::creation_time_error, 10, platform::error_access_denied,
         false},
        {"its image cannot be read", &FakeProcess::image_error, 10, platform::error_gen_failure, false},
        {"its token cannot be read by an elevated instance", &FakeProcess::elevation_error, 10,
         platform::error_access_denied, true},
        {"the own real parent cannot be read", &FakeProcess::parent_id_error, own_id, platform::error_gen_failure,
         false},
        {"the own creation time cannot be read", &FakeProcess::creation_time_error, own_id, platform::error_gen_failure,
         false},
        {"the own elevation cannot be read", &FakeProcess::elevation_error, own_id, platform::error_access_denied,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        table_ = FakeTable{};
        own_paths = OwnPaths{};
        table_.processes[own_id] = {.creation_time = 1000, .parent_id = 10, .elevated = c.elevated};
        table_.processes[10] = {.creation_time = 100, .parent_id = 1, .elevated = c.elevated};
        table_.processes[c.process].*c.failing = c.error;
        int status = 0;
        std::string message = failure(10, &status);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(message.rfind("Error, couldn't examine parent process. ([Error " + std::to_string(c.error) + "] ", 0),
                  0u)
            << message;
    }
}

// Named but not the real parent: whether it can be examined does not
// matter, and a crafted variable cannot stop the launcher.
TEST_F(RunModeDecision, NamedProcessThatIsNotTheRealParentIsNeverAnError) {
    table_.processes[own_id] = {.creation_time = 1000, .parent_id = 1};
    table_.processes[1] = {.image = foreign, .creation_time = 1};
    table_.processes[10] = {.creation_time = 100, .open_error = platform::error_access_denied};
    EXPECT_EQ(decide(10), RunMode::parent);
    EXPECT_EQ(decide(4242), RunMode::parent);
}

// The parent's image path against the own module path: equal texts answer
// at once, without a final path or short form of either; any other text is
// compared by its normal form, which here maps each spelling of the
// launcher's file to one final path.
std::map<std::u16string, std::u16string> final_paths;
int normalisations = 0;

platform::FileHandle counting_open(const char16_t* path) {
    ++normalisations;
    auto found = final_paths.find(path);
    if (found == final_paths.end()) return {nullptr};
    return {const_cast<std::u16string*>(&found->second)};
}

uint32_t final_path_of(platform::FileHandle file, char16_t* out, uint32_t size, bool* available) {
    *available = true;
    const auto& path = *static_cast<const std::u16string*>(file.value);
    std::u16string extended = u"\\\\?\\" + path;
    EXPECT_LT(extended.size(), size);
    std::char_traits<char16_t>::copy(out, extended.c_str(), extended.size() + 1);
    return static_cast<uint32_t>(extended.size());
}

TEST_F(RunModeDecision, ParentImageWrittenAsTheOwnPathAnswersWithoutNormalising) {
    platform::Table& table = platform.table();
    table.open_file_for_query = counting_open;
    table.get_final_path_name = final_path_of;
    table.close_file = [](platform::FileHandle) { return true; };
    table.get_short_path_name = [](const char16_t*, char16_t*, uint32_t) -> uint32_t {
        ++normalisations;
        return 0;
    };
    final_paths = {{launcher, launcher},
                   {u"C:\\APPS\\TOOL.EXE", launcher},
                   {u"C:\\apps\\link.exe", launcher},
                   {u"C:\\copy\\tool.exe", u"C:\\copy\\tool.exe"}};
    struct Case {
        std::u16string image;
        RunMode expected;
        bool normalised;
    };
    const Case cases[] = {
        {launcher, RunMode::reentered, false},
        // Another spelling of the same file: only the normal forms show it.
        {u"C:\\APPS\\TOOL.EXE", RunMode::reentered, true},
        {u"C:\\apps\\link.exe", RunMode::reentered, true},
        {u"C:\\copy\\tool.exe", RunMode::parent, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.image.begin(), c.image.end()));
        table_ = FakeTable{};
        own_paths = OwnPaths{};
        normalisations = 0;
        table_.processes[own_id] = {.creation_time = 1000, .parent_id = 10};
        table_.processes[10] = {.image = c.image, .creation_time = 100, .parent_id = 1};
        table_.processes[1] = {.image = foreign, .creation_time = 1};
        EXPECT_EQ(decide(10), c.expected);
        EXPECT_EQ(normalisations > 0, c.normalised) << normalisations;
    }
}

// The decision on the POSIX layer, between real processes: this test
// program started again with FENZAR_TEST_RUN_MODE_ROLE takes a role before
// any test runs.
//   decide  ends with 10 when it takes the re-entered mode, 11 for parent
//   again   starts the program once more in the role decide, with the
//           environment it has, and ends with that one's status
//   hold    waits to be killed: a live process of the same file that
//           started nobody
int run_as(const char* role, const char* named, pid_t* started = nullptr);

int exit_status_of(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

struct ChildRole {
    ChildRole() {
        const char* role = std::getenv("FENZAR_TEST_RUN_MODE_ROLE");
        if (role == nullptr) return;
        if (std::strcmp(role, "hold") == 0) {
            pause();
            _exit(0);
        }
        if (std::strcmp(role, "again") == 0) _exit(run_as("decide", std::getenv("FENZAR_ONEFILE_PARENT")));
        OwnPaths own_paths;
        _exit(detect_run_mode(own_paths) == RunMode::reentered ? 10 : 11);
    }
} child_role;

// Starts this program in ROLE with FENZAR_ONEFILE_PARENT set to NAMED; the
// status it ends with, or with STARTED its id at once.
int run_as(const char* role, const char* named, pid_t* started) {
    setenv("FENZAR_TEST_RUN_MODE_ROLE", role, 1);
    setenv("FENZAR_ONEFILE_PARENT", named, 1);
    char program[] = "/proc/self/exe";
    char* arguments[] = {program, nullptr};
    pid_t child = 0;
    int spawned = posix_spawn(&child, program, nullptr, nullptr, arguments, environ);
    unsetenv("FENZAR_TEST_RUN_MODE_ROLE");
    unsetenv("FENZAR_ONEFILE_PARENT");
    if (spawned != 0) return -1;
    if (started != nullptr) {
        *started = child;
        return 0;
    }
    return exit_status_of(child);
}

TEST(RunModeNatively, AChildOrGrandchildOfTheNamedInstanceIsReentered) {
    std::string own = std::to_string(getpid());
    EXPECT_EQ(run_as("decide", own.c_str()), 10);
    EXPECT_EQ(run_as("again", own.c_str()), 10);
}

TEST(RunModeNatively, ALiveInstanceThatStartedNobodyIsNoParent) {
    pid_t held = 0;
    ASSERT_EQ(run_as("hold", "", &held), 0);
    EXPECT_EQ(run_as("decide", std::to_string(held).c_str()), 11);
    kill(held, SIGKILL);
    exit_status_of(held);
}

TEST(ParentEnvironment, ClearsInheritedValuesAndPublishesTheOwnId) {
    PlatformOverride platform;
    platform.table().current_process_id = []() -> uint32_t { return 4711; };
    setenv("FENZAR_ONEFILE_START", "1", 1);
    setenv("FENZAR_ONEFILE_TIME_US", "000001", 1);
    setenv("FENZAR_ONEFILE_RANDOM", "AAAAAAAAAAA", 1);
    setenv("FENZAR_ONEFILE_PARENT", "12", 1);
    setenv("FENZAR_ONEFILE_CACHE_FILES", "C:\\planted", 1);
    prepare_parent_environment();
    EXPECT_EQ(std::getenv("FENZAR_ONEFILE_CACHE_FILES"), nullptr);
    EXPECT_EQ(std::getenv("FENZAR_ONEFILE_START"), nullptr);
    EXPECT_EQ(std::getenv("FENZAR_ONEFILE_TIME_US"), nullptr);
    EXPECT_EQ(std::getenv("FENZAR_ONEFILE_RANDOM"), nullptr);
    EXPECT_STREQ(std::getenv("FENZAR_ONEFILE_PARENT"), "4711");
    unsetenv("FENZAR_ONEFILE_PARENT");
}

}  // namespace

}  // namespace fenzar
