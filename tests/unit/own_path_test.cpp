// The launcher's own path and the recognition of its parent, against a fake
// of the path queries (GetModuleFileNameW, GetFinalPathNameByHandleW,
// GetShortPathNameW, the process image path). Several tests pin the exact
// calls: the buffer sizes asked for, how often a file or process is opened
// and closed, since each is a system call a launcher makes at every start.
#include "launcher/own_path.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform_override.h"

namespace fenzar {

namespace {

// A file system and process table as the normalisation sees them.
struct FakeSystem {
    std::set<std::u16string> unopenable;
    // Final path of each openable file; absent: GetFinalPathNameByHandleW fails.
    std::map<std::u16string, std::u16string> final_paths;
    bool final_path_available = true;
    std::u16string opened;
    int files_opened = 0;
    int files_closed = 0;
    std::vector<uint32_t> final_path_sizes;

    // Short form of each directory; absent: GetShortPathNameW fails.
    std::map<std::u16string, std::u16string> short_forms;
    std::vector<std::u16string> shortened;
    uint32_t short_path_overstatement = 0;

    std::u16string own_module = u"C:\\apps\\tool.exe";
    std::vector<uint32_t> own_module_sizes;
    bool own_module_unreadable = false;

    std::map<uint32_t, std::u16string> process_images;
    // Process whose image path read fails, with this error, after writing
    // its text anyway.
    uint32_t unreadable_process = 0;
    uint32_t image_read_error = 0;
    // Processes that have ended (their exit code is no longer 259).
    std::set<uint32_t> ended_processes;
    std::vector<uint32_t> image_path_sizes;
    int processes_opened = 0;
    int processes_closed = 0;
};

FakeSystem* fake = nullptr;

void store(const std::u16string& text, char16_t* out) {
    std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

platform::FileHandle fake_open_file_for_query(const char16_t* path) {
    if (fake->unopenable.count(path) != 0) return {nullptr};
    fake->opened = path;
    ++fake->files_opened;
    return {reinterpret_cast<void*>(1)};
}

bool fake_close_file(platform::FileHandle file) {
    EXPECT_TRUE(file.valid());
    ++fake->files_closed;
    return true;
}

// Like GetFinalPathNameByHandleW: the size needed, terminator included, when
// the path does not fit.
uint32_t fake_get_final_path_name(platform::FileHandle file, char16_t* out, uint32_t size, bool* available) {
    EXPECT_TRUE(file.valid());
    *available = fake->final_path_available;
    if (!fake->final_path_available) return 0;
    fake->final_path_sizes.push_back(size);
    auto found = fake->final_paths.find(fake->opened);
    if (found == fake->final_paths.end()) return 0;
    const std::u16string& final_path = found->second;
    if (final_path.size() >= size) return static_cast<uint32_t>(final_path.size() + 1);
    store(final_path, out);
    return static_cast<uint32_t>(final_path.size());
}

uint32_t fake_get_short_path_name(const char16_t* path, char16_t* out, uint32_t size) {
    auto found = fake->short_forms.find(path);
    if (found == fake->short_forms.end()) return 0;
    const std::u16string& short_form = found->second;
    uint32_t needed = static_cast<uint32_t>(short_form.size() + 1);
    if (out == nullptr || size < needed) return needed;
    fake->shortened.push_back(path);
    store(short_form, out);
    return static_cast<uint32_t>(short_form.size()) + fake->short_path_overstatement;
}

// Like GetModuleFileNameW: a path that does not fit is cut to size - 1 units and the result is the size.
uint32_t store_module_path(const std::u16string& path, char16_t* out, uint32_t size) {
    if (path.size() < size) {
        store(path, out);
        return static_cast<uint32_t>(path.size());
    }
    store(path.substr(0, size - 1), out);
    return size;
}

uint32_t fake_get_own_module_file_name(char16_t* out, uint32_t size) {
    fake->own_module_sizes.push_back(size);
    uint32_t length = store_module_path(fake->own_module, out, size);
    return fake->own_module_unreadable ? 0 : length;
}

platform::ProcessHandle fake_open_process_for_query(uint32_t process_id) {
    ++fake->processes_opened;
    return {reinterpret_cast<void*>(static_cast<uintptr_t>(process_id))};
}

void fake_close_process(platform::ProcessHandle process) {
    EXPECT_TRUE(process.valid());
    ++fake->processes_closed;
}

uint32_t process_id_of(platform::ProcessHandle process) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(process.value));
}

// Like QueryFullProcessImageNameW: 0 and error 122 when the path does not fit.
uint32_t fake_get_process_image_path(platform::ProcessHandle process, char16_t* out, uint32_t size) {
    fake->image_path_sizes.push_back(size);
    uint32_t process_id = process_id_of(process);
    const std::u16string& path = fake->process_images[process_id];
    if (path.size() >= size) {
        platform::set_last_error(platform::error_insufficient_buffer);
        return 0;
    }
    store(path, out);
    if (process_id == fake->unreadable_process) {
        platform::set_last_error(fake->image_read_error);
        return 0;
    }
    return static_cast<uint32_t>(path.size());
}

bool fake_get_process_exit_code(platform::ProcessHandle process, uint32_t* code) {
    *code = fake->ended_processes.count(process_id_of(process)) != 0 ? 0 : platform::still_active;
    return true;
}

// runs_same_executable on the process opened as the run-mode decision
// opens it.
SameExecutable runs_same_executable_by_id(OwnPaths& own_paths, uint32_t process_id, uint32_t* error) {
    platform::ProcessHandle process = platform::open_process_for_query(process_id);
    if (!process.valid()) {
        ADD_FAILURE() << "process " << process_id << " cannot be opened";
        return SameExecutable::unknown;
    }
    SameExecutable answer = runs_same_executable(own_paths, process, error);
    platform::close_process(process);
    return answer;
}

class OwnPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = &system_;
        platform::Table& table = override_.table();
        table.open_file_for_query = fake_open_file_for_query;
        table.close_file = fake_close_file;
        table.get_final_path_name = fake_get_final_path_name;
        table.get_short_path_name = fake_get_short_path_name;
        table.get_own_module_file_name = fake_get_own_module_file_name;
        table.open_process_for_query = fake_open_process_for_query;
        table.close_process = fake_close_process;
        table.get_process_image_path = fake_get_process_image_path;
        table.get_process_exit_code = fake_get_process_exit_code;
    }
    void TearDown() override { fake = nullptr; }

    PlatformOverride override_;
    FakeSystem system_;
    OwnPaths own_paths_;
};

