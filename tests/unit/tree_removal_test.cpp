// The tree removal: the retry schedule and the paths that are refused on a
// directory that exists only in the platform table, then a real directory
// tree through the POSIX layer, also with links put in place of its entries
// at every moment of the removal. The fake-tree tests pin the exact calls:
// the number of attempts, every pause, and every path the removal touches.
#include "removal/tree_removal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fake_directory.h"
#include "platform/posix/native_path.h"
#include "platform_override.h"

namespace fenzar {

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

std::vector<std::u16string> opened_by_path;
std::vector<std::u16string> found_names;

TEST_F(FakeTree, OpensTheParentOfTheExtendedLengthFormAndFindsTheNameBelowIt) {
    struct Case {
        std::u16string target;
        std::u16string parent;
        std::u16string name;
    } cases[] = {
        {u"C:\\Temp\\onefile_1", u"\\\\?\\C:\\Temp", u"onefile_1"},
        // Below a drive's or share's root the parent keeps its backslash.
        {u"d:\\x", u"\\\\?\\d:\\", u"x"},
        {u"\\\\server\\share\\temp\\onefile_1", u"\\\\?\\UNC\\server\\share\\temp", u"onefile_1"},
        {u"\\\\server\\share\\x", u"\\\\?\\UNC\\server\\share\\", u"x"},
        // A TEMP given in the extended-length form (TMP=\\?\C:\...) yields a
        // target directory that is in that form already.
        {u"\\\\?\\C:\\Temp\\onefile_1", u"\\\\?\\C:\\Temp", u"onefile_1"},
        {u"\\\\?\\UNC\\server\\share\\x", u"\\\\?\\UNC\\server\\share\\", u"x"},
        // The POSIX layer's full paths are rooted without a drive.
        {u"\\tmp\\onefile_1", u"\\tmp", u"onefile_1"},
        {u"\\x", u"\\", u"x"},
    };
    platform.table().open_directory_for_removal = [](platform::DirectoryHandle parent, const char16_t* name,
                                                     platform::EntryFacts* facts) -> platform::DirectoryHandle {
        if (parent.valid()) return {nullptr};
        opened_by_path.push_back(name);
        *facts = {platform::file_attribute_directory, 1};
        return {&fake_parent_handle};
    };
    platform.table().find_directory_entry = [](platform::DirectoryHandle, const char16_t* name, platform::EntryFacts*) {
        found_names.push_back(name);
        return false;
    };
    for (const Case& row : cases) {
        opened_by_path.clear();
        found_names.clear();
        target_directory = row.target;
        remove_directory_tree(*removal, target_directory.c_str());
        EXPECT_EQ(opened_by_path, std::vector<std::u16string>{row.parent}) << testing::PrintToString(row.target);
        ASSERT_FALSE(found_names.empty()) << testing::PrintToString(row.target);
        for (const std::u16string& name : found_names) EXPECT_EQ(name, row.name);
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
        // What a listing by name would take for a wildcard.
        u"C:\\a\\b<",
        u"C:\\a\\>",
        u"C:\\a\\\"b",
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
// every opening and deletion recorded on its way through, by name.
std::vector<std::pair<std::string, std::u16string>> operations;
std::u16string undeletable;
platform::Table real;

// A link put in place of an entry of the tree at one moment of the removal:
// the entry is moved aside (where a program could go on using it) and a
// symbolic link to a directory or file outside takes its name. The entry is
// the one the removal reaches then, or the directory that holds it.
enum class Moment { before_open, after_open, before_delete };
struct Swap {
    Moment moment;
    std::u16string name;
    bool its_directory;
    fs::path moved_to;
    fs::path link_target;
    fs::path link;  // where the link was put
};
Swap swap;
bool swap_armed = false;

void swap_if_due(Moment moment, platform::DirectoryHandle parent, const char16_t* name) {
    if (!swap_armed || swap.moment != moment || !parent.valid() || swap.name != name) return;
    swap_armed = false;
    // Where the removal's own handle is: /proc knows.
    char descriptor[64];
    std::snprintf(descriptor, sizeof descriptor, "/proc/self/fd/%d", *static_cast<int*>(parent.value));
    fs::path directory = fs::read_symlink(descriptor);
    swap.link = swap.its_directory ? directory : directory / posix_layer::path_to_native(name);
    fs::rename(swap.link, swap.moved_to);
    fs::create_symlink(swap.link_target, swap.link);
}

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
        // What a removal that followed a swapped link would delete: files of
        // the same names as the tree's.
        fs::create_directories(outside / "full" / "deeper");
        for (const char* name : {"b.txt", "c.txt", "x.txt", "y.txt"}) write(outside / "full" / name);
        write(outside / "full" / "deeper" / "c.txt");

        real = platform.table();
        operations.clear();
        undeletable.clear();
        swap_armed = false;
        platform.table().open_directory_for_removal = [](platform::DirectoryHandle parent, const char16_t* name,
                                                         platform::EntryFacts* facts) {
            operations.emplace_back("open", name);
            swap_if_due(Moment::before_open, parent, name);
            platform::DirectoryHandle opened = real.open_directory_for_removal(parent, name, facts);
            if (opened.valid()) swap_if_due(Moment::after_open, parent, name);
            return opened;
        };
        platform.table().delete_entry_relative = [](platform::DirectoryHandle parent, const char16_t* name,
                                                    const platform::EntryFacts* expected) {
            operations.emplace_back("delete", name);
            swap_if_due(Moment::before_delete, parent, name);
            if (!undeletable.empty() && name == undeletable) return false;
            return real.delete_entry_relative(parent, name, expected);
        };
        platform.table().sleep_milliseconds = [](uint32_t) {};
        target_directory = to_core_path(target);
    }
    void TearDown() override {
        std::error_code ignored;
        for (auto& entry : fs::recursive_directory_iterator(base, ignored)) {
            if (!entry.is_symlink())
                fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
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
        write(target / "sub" / "x.txt");
        write(target / "sub" / "deeper" / "c.txt");
        write(target / "read_only.txt");
        fs::permissions(target / "read_only.txt", fs::perms::owner_read);
        write(target / "read_only_dir" / "d.txt");
        fs::permissions(target / "read_only_dir", fs::perms::owner_read | fs::perms::owner_exec);
        fs::create_directory_symlink(outside / "kept_dir", target / "sub" / "link_to_dir");
        fs::create_symlink(outside / "kept_file.txt", target / "link_to_file");
        fs::create_directory_symlink(base, target / "link_up");
    }

    size_t count(const std::string& what, const std::u16string& name) {
        return static_cast<size_t>(std::count(operations.begin(), operations.end(), std::make_pair(what, name)));
    }

    // Every file outside the tree, and that the tree's own files were the
    // only ones deleted.
    void expect_outside_kept() {
        for (const fs::path& file : {outside / "kept_dir" / "keep.txt", outside / "kept_file.txt",
                                     outside / "full" / "b.txt", outside / "full" / "c.txt", outside / "full" / "x.txt",
                                     outside / "full" / "y.txt", outside / "full" / "deeper" / "c.txt"}) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << file;
        }
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
    expect_outside_kept();
    // Links are deleted as links and never opened; read-only files and
    // directories go as well.
    for (const char16_t* link : {u"link_to_dir", u"link_to_file", u"link_up"}) {
        EXPECT_EQ(count("delete", link), 1u) << testing::PrintToString(std::u16string(link));
        EXPECT_EQ(count("open", link), 0u) << testing::PrintToString(std::u16string(link));
    }
}

TEST_F(RealTree, GoesOnPastWhatCannotBeRemovedAndRetries) {
    make_tree();
    undeletable = u"b.txt";
    remove_directory_tree(*removal, target_directory.c_str());
    // Only the file and the directories above it are left.
    std::vector<fs::path> left;
    for (auto& entry : fs::recursive_directory_iterator(target)) left.push_back(entry.path());
    EXPECT_EQ(left, (std::vector<fs::path>{target / "sub", target / "sub" / "b.txt"}));
    expect_outside_kept();
    EXPECT_EQ(count("delete", undeletable), 21u);
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

TEST_F(RealTree, ALinkPutInPlaceOfAnEntryAtAnyMomentIsRemovedAsTheLinkOrLeftAlone) {
    struct Case {
        const char* what;
        Moment moment;
        std::u16string name;
        bool its_directory;
        fs::path link_target;
    } cases[] = {
        {"a directory, listed, before it is opened", Moment::before_open, u"sub", false, outside / "full"},
        {"a directory, once opened", Moment::after_open, u"sub", false, outside / "full"},
        {"the innermost directory, listed, before it is opened", Moment::before_open, u"deeper", false,
         outside / "full"},
        {"the root, found, before it is opened", Moment::before_open, u"onefile_1", false, outside / "full"},
        {"the root, once opened", Moment::after_open, u"onefile_1", false, outside / "full"},
        {"an emptied directory, before it is deleted", Moment::before_delete, u"deeper", false, outside / "full"},
        {"a file, before it is deleted", Moment::before_delete, u"x.txt", false, outside / "full" / "x.txt"},
        {"the directory of a file, before the file is deleted", Moment::before_delete, u"c.txt", true,
         outside / "full"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        fs::remove_all(target);
        fs::remove_all(base / "moved_aside");
        make_tree();
        swap = {row.moment, row.name, row.its_directory, base / "moved_aside", row.link_target, {}};
        swap_armed = true;
        remove_directory_tree(*removal, target_directory.c_str());
        ASSERT_FALSE(swap_armed) << "the removal never got there";
        expect_outside_kept();
        // The link that was put in is gone, or there as it was made.
        if (fs::is_symlink(fs::symlink_status(swap.link))) {
            EXPECT_EQ(fs::read_symlink(swap.link), row.link_target);
        } else {
            EXPECT_FALSE(fs::exists(fs::symlink_status(swap.link)));
        }
    }
}

}  // namespace

}  // namespace fenzar
