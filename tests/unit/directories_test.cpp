// Directory creation against a recording fake of CreateDirectoryW: which
// directories are created, in which order, and which are remembered. These
// tests pin the exact sequence of directory-creation calls: a change that
// creates the same directories with other calls fails them on purpose.
#include "unpack/directories.h"

#include <cstdlib>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform_override.h"

namespace fenzar {

namespace {

std::u16string lower(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return text;
}

// A case-insensitive file system: directories and files by lower-case path.
// "C:" always exists.
struct FakeFileSystem {
    std::set<std::u16string> directories;
    std::set<std::u16string> files;
    std::set<std::u16string> refused;  // CreateDirectoryW gives access denied
    std::vector<std::u16string> create_calls;
    std::vector<std::u16string> private_calls;
    uint32_t error = 0;
    bool home_available = true;
    int home_lookups = 0;
    std::vector<std::u16string> error_lines;

    bool exists(const std::u16string& path) const {
        std::u16string key = lower(path);
        return key == u"c:" || directories.count(key) != 0 || files.count(key) != 0;
    }
};

FakeFileSystem* fake = nullptr;

bool create_in_fake(const std::u16string& text) {
    if (fake->exists(text)) {
        fake->error = platform::error_already_exists;
        return false;
    }
    if (fake->refused.count(lower(text)) != 0) {
        fake->error = platform::error_access_denied;
        return false;
    }
    if (!fake->exists(text.substr(0, text.rfind(u'\\')))) {
        fake->error = 3;
        return false;
    }
    fake->directories.insert(lower(text));
    return true;
}

bool fake_create_directory(const char16_t* path) {
    fake->create_calls.push_back(path);
    return create_in_fake(path);
}

bool fake_create_private_directory(const char16_t* path) {
    fake->private_calls.push_back(path);
    return create_in_fake(path);
}

int32_t fake_get_folder_path(int csidl, char16_t* out) {
    EXPECT_EQ(csidl, platform::folder_profile);
    ++fake->home_lookups;
    if (!fake->home_available) return static_cast<int32_t>(0x80004005u);
    std::u16string home = u"C:\\Users\\me";
    std::copy(home.begin(), home.end(), out);
    out[home.size()] = 0;
    return 0;
}

class DirectoryCreation : public testing::Test {
protected:
    void SetUp() override {
        fake = &fs;
        fs.directories = {u"c:\\users", u"c:\\users\\me", u"c:\\temp"};
        platform.table().create_directory = fake_create_directory;
        platform.table().create_private_directory = fake_create_private_directory;
        platform.table().last_error = [] { return fake->error; };
        platform.table().get_folder_path = fake_get_folder_path;
        platform.table().print_error_with_wide = [](const char* format, const char16_t* argument) {
            std::string line(format);
            fake->error_lines.push_back(std::u16string(line.begin(), line.end()) + u"|" + argument);
        };
    }
    void TearDown() override { fake = nullptr; }

    std::vector<std::u16string> known() const {
        std::vector<std::u16string> names;
        for (int32_t i = 0; i < known_directories->count; ++i) names.emplace_back(known_directories->entries[i].get());
        return names;
    }
    // The calls made by one create_containing_directories.
    std::vector<std::u16string> calls_for(const char16_t* path) {
        fs.create_calls.clear();
        create_containing_directories(*known_directories, path);
        return fs.create_calls;
    }