// A path buffer of the given capacity, its units past the string poisoned.
struct PathBuffer {
    PathBuffer(const std::u16string& text, size_t capacity) : capacity(capacity), units(capacity + 1, u'#') {
        store(text, units.data());
    }
    std::u16string text() const { return std::u16string(units.data()); }
    size_t capacity;
    std::vector<char16_t> units;
};

std::string narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

TEST_F(OwnPathTest, ResolveFinalPath) {
    struct Case {
        const char16_t* path;
        const char16_t* final_path;  // null: the call fails
        bool openable;
        bool available;
        const char16_t* expected;
    };
    const Case cases[] = {
        {u"C:\\APPS~1\\tool.exe", u"\\\\?\\C:\\apps\\tool.exe", true, true, u"C:\\apps\\tool.exe"},
        {u"\\\\srv\\share\\tool.exe", u"\\\\?\\UNC\\srv\\share\\tool.exe", true, true, u"\\\\srv\\share\\tool.exe"},
        {u"C:\\x", u"\\\\?\\Volume{0b1c}\\x", true, true, u"\\\\?\\Volume{0b1c}\\x"},
        {u"C:\\x", u"C:\\plain\\x", true, true, u"C:\\plain\\x"},
        {u"C:\\x", u"\\\\?\\C:", true, true, u"C:"},
        {u"\\\\?\\C:\\apps\\tool.exe", u"\\\\?\\D:\\elsewhere", false, true, u"\\\\?\\C:\\apps\\tool.exe"},
        {u"\\\\?\\C:\\apps\\tool.exe", nullptr, true, true, u"C:\\apps\\tool.exe"},
        {u"\\\\?\\UNC\\srv\\s\\t.exe", nullptr, true, false, u"\\\\srv\\s\\t.exe"},
        {u"\\\\?\\", nullptr, true, true, u"\\\\?\\"},
        {u"\\\\?\\C", nullptr, true, true, u"\\\\?\\C"},
        {u"\\\\?\\UNC", nullptr, true, true, u"\\\\?\\UNC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.path));
        system_ = FakeSystem{};
        if (!c.openable) system_.unopenable.insert(c.path);
        if (c.final_path != nullptr) system_.final_paths[c.path] = c.final_path;
        system_.final_path_available = c.available;
        PathBuffer path(c.path, 2048);
        resolve_final_path(path.units.data(), path.capacity);
        EXPECT_EQ(path.text(), c.expected);
        EXPECT_EQ(system_.files_closed, system_.files_opened);
        EXPECT_EQ(system_.files_opened, c.openable ? 1 : 0);
        // Room for the longest prefix, "\\?\UNC" in place of "\", and the terminator.
        if (c.openable && c.available) {
            EXPECT_EQ(system_.final_path_sizes, std::vector<uint32_t>{2048 + 6 + 1});
        }
    }
}

// The capacity bounds the final path in its plain form; the prefix that is
// removed does not count.
TEST_F(OwnPathTest, FinalPathThatDoesNotFitIsAnImmediateStop) {
    struct Case {
        const char16_t* final_path;
        const char16_t* plain;
    };
    const Case cases[] = {
        {u"C:\\abcdefg", u"C:\\abcdefg"},
        {u"\\\\?\\C:\\abcdefg", u"C:\\abcdefg"},
        {u"\\\\?\\UNC\\srv\\abcd", u"\\\\srv\\abcd"},
        {u"\\\\?\\Volume{0}\\abc", u"\\\\?\\Volume{0}\\abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.final_path));
        system_ = FakeSystem{};
        system_.final_paths[u"C:\\x"] = c.final_path;
        size_t length = std::u16string(c.plain).size();
        PathBuffer fits(u"C:\\x", length);
        resolve_final_path(fits.units.data(), fits.capacity);
        EXPECT_EQ(fits.text(), c.plain);

        PathBuffer too_small(u"C:\\x", length - 1);
        EXPECT_IMMEDIATE_STOP(resolve_final_path(too_small.units.data(), too_small.capacity));
        EXPECT_EQ(system_.files_closed, 2);
    }
}

TEST_F(OwnPathTest, ShortenDirectoryPart) {
    struct Case {
        const char16_t* path;
        const char16_t* expected;
    };
    const Case cases[] = {
        {u"C:\\Program Files\\My App\\Long Tool Name.exe", u"C:\\PROGRA~1\\MYAPP~1\\Long Tool Name.exe"},
        {u"Program Files", u"PROGRA~1"},
        {u"C:\\No Short Form\\tool.exe", u"C:\\No Short Form\\tool.exe"},
        {u"No Short Form", u"No Short Form"},
        {u"\\tool.exe", u"\\tool.exe"},
        {u"C:\\Program Files\\My App\\", u"C:\\PROGRA~1\\MYAPP~1\\"},
        {u"C:\\", u"C:\\"},
    };
    system_.short_forms[u"C:\\Program Files\\My App"] = u"C:\\PROGRA~1\\MYAPP~1";
    system_.short_forms[u"Program Files"] = u"PROGRA~1";
    system_.short_forms[u"C:"] = u"C:";
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.path));
        PathBuffer path(c.path, 2048);
        shorten_directory_part(path.units.data(), path.capacity);
        EXPECT_EQ(path.text(), c.expected);
    }
}

