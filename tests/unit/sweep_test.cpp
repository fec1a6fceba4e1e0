// The sweep of dead launchers' trees: the name forms as a table, then whole
// sweeps over a real directory through the POSIX layer, with the process
// list, owners and renames faked where a case needs them. The rules they
// rest on (ages, proofs, owners) are tried in leftovers_test.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/native_path.h"
#include "platform_override.h"
#include "sweep/sweep.h"
#include "sweep/sweep_rules.h"

namespace fenzar {

namespace {

namespace fs = std::filesystem;

constexpr uint64_t second = 10'000'000;
constexpr uint64_t minute = 60 * second;

TEST(SweepNames, FormsAndNearMisses) {
    struct Case {
        const char16_t* name;
        OwnerProof proof;
        uint32_t process_id;
        uint64_t created;
        const char16_t* launcher_part;
    };
    const Case cases[] = {
        {u"onefile_1234_012345_AbC-_9zZyXw", OwnerProof::made_entry, 1234, 0, u"1234_012345_AbC-_9zZyXw"},
        {u"onefile_4294967295_999999____________", OwnerProof::made_entry, 4294967295u, 0,
         u"4294967295_999999____________"},
        {u"onefile_swept_77_133456789012345678_1234_012345_AbC-_9zZyXw", OwnerProof::exact, 77, 133456789012345678ull,
         u"1234_012345_AbC-_9zZyXw"},
        {u"onefile_swept_77_18446744073709551615_1_000000_AAAAAAAAAAA", OwnerProof::exact, 77, UINT64_MAX,
         u"1_000000_AAAAAAAAAAA"},
        // A tombstone of a launcher before the stamp: the claimer's id alone.
        {u"onefile_swept_77_1234_012345_AbC-_9zZyXw", OwnerProof::id_only, 77, 0, u"1234_012345_AbC-_9zZyXw"},
        // One character off.
        {u"onefile_1234_012345_AbC-_9zZyX", OwnerProof::none, 0, 0, nullptr},    // ten token characters
        {u"onefile_1234_012345_AbC-_9zZyXwv", OwnerProof::none, 0, 0, nullptr},  // twelve
        {u"onefile_1234_01234_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},    // five digits
        {u"onefile_1234_0123456_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},  // seven digits
        {u"onefile_1234_012345_AbC-_9zZy.w", OwnerProof::none, 0, 0, nullptr},   // outside the alphabet
        {u"onefile_1234_012345_AbC-_9zZy w", OwnerProof::none, 0, 0, nullptr},
        {u"onefile_1234-012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},
        {u"onefile_01234_012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},       // leading zero
        {u"onefile_0_012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},           // id 0
        {u"onefile_4294967296_012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},  // past 32 bits
        {u"onefile__012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},
        {u"Onefile_1234_012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},  // case counts
        {u"onefile1234_012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},
        {u"xonefile_1234_012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},
        {u"onefile_1234_012345_AbC-_9zZyXw.txt", OwnerProof::none, 0, 0, nullptr},
        {u"onefile_\uff11234_012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},  // a digit, but not ASCII
        {u"onefile_swept__1234_012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},
        {u"onefile_swept_77_1234_012345_AbC-_9zZyX", OwnerProof::none, 0, 0, nullptr},
        {u"onefile_swept_77_onefile_1234_012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},
        {u"onefile_swept_077_1234_012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},
        {u"onefile_swept_77_0133456789012345678_1234_012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},
        {u"onefile_swept_77_0_1234_012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},  // created 0
        {u"onefile_swept_77_18446744073709551616_1_000000_AAAAAAAAAAA", OwnerProof::none, 0, 0, nullptr},
        {u"onefile_swept_77__1234_012345_AbC-_9zZyXw", OwnerProof::none, 0, 0, nullptr},
        {u"onefile_", OwnerProof::none, 0, 0, nullptr},
        {u"", OwnerProof::none, 0, 0, nullptr},
    };
    for (const Case& c : cases) {
        LeftoverName facts = read_sweep_name(c.name);
        EXPECT_EQ(facts.proof, c.proof) << "case " << (&c - cases);
        if (c.proof == OwnerProof::none) continue;
        EXPECT_EQ(facts.owner.process_id, c.process_id) << "case " << (&c - cases);
        EXPECT_EQ(facts.owner.created, c.created) << "case " << (&c - cases);
        EXPECT_EQ(std::u16string(c.name + facts.kept), c.launcher_part) << "case " << (&c - cases);
    }
}

// Whole sweeps over a scratch directory standing in for %TEMP%.
struct ProcessAnswer {
    bool ended;
    uint64_t created;
};
std::map<uint32_t, ProcessAnswer> processes;
bool process_list_fails = false;
platform::ProcessState answer_without_list = platform::ProcessState::unknown;
uint64_t own_created = 0;
std::set<std::string> foreign_owned;
std::set<std::string> rename_refused;
std::atomic<bool>* stop_on_removal = nullptr;
int removal_operations = 0;
int owner_queries = 0;
// Listings in name order, as NTFS gives them, so that a case can put
// entries before others.
bool sorted_listing = false;
platform::Table real;

std::string native(const char16_t* path) { return posix_layer::path_to_native(path); }

std::u16string core_path(const fs::path& path) { return posix_layer::path_from_native(path.string()); }

struct SortedListing {
    std::vector<platform::DirectoryEntry> entries;
    size_t next = 0;
};

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
        process_list_fails = false;
        answer_without_list = platform::ProcessState::unknown;
        foreign_owned.clear();
        rename_refused.clear();
        stop_on_removal = nullptr;
        removal_operations = 0;
        owner_queries = 0;
        sorted_listing = false;
        real = platform.table();
        own_created = now() - 5 * minute;
        processes[platform::current_process_id()] = {false, own_created};
        platform.table().own_creation_time = [] { return own_created; };
        platform.table().list_processes = [](platform::ProcessTimes* entries, uint32_t capacity, uint32_t* count) {
            if (process_list_fails) return false;
            *count = static_cast<uint32_t>(processes.size());
            if (*count > capacity) return false;
            size_t i = 0;
            for (auto& [id, answer] : processes) entries[i++] = {id, answer.ended, answer.created};
            return true;
        };
        platform.table().query_process_state = [](uint32_t id, uint64_t* created) {
            auto found = processes.find(id);
            if (found == processes.end()) return answer_without_list;
            *created = found->second.created;
            return found->second.ended ? platform::ProcessState::ended : platform::ProcessState::running;
        };
        platform.table().query_directory_owner = [](const char16_t* path, platform::DirectoryOwner* owner) {
            ++owner_queries;
            if (!real.query_directory_owner(path, owner)) return false;
            if (foreign_owned.count(fs::path(native(path)).filename().string()) != 0) {
                owner->owner_is_user = owner->owner_is_default_owner = false;
            }
            return true;
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
        platform.table().open_directory_listing = [](const char16_t* directory, platform::DirectoryEntry* first,
                                                     bool* has_first) -> platform::DirectoryListing {
            if (!sorted_listing) return real.open_directory_listing(directory, first, has_first);
            auto* listing = new SortedListing;
            platform::DirectoryEntry entry;
            bool has_entry = false;
            platform::DirectoryListing inner = real.open_directory_listing(directory, &entry, &has_entry);
            for (; has_entry; has_entry = real.next_directory_entry(inner, &entry)) listing->entries.push_back(entry);
            if (inner.valid()) real.close_directory_listing(inner);
            std::sort(listing->entries.begin(), listing->entries.end(),
                      [](const auto& a, const auto& b) { return std::u16string(a.name) < std::u16string(b.name); });
            *has_first = !listing->entries.empty();
            if (*has_first) *first = listing->entries[listing->next++];
            return {listing};
        };
        platform.table().next_directory_entry = [](platform::DirectoryListing listing,
                                                   platform::DirectoryEntry* entry) {
            if (!sorted_listing) return real.next_directory_entry(listing, entry);
            auto* sorted = static_cast<SortedListing*>(listing.value);
            if (sorted->next == sorted->entries.size()) return false;
            *entry = sorted->entries[sorted->next++];
            return true;
        };
        platform.table().close_directory_listing = [](platform::DirectoryListing listing) {
            if (!sorted_listing) return real.close_directory_listing(listing);
            delete static_cast<SortedListing*>(listing.value);
        };
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(temp, ignored);
    }

    // An empty directory, created `age` ago: for the many.
    void make_directory(const std::string& name, uint64_t age = 10 * minute) {
        fs::create_directory(temp / name);
        set_age(name, age);
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
    make_tree("onefile_101_000001_AAAAAAAAAAA");  // no such process
    make_tree("onefile_102_000002_AAAAAAAAAAA");  // ended
    processes[102] = {true, old - minute};
    make_tree("onefile_103_000003_AAAAAAAAAAA");  // id reused after the directory
    processes[103] = {false, old + minute};
    make_tree("onefile_swept_104_5_105_000004_AAAAAAAAAAA");  // tombstone of a dead claimer
    make_tree("onefile_swept_117_5_118_000017_AAAAAAAAAAA");  // its claimer's id reused
    processes[117] = {false, 6};
    make_tree("onefile_swept_119_120_000019_AAAAAAAAAAA");  // an older launcher's, claimer gone
    // Alive, young or not a launcher's.
    make_tree("onefile_106_000006_AAAAAAAAAAA");  // its launcher runs
    processes[106] = {false, old - minute};
    make_tree("onefile_108_000008_AAAAAAAAAAA", 30 * second);  // younger than a minute
    make_tree("onefile_swept_109_5_110_000009_AAAAAAAAAAA");   // its claimer runs
    processes[109] = {false, 5};
    make_tree("onefile_swept_121_122_000021_AAAAAAAAAAA");  // an older launcher's, id in use
    processes[121] = {false, old + minute};
    make_tree("onefile_111_000011_AAAAAAAAAAA");  // another owner's
    foreign_owned.insert("onefile_111_000011_AAAAAAAAAAA");
    make_tree("onefile_112_000012_AAAAAAAAAAA");  // in use: the rename is refused
    rename_refused.insert("onefile_112_000012_AAAAAAAAAAA");
    make_tree("onefile_113_000013_AAAAAAAAAA");  // a near miss
    make_tree("onefile_0114_000014_AAAAAAAAAAA");
    std::ofstream(temp / "onefile_115_000015_AAAAAAAAAAA") << "a plain file";
    set_age("onefile_115_000015_AAAAAAAAAAA", 10 * minute);
    fs::create_directory_symlink(canary, temp / "onefile_116_000016_AAAAAAAAAAA");
    set_age("onefile_116_000016_AAAAAAAAAAA", 10 * minute);

    SweepTally tally = sweep();

    EXPECT_EQ(tally.removed, 6u);
    EXPECT_EQ(left(), (std::set<std::string>{
                          "onefile_106_000006_AAAAAAAAAAA",
                          "onefile_108_000008_AAAAAAAAAAA",
                          "onefile_swept_109_5_110_000009_AAAAAAAAAAA",
                          "onefile_swept_121_122_000021_AAAAAAAAAAA",
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

TEST_F(Sweep, AProcessOfAnotherUserWithAReusedIdNoLongerKeepsATree) {
    make_tree("onefile_107_000007_AAAAAAAAAAA");
    uint64_t after = now() - minute;
    // Opening it is refused, but the list shows it was created after the
    // directory.
    processes[107] = {false, after};
    EXPECT_EQ(sweep().removed, 1u);
    EXPECT_TRUE(left().empty());

    // Without the list, each id is asked about, and an unknown answer keeps
    // the tree as before.
    make_tree("onefile_107_000007_AAAAAAAAAAA");
    processes.erase(107);
    process_list_fails = true;
    EXPECT_EQ(sweep().removed, 0u);
    EXPECT_EQ(left().size(), 1u);
    answer_without_list = platform::ProcessState::none;
    EXPECT_EQ(sweep().removed, 1u);
}

TEST_F(Sweep, ClaimsBeforeRemovingAndLeavesOffWhenStopped) {
    make_tree("onefile_201_000001_AAAAAAAAAAA");
    std::atomic<bool> stop{false};
    stop_on_removal = &stop;
    // The first sweep runs as process 4242, created at own_created.
    platform.table().current_process_id = [] { return 4242u; };
    processes[4242] = {false, own_created};
    SweepTally tally = sweep_directory(core_path(temp).c_str(), sweep_limits_per_start, stop, interruption, *removal);
    // The stop came with the first file removed: the rest of the claimed
    // tree stays under a tombstone with the sweeper's stamp, for a later
    // sweep.
    EXPECT_EQ(tally.removed, 1u);
    EXPECT_EQ(removal_operations, 1);
    std::string tombstone = "onefile_swept_4242_" + std::to_string(own_created) + "_201_000001_AAAAAAAAAAA";
    EXPECT_EQ(left(), (std::set<std::string>{tombstone}));

    // While its sweeper runs, no other sweep touches it; once the id belongs
    // to a process created later, the next sweep finishes it.
    stop_on_removal = nullptr;
    platform.table().current_process_id = real.current_process_id;
    EXPECT_EQ(sweep().removed, 0u);
    processes[4242] = {false, own_created + 1};
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
    // The living are turned away by the process list, unexamined.
    processes[310] = {false, 0};
    make_tree("onefile_310_000000_AAAAAAAAAAA");
    SweepTally tally = sweep({100, 2, minute});
    EXPECT_EQ(tally.candidates, 4u);
    EXPECT_EQ(tally.examined, 2u);
    EXPECT_EQ(tally.removed, 2u);
    // No time left: nothing is examined.
    EXPECT_EQ(sweep({100, 100, 0}).examined, 0u);
    // Successive sweeps clear the rest; the live launcher's tree stays.
    while (sweep({3, 100, minute}).removed != 0) {
    }
    EXPECT_EQ(left(), (std::set<std::string>{"onefile_310_000000_AAAAAAAAAAA"}));
}

TEST_F(Sweep, ThousandsOfEntriesAtTheFrontDoNotStarveTheRest) {
    sorted_listing = true;
    // Listed first: 4,200 trees that the name, age or process list turn
    // away, at no examination's cost.
    processes[500] = {false, now() - 20 * minute};
    for (int i = 0; i < 2100; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "onefile_500_%06d_AAAAAAAAAAA", i);
        make_directory(name);
        std::snprintf(name, sizeof name, "onefile_501_%06d_AAAAAAAAAAA", i);
        make_directory(name, 10 * second);
    }
    make_tree("onefile_9_000000_AAAAAAAAAAA");  // dead, listed last
    SweepTally tally = sweep();
    EXPECT_EQ(tally.examined, 1u);
    EXPECT_EQ(tally.removed, 1u);
    EXPECT_EQ(owner_queries, 1);
    EXPECT_FALSE(fs::exists(temp / "onefile_9_000000_AAAAAAAAAAA"));

    // Then 4,200 dead ones that cost an examination each and stay (another
    // owner's): more than a sweep examines. Each sweep begins at a random
    // candidate and wraps around, so the last is examined unless the start
    // falls on one of the first five: within three sweeps all but surely.
    for (int i = 0; i < 4200; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "onefile_8_%06d_AAAAAAAAAAA", i);
        make_directory(name);
        foreign_owned.insert(name);
    }
    make_tree("onefile_9_000000_AAAAAAAAAAA");
    static int64_t counter = 0;
    platform.table().query_performance_counter = [](int64_t* value) { *value = counter; };
    uint32_t removed = 0;
    for (counter = 1; counter <= 3 && removed == 0; ++counter) {
        SweepTally bounded = sweep();
        EXPECT_EQ(bounded.candidates, 4201u);
        EXPECT_EQ(bounded.examined, sweep_limits_per_start.examinations);
        removed += bounded.removed;
    }
    EXPECT_EQ(removed, 1u);
    EXPECT_FALSE(fs::exists(temp / "onefile_9_000000_AAAAAAAAAAA"));
}

TEST_F(Sweep, RunsBesideTheWaitOnItsOwnThread) {
    make_tree("onefile_401_000001_AAAAAAAAAAA");
    std::u16string target = core_path(temp / "onefile_1_000000_BBBBBBBBBBB");
    SweepRequest request{target.c_str(), &interruption};
    BesideWait beside = sweep_beside_wait(request);
    void* begun = beside.begin();
    ASSERT_NE(begun, nullptr);
    // Until the claimed tree (renamed at once) is gone as well.
    for (int i = 0; i < 500 && !left().empty(); ++i) usleep(10'000);
    beside.end(begun);
    EXPECT_TRUE(left().empty());
    // Without a parent there is nothing to sweep, and nothing to end.
    SweepRequest no_parent{u"onefile_1_000000_BBBBBBBBBBB", &interruption};
    BesideWait without_parent = sweep_beside_wait(no_parent);
    EXPECT_EQ(without_parent.begin(), nullptr);
    without_parent.end(nullptr);
}

}  // namespace

}  // namespace fenzar