    PlatformOverride platform;
    FakeFileSystem fs;
    std::unique_ptr<KnownDirectories> known_directories = std::make_unique<KnownDirectories>();
};

using Calls = std::vector<std::u16string>;

TEST_F(DirectoryCreation, ExistingParentCostsOneCallThenNone) {
    EXPECT_EQ(calls_for(u"C:\\Temp\\onefile_1\\app.dll"), Calls{u"C:\\Temp\\onefile_1"});
    EXPECT_EQ(calls_for(u"C:\\Temp\\onefile_1\\data.txt"), Calls{});
    EXPECT_EQ(calls_for(u"C:\\Temp\\onefile_1\\app.dll"), Calls{});
    EXPECT_EQ(known(), (Calls{u"C:\\Temp\\onefile_1"}));
    EXPECT_EQ(fs.home_lookups, 0) << "no climb, no profile folder";
}

TEST_F(DirectoryCreation, MissingLevelsAreCreatedTopDownAfterTheFirstFailure) {
    EXPECT_EQ(calls_for(u"C:\\Temp\\x\\y\\z\\file"), (Calls{u"C:\\Temp\\x\\y\\z", u"C:\\Temp\\x\\y", u"C:\\Temp\\x",
                                                            u"C:\\Temp\\x\\y", u"C:\\Temp\\x\\y\\z"}));
    EXPECT_TRUE(fs.exists(u"C:\\Temp\\x\\y\\z"));
    EXPECT_EQ(known(), (Calls{u"C:\\Temp\\x", u"C:\\Temp\\x\\y", u"C:\\Temp\\x\\y\\z"}));
    EXPECT_EQ(fs.home_lookups, 1) << "the climb expands the home directory once";
    EXPECT_EQ(calls_for(u"C:\\Temp\\x\\other"), Calls{});
    EXPECT_EQ(calls_for(u"C:\\Temp\\p\\q\\file"), (Calls{u"C:\\Temp\\p\\q", u"C:\\Temp\\p", u"C:\\Temp\\p\\q"}));
    EXPECT_EQ(fs.home_lookups, 1);
}

TEST_F(DirectoryCreation, TwoMissingLevelsBelowAnExistingDirectory) {
    EXPECT_EQ(calls_for(u"C:\\Temp\\a\\b\\file"), (Calls{u"C:\\Temp\\a\\b", u"C:\\Temp\\a", u"C:\\Temp\\a\\b"}));
    EXPECT_EQ(known(), (Calls{u"C:\\Temp\\a", u"C:\\Temp\\a\\b"}));
}

TEST_F(DirectoryCreation, DriveRootIsTakenAsExistingWithoutACall) {
    fs.refused = {u"c:\\locked"};
    EXPECT_EQ(calls_for(u"C:\\locked\\inner\\file"),
              (Calls{u"C:\\locked\\inner", u"C:\\locked", u"C:\\locked", u"C:\\locked\\inner"}));
    EXPECT_EQ(known(), Calls{}) << "refused directories are not remembered";
    EXPECT_TRUE(ensure_directory(*known_directories, u"D:"));
    EXPECT_EQ(known().size(), 0u) << "a drive root is not remembered";
}

TEST_F(DirectoryCreation, ClimbStopsAtAPathWithoutFurtherBackslash) {
    fs.refused = {u"top"};
    EXPECT_EQ(calls_for(u"top\\sub\\file"), (Calls{u"top\\sub", u"top", u"top", u"top\\sub"}));
}

TEST_F(DirectoryCreation, PathsWithoutAContainingDirectoryCostNothing) {
    for (const char16_t* path : {u"", u"file", u"\\file"}) {
        EXPECT_EQ(calls_for(path), Calls{}) << std::string(path, path + std::u16string(path).size());
    }
    EXPECT_EQ(known_directories->count, 0);
    EXPECT_EQ(fs.home_lookups, 0) << "the home directory is expanded only for a climb";
}

TEST_F(DirectoryCreation, FileInTheWayCountsAsExistingAndIsRemembered) {
    fs.files = {u"c:\\temp\\t"};
    EXPECT_EQ(calls_for(u"C:\\Temp\\t\\file"), Calls{u"C:\\Temp\\t"});
    EXPECT_EQ(known(), (Calls{u"C:\\Temp\\t"}));
    EXPECT_EQ(calls_for(u"C:\\Temp\\t\\other"), Calls{});
}

TEST_F(DirectoryCreation, OtherLetterCaseCostsAnotherCallAndASecondEntry) {
    EXPECT_EQ(calls_for(u"C:\\Temp\\Sub\\a"), Calls{u"C:\\Temp\\Sub"});
    EXPECT_EQ(calls_for(u"C:\\Temp\\SUB\\b"), Calls{u"C:\\Temp\\SUB"});
    EXPECT_EQ(known(), (Calls{u"C:\\Temp\\Sub", u"C:\\Temp\\SUB"}));
    EXPECT_EQ(calls_for(u"C:\\Temp\\SUB\\c"), Calls{});
}

// The home directory ends a climb even where creating it would fail with
// another error than "exists" (here: it is refused, as a folder in which the
// user may not create). Before a climb it is an ordinary directory.
TEST_F(DirectoryCreation, HomeDirectoryEndsAClimbOnceOneBegins) {
    EXPECT_EQ(calls_for(u"C:\\Users\\me\\file"), Calls{u"C:\\Users\\me"});
    EXPECT_EQ(fs.home_lookups, 0);
    fs.directories = {u"c:\\users", u"c:\\temp"};
    fs.refused = {u"c:\\users\\me"};
    known_directories = std::make_unique<KnownDirectories>();
    EXPECT_EQ(calls_for(u"C:\\Users\\me\\new\\file"), (Calls{u"C:\\Users\\me\\new", u"C:\\Users\\me\\new"}));
    EXPECT_EQ(fs.home_lookups, 1);
    EXPECT_EQ(calls_for(u"C:\\Users\\me\\other\\file"), (Calls{u"C:\\Users\\me\\other", u"C:\\Users\\me\\other"}))
        << "a later climb does not expand it again";
    EXPECT_EQ(fs.home_lookups, 1);
}

TEST_F(DirectoryCreation, ListHoldsAtMost1024Entries) {
    for (int i = 0; i < known_directories_limit; ++i) {
        std::string name = "C:\\Temp\\d" + std::to_string(i);
        std::u16string path(name.begin(), name.end());
        ASSERT_EQ(calls_for((path + u"\\f").c_str()), Calls{path});
    }
    ASSERT_EQ(known_directories->count, known_directories_limit);
    EXPECT_EQ(calls_for(u"C:\\Temp\\last\\f"), Calls{u"C:\\Temp\\last"});
    EXPECT_TRUE(fs.exists(u"C:\\Temp\\last")) << "still created";
    EXPECT_EQ(known_directories->count, known_directories_limit);
    EXPECT_EQ(calls_for(u"C:\\Temp\\last\\g"), Calls{u"C:\\Temp\\last"}) << "every later file asks again";
    EXPECT_EQ(calls_for(u"C:\\Temp\\d1023\\g"), Calls{}) << "remembered ones still cost nothing";
}

// Only a climb needs it: a run that never climbs never meets the failure.
TEST_F(DirectoryCreation, HomeThatCannotBeExpandedStopsWithTheMessageWhenAClimbNeedsIt) {
    fs.home_available = false;
    EXPECT_EQ(calls_for(u"C:\\Temp\\t\\file"), Calls{u"C:\\Temp\\t"});
    EXPECT_EQ(fs.error_lines, Calls{});
    fs.create_calls.clear();
    EXPECT_IMMEDIATE_STOP(create_containing_directories(*known_directories, u"C:\\Temp\\x\\y\\file"));
    EXPECT_EQ(fs.error_lines, Calls{u"Error, couldn't runtime expand spec '%ls'.\n|{HOME}"});
    EXPECT_EQ(fs.create_calls, Calls{u"C:\\Temp\\x\\y"});
    EXPECT_EQ(known(), Calls{u"C:\\Temp\\t"});
}

struct ProcessExit {
    int status;
};

// The target directory is made by the private creation alone, never taken
// over when it exists; missing levels above it are made as any others.
TEST_F(DirectoryCreation, TargetDirectoryIsCreatedPrivatelyOrRefused) {
    platform.table().exit_process = [](int status) { throw ProcessExit{status}; };
    struct Case {
        const char* name;
        const char16_t* target;
        std::set<std::u16string> directories, files, refused;
        Calls private_calls, plain_calls, known;
        int exit_status;              // 0: created
        const char16_t* exists_line;  // on the wide error output
        const char* system_error_line;
    };
    const Case cases[] = {
        {"parent exists",
         u"C:\\Temp\\onefile_1",
         {},
         {},
         {},
         {u"C:\\Temp\\onefile_1"},
         {},
         {u"C:\\Temp\\onefile_1"},
         0,
         nullptr,
         ""},
        {"directory of that name exists",
         u"C:\\Temp\\onefile_1",
         {u"c:\\temp\\onefile_1"},
         {},
         {},
         {u"C:\\Temp\\onefile_1"},
         {},
         {},
         2,
         u"Error, target directory '%ls' already exists.\n|C:\\Temp\\onefile_1",
         ""},
        {"file of that name exists",
         u"C:\\Temp\\onefile_1",
         {},
         {u"c:\\temp\\onefile_1"},
         {},
         {u"C:\\Temp\\onefile_1"},
         {},
         {},
         2,
         u"Error, target directory '%ls' already exists.\n|C:\\Temp\\onefile_1",
         ""},
        {"temporary directory missing",
         u"C:\\Temp\\a\\b\\onefile_1",
         {},
         {},
         {},
         {u"C:\\Temp\\a\\b\\onefile_1", u"C:\\Temp\\a\\b\\onefile_1"},
         {u"C:\\Temp\\a\\b", u"C:\\Temp\\a", u"C:\\Temp\\a\\b"},
         {u"C:\\Temp\\a", u"C:\\Temp\\a\\b", u"C:\\Temp\\a\\b\\onefile_1"},
         0,
         nullptr,
         ""},
        {"refused",
         u"C:\\Temp\\onefile_1",
         {},
         {},
         {u"c:\\temp\\onefile_1"},
         {u"C:\\Temp\\onefile_1"},
         {},
         {},
         2,
         nullptr,
         "Error, couldn't create target directory. ([Error 5] Access is denied.)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        known_directories = std::make_unique<KnownDirectories>();
        fs = FakeFileSystem{};
        fs.directories = {u"c:\\users", u"c:\\users\\me", u"c:\\temp"};
        fs.directories.insert(c.directories.begin(), c.directories.end());
        fs.files = c.files;
        fs.refused = c.refused;
        int status = 0;
        testing::internal::CaptureStderr();
        try {
            create_target_directory(*known_directories, c.target);
        } catch (const ProcessExit& exit) {
            status = exit.status;
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.system_error_line);
        EXPECT_EQ(status, c.exit_status);
        EXPECT_EQ(fs.private_calls, c.private_calls);
        EXPECT_EQ(fs.create_calls, c.plain_calls);
        EXPECT_EQ(known(), c.known);
        EXPECT_EQ(fs.error_lines, c.exists_line != nullptr ? Calls{c.exists_line} : Calls{});
        if (status == 0) {
            EXPECT_EQ(calls_for((std::u16string(c.target) + u"\\app.dll").c_str()), Calls{});
            EXPECT_EQ(fs.private_calls.size(), c.private_calls.size()) << "files below use the plain creation";
        }
    }
}

TEST_F(DirectoryCreation, PathBeyondTheCopyCapacityStops) {
    std::u16string path = u"C:\\" + std::u16string(4093, u'a');
    EXPECT_EQ(calls_for(path.c_str()), Calls{}) << "4,096 units fit; the containing directory is the drive root";
    path += u'b';
    EXPECT_IMMEDIATE_STOP(create_containing_directories(*known_directories, path.c_str()));
}

}  // namespace

}  // namespace fenzar