TEST_F(OwnPathTest, ShortenDirectoryPartLimits) {
    system_.short_forms[u"C:\\a"] = u"C:\\aaaaa";
    // The short directory alone passes the capacity.
    PathBuffer directory(u"C:\\a\\b", 7);
    EXPECT_IMMEDIATE_STOP(shorten_directory_part(directory.units.data(), directory.capacity));
    // The short directory fits, the backslash does not.
    PathBuffer backslash(u"C:\\a\\b", 8);
    EXPECT_IMMEDIATE_STOP(shorten_directory_part(backslash.units.data(), backslash.capacity));
    // The backslash fits, the last component does not.
    PathBuffer component(u"C:\\a\\bc", 10);
    EXPECT_IMMEDIATE_STOP(shorten_directory_part(component.units.data(), component.capacity));
    PathBuffer exact(u"C:\\a\\bc", 11);
    shorten_directory_part(exact.units.data(), exact.capacity);
    EXPECT_EQ(exact.text(), u"C:\\aaaaa\\bc");

    // GetShortPathNameW claiming more than the size it asked for.
    system_.short_path_overstatement = 2;
    PathBuffer overstated(u"C:\\a\\b", 2048);
    EXPECT_IMMEDIATE_STOP(shorten_directory_part(overstated.units.data(), overstated.capacity));
}

