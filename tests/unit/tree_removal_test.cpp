// The tree removal: the retry schedule and the paths that are refused on a
// directory that exists only in the platform table, then a real directory
// tree through the POSIX layer. The fake-tree tests pin the exact calls: the
// number of attempts, every pause, and every path the removal touches.
#include "removal/tree_removal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fake_directory.h"
#include "platform/posix/native_path.h"
#include "platform_override.h"

namespace {

namespace fs = std::filesystem;

class FakeTree : public ::testing::Test {
protected:
    void SetUp() override { install_fake_directory(platform.table(), state); }
    PlatformOverride platform;
    FakeDirectory state;
    std::u16string target_directory = fake_target;
    std::unique_ptr<TreeRemoval> removal = std::make_unique<TreeRemoval>();
};

TEST_F(FakeTree, RetriesTwentyTimesAfterTheFirstAttemptWhileTheDirectoryStays) {
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
        remove_directory_tree(*removal, target_directory.c_str());
        EXPECT_EQ(state.attempts, row.attempts) << row.what;
        // One pause before each retry; a retry follows every test that still
        // finds a directory.
        size_t pauses = row.attempts == 0 ? 0 : static_cast<size_t>(row.attempts - 1);
        EXPECT_EQ(state.pauses, std::vector<uint32_t>(pauses, 100u)) << row.what;
    }
}

TEST_F(FakeTree, WorksOnTheExtendedLengthFormOfTheFullPath) {
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
        target_directory = row.target;
        remove_directory_tree(*removal, target_directory.c_str());
        ASSERT_FALSE(state.touched.empty()) << testing::PrintToString(row.target);
        for (const std::u16string& path : state.touched) EXPECT_EQ(path, row.root);
    }
}

TEST_F(FakeTree, RefusesEverythingButAFullPathBelowARoot) {
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
        target_directory = target;
        remove_directory_tree(*removal, target_directory.c_str());
        EXPECT_TRUE(state.touched.empty()) << testing::PrintToString(target);
        state.touched.clear();
    }
}

// The tree removal on a real directory tree through the POSIX layer, with
// every file operation recorded on its way through.
std::vector<std::pair<std::string, std::u16string>> operations;
std::u16string undeletable;
platform::Table real;

std::u16string to_core_path(const fs::path& path) { return posix_layer::path_from_native(path.string()); }

class RealTree : public ::testing::Test {
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
        target_directory = to_core_path(target);
    }
    void TearDown() override {
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
    std::u16string target_directory;
    std::unique_ptr<TreeRemoval> removal = std::make_unique<TreeRemoval>();
};

TEST_F(RealTree, RemovesTheWholeTreeButNothingALinkPointsTo) {
    make_tree();
    remove_directory_tree(*removal, target_directory.c_str());
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

TEST_F(RealTree, GoesOnPastWhatCannotBeRemovedAndRetries) {
    make_tree();
    undeletable = to_core_path(target / "sub" / "b.txt");
    remove_directory_tree(*removal, target_directory.c_str());
    // Only the file and the directories above it are left.
    std::vector<fs::path> left;
    for (auto& entry : fs::recursive_directory_iterator(target)) left.push_back(entry.path());
    EXPECT_EQ(left, (std::vector<fs::path>{target / "sub", target / "sub" / "b.txt"}));
    EXPECT_TRUE(fs::exists(outside / "kept_dir" / "keep.txt"));
    EXPECT_TRUE(fs::exists(outside / "kept_file.txt"));
    EXPECT_EQ(std::count(operations.begin(), operations.end(), std::make_pair(std::string("delete"), undeletable)),
              21);
}

TEST_F(RealTree, DeepTreeIsRemovedBottomUp) {
    fs::path deep = target;
    const char* names[] = {"d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d8", "d9"};
    for (int i = 0; i < 200; ++i) deep /= names[i % 10];
    fs::create_directories(deep);
    write(deep / "leaf.txt");
    remove_directory_tree(*removal, target_directory.c_str());
    EXPECT_FALSE(fs::exists(target));
}

}  // namespace
