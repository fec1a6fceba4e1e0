// The sweep of dead launchers' trees: the name forms, ages and liveness
// answers as tables, then whole sweeps over a real directory through the
// POSIX layer, with the process answers, owner checks and renames faked
// where a case needs them.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/posix/native_path.h"
#include "platform_override.h"
#include "sweep/sweep.h"
#include "sweep/sweep_rules.h"

namespace {

namespace fs = std::filesystem;
using platform::ProcessState;

constexpr uint64_t second = 10'000'000;
constexpr uint64_t minute = 60 * second;

TEST(SweepNames, FormsAndNearMisses) {
    struct Case {
        const char16_t* name;
        NameForm form;
        uint32_t process_id;
        const char16_t* launcher_part;
    };
    const Case cases[] = {
        {u"onefile_1234_012345_AbC-_9zZyXw", NameForm::launcher, 1234, u"1234_012345_AbC-_9zZyXw"},
        {u"onefile_4294967295_999999____________", NameForm::launcher, 4294967295u, u"4294967295_999999____________"},
        {u"onefile_swept_77_1234_012345_AbC-_9zZyXw", NameForm::tombstone, 77, u"1234_012345_AbC-_9zZyXw"},
        // One character off.
        {u"onefile_1234_012345_AbC-_9zZyX", NameForm::other, 0, nullptr},     // ten token characters
        {u"onefile_1234_012345_AbC-_9zZyXwv", NameForm::other, 0, nullptr},   // twelve
        {u"onefile_1234_01234_AbC-_9zZyXw", NameForm::other, 0, nullptr},     // five digits
        {u"onefile_1234_0123456_AbC-_9zZyXw", NameForm::other, 0, nullptr},   // seven digits
        {u"onefile_1234_012345_AbC-_9zZy.w", NameForm::other, 0, nullptr},    // outside the alphabet
        {u"onefile_1234_012345_AbC-_9zZy w", NameForm::other, 0, nullptr},
        {u"onefile_1234-012345_AbC-_9zZyXw", NameForm::other, 0, nullptr},
        {u"onefile_01234_012345_AbC-_9zZyXw", NameForm::other, 0, nullptr},   // leading zero
        {u"onefile_0_012345_AbC-_9zZyXw", NameForm::other, 0, nullptr},       // id 0
        {u"onefile_4294967296_012345_AbC-_9zZyXw", NameForm::other, 0, nullptr},  // past 32 bits
        {u"onefile__012345_AbC-_9zZyXw", NameForm::other, 0, nullptr},
        {u"Onefile_1234_012345_AbC-_9zZyXw", NameForm::other, 0, nullptr},   // case counts
        {u"onefile1234_012345_AbC-_9zZyXw", NameForm::other, 0, nullptr},
        {u"xonefile_1234_012345_AbC-_9zZyXw", NameForm::other, 0, nullptr},
        {u"onefile_1234_012345_AbC-_9zZyXw.txt", NameForm::other, 0, nullptr},
        {u"onefile_\uff11234_012345_AbC-_9zZyXw", NameForm::other, 0, nullptr},  // a digit, but not ASCII
        {u"onefile_swept__1234_012345_AbC-_9zZyXw", NameForm::other, 0, nullptr},
        {u"onefile_swept_77_1234_012345_AbC-_9zZyX", NameForm::other, 0, nullptr},
        {u"onefile_swept_77_onefile_1234_012345_AbC-_9zZyXw", NameForm::other, 0, nullptr},
        {u"onefile_swept_077_1234_012345_AbC-_9zZyXw", NameForm::other, 0, nullptr},
        {u"onefile_", NameForm::other, 0, nullptr},
        {u"", NameForm::other, 0, nullptr},
    };
    for (const Case& c : cases) {
        NameFacts facts = read_name(c.name);
        EXPECT_EQ(facts.form, c.form) << "case " << (&c - cases);
        if (c.form == NameForm::other) continue;
        EXPECT_EQ(facts.process_id, c.process_id) << "case " << (&c - cases);
        EXPECT_EQ(std::u16string(c.name + facts.launcher_part), c.launcher_part) << "case " << (&c - cases);
    }
}

TEST(SweepRules, AgeAndAttributes) {
    const uint64_t now = 1000 * minute;
    struct Case {
        uint64_t created;
        bool old_enough;
    };
    const Case ages[] = {
        {now - minute, true}, {now - minute + 1, false}, {now - 60 * minute, true},
        {now, false},         {now + second, false},     {0, true},
    };
    for (const Case& c : ages) EXPECT_EQ(is_old_enough(c.created, now), c.old_enough) << c.created;

    EXPECT_TRUE(is_plain_directory(platform::file_attribute_directory));
    EXPECT_TRUE(is_plain_directory(platform::file_attribute_directory | platform::file_attribute_readonly));
    EXPECT_FALSE(is_plain_directory(platform::file_attribute_directory | platform::file_attribute_reparse_point));
    EXPECT_FALSE(is_plain_directory(platform::file_attribute_reparse_point));
    EXPECT_FALSE(is_plain_directory(platform::file_attribute_normal));
}

TEST(SweepRules, OwnerEndedOnlyWhenProven) {
    const uint64_t directory_created = 500 * minute;
    struct Case {
        NameForm form;
        ProcessState state;
        uint64_t process_created;
        bool ended;
    };
    const Case cases[] = {
        {NameForm::launcher, ProcessState::none, 0, true},
        {NameForm::launcher, ProcessState::ended, directory_created - minute, true},
        {NameForm::launcher, ProcessState::running, directory_created - second, false},  // its launcher
        {NameForm::launcher, ProcessState::running, directory_created, false},
        {NameForm::launcher, ProcessState::running, directory_created + 1, true},  // the id was reused
        {NameForm::launcher, ProcessState::unknown, directory_created + minute, false},
        {NameForm::tombstone, ProcessState::none, 0, true},
        {NameForm::tombstone, ProcessState::ended, 0, true},
        {NameForm::tombstone, ProcessState::running, directory_created + minute, false},
        {NameForm::tombstone, ProcessState::unknown, 0, false},
        {NameForm::other, ProcessState::none, 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(has_owner_ended(c.form, c.state, c.process_created, directory_created), c.ended)
            << "case " << (&c - cases);
    }
}

// Whole sweeps over a scratch directory standing in for %TEMP%.
struct ProcessAnswer {
    ProcessState state;
    uint64_t created;
};
std::map<uint32_t, ProcessAnswer> processes;
std::set<std::string> foreign_owned;
std::set<std::string> rename_refused;
std::atomic<bool>* stop_on_removal = nullptr;
int removal_operations = 0;
platform::Table real;

std::string native(const char16_t* path) { return posix_layer::path_to_native(path); }

std::u16string core_path(const fs::path& path) { return posix_layer::path_from_native(path.string()); }

class Sweep : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fenzar_sweep_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        temp = pattern;
        canary = temp / "canary";
        fs::create_directories(canary / "inner");
        std::ofstream(canary / "inner" / "keep.txt") << "canary";
        processes.clear();
        foreign_owned.clear();
        rename_refused.clear();
        stop_on_removal = nullptr;
        removal_operations = 0;
        real = platform.table();
        platform.table().query_process_state = [](uint32_t id, uint64_t* created) {
            auto found = processes.find(id);
            if (found == processes.end()) return ProcessState::none;
            *created = found->second.created;
            return found->second.state;
        };
        platform.table().is_own_plain_directory = [](const char16_t* path) {
            return foreign_owned.count(fs::path(native(path)).filename().string()) == 0 &&
                   real.is_own_plain_directory(path);
        };
        platform.table().rename_without_replacing = [](const char16_t* from, const char16_t* to) {
            if (rename_refused.count(fs::path(native(from)).filename().string()) != 0) return false;
            return real.rename_without_replacing(from, to);
        };
        platform.table().delete_entry_relative = [](platform::DirectoryHandle parent, const char16_t* name,
                                                    const platform::EntryFacts* expected) {
            ++removal_operations;
            if (stop_on_removal != nullptr) stop_on_removal->store(true);
            return real.delete_entry_relative(parent, name, expected);
        };
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(temp, ignored);
    }