TEST_F(OwnPathTest, OwnModuleBuffersAreFilledOnce) {
    system_.own_module_unreadable = true;
    EXPECT_IMMEDIATE_STOP(fill_module_file_name(own_paths_));
    EXPECT_EQ(system_.own_module_sizes, std::vector<uint32_t>{4096});

    own_paths_.module_file_name.units[0] = 0;
    system_.own_module_unreadable = false;
    fill_module_file_name(own_paths_);
    fill_module_file_name(own_paths_);
    EXPECT_EQ(std::u16string(own_paths_.module_file_name.data()), u"C:\\apps\\tool.exe");

    // Its result is not examined; neither resolved nor shortened.
    system_.own_module_unreadable = true;
    system_.short_forms[u"C:\\apps"] = u"C:\\APPS~1";
    fill_plain_own_path(own_paths_);
    fill_plain_own_path(own_paths_);
    EXPECT_EQ(std::u16string(own_paths_.plain_own_path.data()), u"C:\\apps\\tool.exe");
    EXPECT_EQ(system_.own_module_sizes, (std::vector<uint32_t>{4096, 4096, 4097}));
    EXPECT_EQ(system_.files_opened, 0);
}

// The child is started from module_file_name, so the longest path from which
// a launcher starts at all is the longest that buffer holds whole; a longer
// one would be cut, and a cut path could name another file.
TEST_F(OwnPathTest, ModulePathCutByTheBufferIsAnImmediateStop) {
    for (size_t length : {size_t{4095}, size_t{4096}, size_t{5000}}) {
        SCOPED_TRACE(length);
        own_paths_.module_file_name.units[0] = 0;
        system_.own_module = u"C:\\" + std::u16string(length - 3, u'a');
        if (length <= own_paths_.module_file_name.capacity - 1) {
            fill_module_file_name(own_paths_);
            EXPECT_EQ(std::u16string(own_paths_.module_file_name.data()), system_.own_module);
        } else {
            EXPECT_IMMEDIATE_STOP(fill_module_file_name(own_paths_));
        }
    }
}

// A path of the given length in directories of at most 200 units.
std::u16string deep_path(size_t length) {
    std::u16string path = u"C:";
    while (length - path.size() > 201 + 9) path += u"\\" + std::u16string(200, u'd');
    path += u"\\" + std::u16string(length - path.size() - 5, u'x') + u".exe";
    return path;
}

// The child reads its parent's path and its own with the same capacity, so
// every path from which a launcher starts is recognised as its parent's.
// Both final paths come back with the \\?\ prefix, 4 units longer.
TEST_F(OwnPathTest, RecognisesTheParentAtEveryPathLengthThatStarts) {
    for (size_t length : {size_t{2047}, size_t{2048}, size_t{3000}, own_paths_.module_file_name.capacity - 1}) {
        SCOPED_TRACE(length);
        system_ = FakeSystem{};
        own_paths_ = OwnPaths{};
        std::u16string path = deep_path(length);
        ASSERT_EQ(path.size(), length);
        system_.own_module = path;
        system_.process_images[30] = path;
        system_.final_paths[path] = u"\\\\?\\" + path;
        std::u16string directory = path.substr(0, path.rfind(u'\\'));
        system_.short_forms[directory] = directory;

        fill_module_file_name(own_paths_);
        uint32_t error = 0;
        // The same text at once; the file's name in capitals through the
        // normal forms, which need the room for the prefix.
        EXPECT_EQ(runs_same_executable_by_id(own_paths_, 30, &error), SameExecutable::yes);
        EXPECT_EQ(system_.files_opened, 0);
        std::u16string capitals = directory + u"\\" + std::u16string(length - directory.size() - 5, u'X') + u".exe";
        system_.process_images[31] = capitals;
        system_.final_paths[capitals] = u"\\\\?\\" + path;
        EXPECT_EQ(runs_same_executable_by_id(own_paths_, 31, &error), SameExecutable::yes);
        EXPECT_EQ(std::u16string(own_paths_.resolved_own_path.data()), path);
    }
}