    // A tree as a launcher leaves it, created `age` ago.
    void make_tree(const std::string& name, uint64_t age = 10 * minute) {
        fs::create_directories(temp / name / "sub");
        std::ofstream(temp / name / "app.dll") << "app";
        std::ofstream(temp / name / "sub" / "data.txt") << "data";
        set_age(name, age);
    }
    // The POSIX layer reports the modification time as the creation time.
    void set_age(const std::string& name, uint64_t age) {
        uint64_t created = now() - age;
        constexpr uint64_t seconds_1601_to_1970 = 11644473600ull;
        timespec times[2];
        times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(created / second - seconds_1601_to_1970);
        times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(created % second) * 100;
        ASSERT_EQ(utimensat(AT_FDCWD, (temp / name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << name;
    }
    static uint64_t now() { return platform::system_time_as_file_time(); }

    SweepTally sweep(const SweepLimits& limits = sweep_limits_per_start) {
        std::atomic<bool> stop{false};
        return sweep_directory(core_path(temp).c_str(), limits, stop, interruption, *removal);
    }
    // What is left beside the canary tree.
    std::set<std::string> left() {
        std::set<std::string> names;
        for (auto& entry : fs::directory_iterator(temp)) {
            if (entry.path() != canary) names.insert(entry.path().filename().string());
        }
        return names;
    }

    PlatformOverride platform;
    Interruption interruption;
    std::unique_ptr<TreeRemoval> removal = std::make_unique<TreeRemoval>();
    fs::path temp;
    fs::path canary;
};

TEST_F(Sweep, RemovesOnlyProvenDeadLaunchersTrees) {
    uint64_t old = now() - 10 * minute;
    // Dead, proven.
    make_tree("onefile_101_000001_AAAAAAAAAAA");                        // no such process
    make_tree("onefile_102_000002_AAAAAAAAAAA");                        // ended
    processes[102] = {ProcessState::ended, old - minute};
    make_tree("onefile_103_000003_AAAAAAAAAAA");                        // id reused after the directory
    processes[103] = {ProcessState::running, old + minute};
    make_tree("onefile_swept_104_105_000004_AAAAAAAAAAA");              // tombstone of a dead sweeper
    // Alive, young, unknown or not a launcher's.
    make_tree("onefile_106_000006_AAAAAAAAAAA");                        // its launcher runs
    processes[106] = {ProcessState::running, old - minute};
    make_tree("onefile_107_000007_AAAAAAAAAAA");                        // access denied
    processes[107] = {ProcessState::unknown, 0};
    make_tree("onefile_108_000008_AAAAAAAAAAA", 30 * second);           // younger than a minute
    make_tree("onefile_swept_109_110_000009_AAAAAAAAAAA");              // its sweeper runs
    processes[109] = {ProcessState::running, old + minute};
    make_tree("onefile_111_000011_AAAAAAAAAAA");                        // another user's
    foreign_owned.insert("onefile_111_000011_AAAAAAAAAAA");
    make_tree("onefile_112_000012_AAAAAAAAAAA");                        // in use: the rename is refused
    rename_refused.insert("onefile_112_000012_AAAAAAAAAAA");
    make_tree("onefile_113_000013_AAAAAAAAAA");                         // a near miss
    make_tree("onefile_0114_000014_AAAAAAAAAAA");
    std::ofstream(temp / "onefile_115_000015_AAAAAAAAAAA") << "a plain file";
    set_age("onefile_115_000015_AAAAAAAAAAA", 10 * minute);
    fs::create_directory_symlink(canary, temp / "onefile_116_000016_AAAAAAAAAAA");
    set_age("onefile_116_000016_AAAAAAAAAAA", 10 * minute);

    SweepTally tally = sweep();

    EXPECT_EQ(tally.removed, 4u);
    EXPECT_EQ(left(), (std::set<std::string>{
                          "onefile_106_000006_AAAAAAAAAAA",
                          "onefile_107_000007_AAAAAAAAAAA",
                          "onefile_108_000008_AAAAAAAAAAA",
                          "onefile_swept_109_110_000009_AAAAAAAAAAA",
                          "onefile_111_000011_AAAAAAAAAAA",
                          "onefile_112_000012_AAAAAAAAAAA",
                          "onefile_113_000013_AAAAAAAAAA",
                          "onefile_0114_000014_AAAAAAAAAAA",
                          "onefile_115_000015_AAAAAAAAAAA",
                          "onefile_116_000016_AAAAAAAAAAA",
                      }));
    EXPECT_TRUE(fs::exists(temp / "onefile_106_000006_AAAAAAAAAAA" / "sub" / "data.txt"));
    EXPECT_TRUE(fs::exists(canary / "inner" / "keep.txt"));
    EXPECT_TRUE(fs::is_symlink(temp / "onefile_116_000016_AAAAAAAAAAA"));
}

TEST_F(Sweep, ClaimsBeforeRemovingAndLeavesOffWhenStopped) {
    make_tree("onefile_201_000001_AAAAAAAAAAA");
    std::atomic<bool> stop{false};
    stop_on_removal = &stop;
    // The first sweep runs as process 4242.
    platform.table().current_process_id = [] { return 4242u; };
    SweepTally tally = sweep_directory(core_path(temp).c_str(), sweep_limits_per_start, stop, interruption, *removal);
    // The stop came with the first file removed: the rest of the claimed
    // tree stays under the sweeper's tombstone name, for a later sweep.
    EXPECT_EQ(tally.removed, 1u);
    EXPECT_EQ(removal_operations, 1);
    EXPECT_EQ(left(), (std::set<std::string>{"onefile_swept_4242_201_000001_AAAAAAAAAAA"}));

    // While its sweeper runs, no other sweep touches it; once the sweeper
    // is gone, the next sweep finishes it.
    stop_on_removal = nullptr;
    platform.table().current_process_id = real.current_process_id;
    processes[4242] = {ProcessState::running, now() - minute};
    EXPECT_EQ(sweep().removed, 0u);
    processes.erase(4242);
    // The tombstone carries the launcher directory's age; the rename made
    // it no younger.
    EXPECT_EQ(sweep().removed, 1u);
    EXPECT_TRUE(left().empty());

    make_tree("onefile_202_000002_AAAAAAAAAAA");
    stop.store(true);
    EXPECT_EQ(sweep_directory(core_path(temp).c_str(), sweep_limits_per_start, stop, interruption, *removal).examined,
              0u);
    EXPECT_EQ(left(), (std::set<std::string>{"onefile_202_000002_AAAAAAAAAAA"}));
    // So does an interruption of the run.
    stop.store(false);
    ASSERT_TRUE(interruption.begin());
    EXPECT_EQ(sweep_directory(core_path(temp).c_str(), sweep_limits_per_start, stop, interruption, *removal).examined,
              0u);
    EXPECT_EQ(left(), (std::set<std::string>{"onefile_202_000002_AAAAAAAAAAA"}));
}

TEST_F(Sweep, BoundedPerStart) {
    for (int i = 0; i < 7; ++i) make_tree("onefile_" + std::to_string(300 + i) + "_000000_AAAAAAAAAAA");
    EXPECT_EQ(sweep({3, 100, minute}).removed, 3u);
    EXPECT_EQ(left().size(), 4u);
    // Examinations count the living too.
    processes[310] = {ProcessState::running, 0};
    make_tree("onefile_310_000000_AAAAAAAAAAA");
    SweepTally tally = sweep({100, 2, minute});
    EXPECT_EQ(tally.examined, 2u);
    EXPECT_LE(tally.removed, 2u);
    // No time left: nothing is examined.
    EXPECT_EQ(sweep({100, 100, 0}).examined, 0u);
    // Successive sweeps clear the rest; the live launcher's tree stays.
    while (sweep({3, 100, minute}).removed != 0) {
    }
    EXPECT_EQ(left(), (std::set<std::string>{"onefile_310_000000_AAAAAAAAAAA"}));
}

TEST_F(Sweep, RunsBesideTheWaitOnItsOwnThread) {
    make_tree("onefile_401_000001_AAAAAAAAAAA");
    std::u16string target = core_path(temp / "onefile_1_000000_BBBBBBBBBBB");
    SweepRequest request{target.c_str(), &interruption};
    BesideWait beside = sweep_beside_wait(request);
    void* begun = beside.begin(beside.context);
    ASSERT_NE(begun, nullptr);
    // Until the claimed tree (renamed at once) is gone as well.
    for (int i = 0; i < 500 && !left().empty(); ++i) usleep(10'000);
    beside.end(begun);
    EXPECT_TRUE(left().empty());
    // Without a parent there is nothing to sweep, and nothing to end.
    SweepRequest no_parent{u"onefile_1_000000_BBBBBBBBBBB", &interruption};
    BesideWait without_parent = sweep_beside_wait(no_parent);
    EXPECT_EQ(without_parent.begin(without_parent.context), nullptr);
    without_parent.end(nullptr);
}

}  // namespace