// Only a process whose image cannot be read leaves the answer open; one that
// has ended or runs a path too long to be this launcher's is not the parent.
TEST_F(OwnPathTest, RunsSameExecutable) {
    struct Case {
        const char* name;
        uint32_t process_id;
        SameExecutable expected;
        uint32_t error;
    };
    const Case cases[] = {
        // As written: at once, without the normal forms.
        {"same path", 10, SameExecutable::yes, 0},
        {"same file by its short path", 11, SameExecutable::yes, 0},
        {"another executable", 12, SameExecutable::no, 0},
        {"same path in another case", 13, SameExecutable::no, 0},
        {"path read fails, buffer holds the same text, process runs", 15, SameExecutable::unknown, 31},
        {"path read fails, process has ended", 17, SameExecutable::no, 0},
        {"path longer than any own path", 18, SameExecutable::no, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        system_ = FakeSystem{};
        own_paths_.resolved_own_path.units[0] = 0;
        system_.own_module = u"C:\\Program Files\\tool.exe";
        system_.final_paths[u"C:\\Program Files\\tool.exe"] = u"\\\\?\\C:\\Program Files\\tool.exe";
        system_.final_paths[u"C:\\PROGRA~1\\tool.exe"] = u"\\\\?\\C:\\Program Files\\tool.exe";
        system_.short_forms[u"C:\\Program Files"] = u"C:\\PROGRA~1";
        system_.process_images = {
            {10, u"C:\\Program Files\\tool.exe"},
            {11, u"C:\\PROGRA~1\\tool.exe"},
            {12, u"C:\\Program Files\\other.exe"},
            {13, u"C:\\Program Files\\TOOL.exe"},
            {15, u"C:\\PROGRA~1\\tool.exe"},
            {17, u"C:\\PROGRA~1\\tool.exe"},
            {18, u"C:\\" + std::u16string(4100, u'x') + u"\\tool.exe"},
        };
        system_.unreadable_process = c.process_id == 17 ? 17 : 15;
        system_.image_read_error = 31;
        system_.ended_processes.insert(17);
        own_paths_ = OwnPaths{};

        uint32_t error = 0;
        EXPECT_EQ(runs_same_executable_by_id(own_paths_, c.process_id, &error), c.expected);
        if (c.expected == SameExecutable::unknown) {
            EXPECT_EQ(error, c.error);
        }
        EXPECT_EQ(system_.processes_closed, system_.processes_opened);
        bool compared =
            c.expected != SameExecutable::unknown && c.process_id != 17 && c.process_id != 18 && c.process_id != 10;
        EXPECT_EQ(std::u16string(own_paths_.resolved_own_path.data()), compared ? u"C:\\PROGRA~1\\tool.exe" : u"");
        EXPECT_EQ(system_.files_opened, compared ? 2 : 0);
        if (compared || c.process_id == 10) {
            EXPECT_EQ(system_.image_path_sizes, std::vector<uint32_t>{4097});
            EXPECT_EQ(system_.own_module_sizes, std::vector<uint32_t>{4097});
        }
    }
}

TEST_F(OwnPathTest, OwnPathIsResolvedOnceOverTwoCalls) {
    system_.process_images = {{20, u"C:\\apps\\tool.exe"}, {21, u"C:\\apps\\other.exe"}};
    system_.final_paths[u"C:\\apps\\tool.exe"] = u"\\\\?\\C:\\apps\\tool.exe";
    uint32_t error = 0;
    EXPECT_EQ(runs_same_executable_by_id(own_paths_, 20, &error), SameExecutable::yes);
    int opened_for_own_path = system_.files_opened;
    EXPECT_EQ(runs_same_executable_by_id(own_paths_, 21, &error), SameExecutable::no);
    EXPECT_EQ(runs_same_executable_by_id(own_paths_, 20, &error), SameExecutable::yes);
    EXPECT_EQ(system_.own_module_sizes.size(), 1u);
    // One open per call for the other process, one in all for the own path.
    EXPECT_EQ(system_.files_opened, opened_for_own_path + 2);
    EXPECT_EQ(system_.processes_closed, 3);
}

// The same with real processes on the POSIX layer: a copy of sleep at a
// path of the given length runs, and a launcher that reports that path as
// its own recognises the running copy. Linux cannot start a program whose
// path passes PATH_MAX - 1 bytes, the same 4,095 as a launcher's limit.
std::u16string own_module_for_test;

uint32_t report_own_module(char16_t* out, uint32_t size) { return store_module_path(own_module_for_test, out, size); }

TEST(RunsSameExecutableNatively, RecognisesAProcessAtEveryPathLengthThatStarts) {
    PlatformOverride platform;
    platform.table().get_own_module_file_name = report_own_module;
    char base_template[] = "/tmp/fenzar_own_path_XXXXXX";
    ASSERT_NE(mkdtemp(base_template), nullptr);
    const std::filesystem::path base = base_template;
    for (size_t length : {size_t{2047}, size_t{2048}, size_t{3000}, size_t{PATH_MAX - 1}}) {
        SCOPED_TRACE(length);
        std::string directory = base.string();
        while (length - directory.size() > 201 + 9) directory += "/" + std::string(200, 'd');
        std::filesystem::create_directories(directory);
        std::string program = directory + "/" + std::string(length - directory.size() - 7, 's') + ".sleep";
        ASSERT_EQ(program.size(), length);
        std::filesystem::copy_file("/bin/sleep", program);

        // glibc's posix_spawn returns once the program runs in the new process.
        char argument0[] = "sleep";
        char argument1[] = "60";
        char* arguments[] = {argument0, argument1, nullptr};
        pid_t child = 0;
        ASSERT_EQ(posix_spawn(&child, program.c_str(), nullptr, nullptr, arguments, environ), 0);
        own_module_for_test.assign(program.begin(), program.end());
        for (char16_t& unit : own_module_for_test) unit = unit == u'/' ? u'\\' : unit;
        OwnPaths own_paths;
        uint32_t error = 0;
        EXPECT_EQ(runs_same_executable_by_id(own_paths, static_cast<uint32_t>(child), &error), SameExecutable::yes);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    std::filesystem::remove_all(base);
}

}  // namespace

}  // namespace fenzar
