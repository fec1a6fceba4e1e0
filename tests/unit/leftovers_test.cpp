// The leftovers module: owner stamps, the proof of death against one list of
// all processes, the owner rule of elevated and unelevated launchers, and
// walks over a real folder through the POSIX layer with name rules like the
// cache's (an unfinished "<digest>.<stamp>.tmp", a claimed
// "<digest>.<claimer>.<rest>.old"), the process list and owners faked.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/wide.h"
#include "leftovers/proof.h"
#include "leftovers/stamp.h"
#include "leftovers/walk.h"
#include "platform/posix/native_path.h"
#include "platform_override.h"

namespace fenzar {

namespace {

namespace fs = std::filesystem;

constexpr uint64_t second = 10'000'000;
constexpr uint64_t minute = 60 * second;

std::u16string stamp_text(const OwnerStamp& stamp) {
    char16_t text[stamp_text_capacity + 1] = {};
    append_stamp(text, stamp, stamp_text_capacity);
    return text;
}

TEST(OwnerStamps, RoundTripAndNearMisses) {
    const OwnerStamp stamps[] = {{1, 1}, {4242, 133'456'789'012'345'678ull}, {UINT32_MAX, UINT64_MAX}};
    for (const OwnerStamp& stamp : stamps) {
        std::u16string text = stamp_text(stamp);
        OwnerStamp read;
        EXPECT_EQ(read_stamp((text + u".tmp").c_str(), &read), text.size());
        EXPECT_EQ(read.process_id, stamp.process_id);
        EXPECT_EQ(read.created, stamp.created);
    }
    EXPECT_EQ(stamp_text({UINT32_MAX, UINT64_MAX}).size(), stamp_text_capacity);

    const char16_t* refused[] = {
        u"0_5",   // id 0
        u"7_0",   // no creation time
        u"07_5",  // leading zeros
        u"7_05",
        u"4294967296_5",            // past 32 bits
        u"7_18446744073709551616",  // past 64 bits
        u"7-5",
        u"7__5",
        u"_7_5",
        u"7_",
        u"7",
        u"",
        u"\uff17_5",  // a digit, but not ASCII
    };
    for (const char16_t* text : refused) {
        OwnerStamp read;
        EXPECT_EQ(read_stamp(text, &read), 0u) << std::string(text, text + wide_length(text));
    }
}

TEST(LeftoverProof, OwnerDeadOnlyWhenProven) {
    const uint64_t entry_created = 500 * minute;
    const uint64_t owner_created = 400 * minute;
    using P = ProcessFact;
    struct Case {
        OwnerProof proof;
        ProcessFact process;
        bool dead;
    };
    const Case cases[] = {
        // The name carries the whole stamp: only that process keeps it.
        {OwnerProof::exact, {P::absent, 0}, true},
        {OwnerProof::exact, {P::ended, 0}, true},
        {OwnerProof::exact, {P::running, owner_created}, false},
        {OwnerProof::exact, {P::running, owner_created + 1}, true},  // the id reused later
        {OwnerProof::exact, {P::running, owner_created - 1}, true},  // or earlier, by another
        {OwnerProof::exact, {P::unknown, 0}, false},
        // A launcher's directory: its maker was created before it.
        {OwnerProof::made_entry, {P::absent, 0}, true},
        {OwnerProof::made_entry, {P::ended, 0}, true},
        {OwnerProof::made_entry, {P::running, entry_created - second}, false},
        {OwnerProof::made_entry, {P::running, entry_created}, false},
        {OwnerProof::made_entry, {P::running, entry_created + 1}, true},
        {OwnerProof::made_entry, {P::unknown, 0}, false},
        // An id alone that need not have made the entry.
        {OwnerProof::id_only, {P::absent, 0}, true},
        {OwnerProof::id_only, {P::ended, 0}, true},
        {OwnerProof::id_only, {P::running, entry_created + minute}, false},
        {OwnerProof::id_only, {P::unknown, 0}, false},
        {OwnerProof::none, {P::absent, 0}, false},
    };
    for (const Case& c : cases) {
        LeftoverName name{c.proof, {77, c.proof == OwnerProof::exact ? owner_created : 0}, 0};
        EXPECT_EQ(is_owner_dead(name, c.process, entry_created), c.dead) << "case " << (&c - cases);
    }
}

TEST(LeftoverProof, AgeAndAttributes) {
    const uint64_t now = 1000 * minute;
    struct Case {
        uint64_t created;
        bool old_enough;
    };
    const Case ages[] = {
        {now - minute, true}, {now - minute + 1, false}, {now - 60 * minute, true},
        {now, false},         {now + second, false},     {0, true},
    };
    for (const Case& c : ages)
        EXPECT_EQ(is_old_enough(c.created, now, leftover_minimum_age), c.old_enough) << c.created;

    EXPECT_TRUE(is_plain_directory(platform::file_attribute_directory));
    EXPECT_TRUE(is_plain_directory(platform::file_attribute_directory | platform::file_attribute_readonly));
    EXPECT_FALSE(is_plain_directory(platform::file_attribute_directory | platform::file_attribute_reparse_point));
    EXPECT_FALSE(is_plain_directory(platform::file_attribute_reparse_point));
    EXPECT_FALSE(is_plain_directory(platform::file_attribute_normal));
}

// Owner facts as Windows gives them: an administrator's elevated token gives
// new objects Administrators as owner, an unelevated one the user.
struct OwnerCase {
    const char* what;
    platform::DirectoryOwner owner;
    bool removable;
};
const OwnerCase owner_cases[] = {
    {"elevated, made by an elevated launcher", {false, true, false, true}, true},
    {"elevated, made by an unelevated program", {true, false, false, true}, false},
    {"elevated, another owner", {false, false, false, true}, false},
    {"elevated, new objects owned by the user", {true, true, true, true}, false},
    {"unelevated, the user's", {true, true, true, false}, true},
    {"unelevated, made by an elevated launcher", {false, false, true, false}, false},
    {"unelevated, another owner", {false, false, true, false}, false},
};

TEST(LeftoverProof, ElevatedRemovesOnlyElevatedMakersUnelevatedOnlyTheUsers) {
    for (const OwnerCase& c : owner_cases) EXPECT_EQ(may_remove_owned(c.owner), c.removable) << c.what;
}

// The process list and the own stamp, faked.
struct FakeProcesses {
    std::vector<platform::ProcessTimes> list;
    bool list_fails = false;
    int list_calls = 0;
    int queries = 0;
    uint32_t own_id = 4242;
    uint64_t own_created = 0;
};
FakeProcesses* fake;

void install_fake_processes(platform::Table& table, FakeProcesses& state) {
    fake = &state;
    table.list_processes = [](platform::ProcessTimes* entries, uint32_t capacity, uint32_t* count) {
        ++fake->list_calls;
        if (fake->list_fails) return false;
        *count = static_cast<uint32_t>(fake->list.size());
        if (*count > capacity) return false;
        for (uint32_t i = 0; i < *count; ++i) entries[i] = fake->list[i];
        return true;
    };
    table.query_process_state = [](uint32_t, uint64_t*) {
        ++fake->queries;
        return platform::ProcessState::unknown;
    };
    table.current_process_id = [] { return fake->own_id; };
    table.own_creation_time = [] { return fake->own_created; };
}

TEST(ProcessSnapshots, OneListAnsweredWithoutOpeningAProcess) {
    PlatformOverride platform;
    FakeProcesses state;
    install_fake_processes(platform.table(), state);
    // More processes than the first room: the list is taken again, larger.
    for (uint32_t id = 8; id < 8 + 4 * 3000; id += 4) state.list.push_back({id, false, 1000ull + id});
    state.list.push_back({7, true, 5});
    ProcessSnapshot snapshot;
    ASSERT_TRUE(snapshot.take());
    EXPECT_EQ(state.list_calls, 2);
    EXPECT_EQ(snapshot.find(7).state, ProcessFact::ended);
    EXPECT_EQ(snapshot.find(8).state, ProcessFact::running);
    EXPECT_EQ(snapshot.find(8).created, 1008u);
    EXPECT_EQ(snapshot.find(8 + 4 * 2999).created, 1000u + 8 + 4 * 2999);
    EXPECT_EQ(snapshot.find(10).state, ProcessFact::absent);
    EXPECT_EQ(snapshot.find(8 + 4 * 3000).state, ProcessFact::absent);
    EXPECT_EQ(state.queries, 0);

    // Without the list, each id is asked about; an unknown answer stays one.
    state.list_fails = true;
    EXPECT_FALSE(snapshot.take());
    EXPECT_EQ(snapshot.find(8).state, ProcessFact::unknown);
    EXPECT_EQ(state.queries, 1);
}

TEST(ProcessSnapshots, TheOwnProcessIsListedWithItsOwnStamp) {
    ProcessSnapshot snapshot;
    ASSERT_TRUE(snapshot.take());
    OwnerStamp own = own_stamp();
    ASSERT_TRUE(own.valid());
    ProcessFact fact = snapshot.find(own.process_id);
    EXPECT_EQ(fact.state, ProcessFact::running);
    EXPECT_EQ(fact.created, own.created);
}

// Name rules like the cache's, over a digest of eight hex digits:
// "D.<stamp>.tmp" (exact), claimed as "D.<claimer>.<stamp>.old" (exact, the
// claimer's), which a later claim renames to "D.<claimer>.<that rest>".
constexpr size_t digest_units = 8;

LeftoverName read_cache_like(const char16_t* name) {
    for (size_t i = 0; i < digest_units; ++i) {
        char16_t unit = name[i];
        if (!((unit >= u'0' && unit <= u'9') || (unit >= u'a' && unit <= u'f'))) return {};
    }
    if (name[digest_units] != u'.') return {};
    const char16_t* rest = name + digest_units + 1;
    OwnerStamp stamp;
    size_t length = read_stamp(rest, &stamp);
    if (length == 0 || rest[length] != u'.') return {};
    const char16_t* tail = rest + length + 1;
    if (wide_equal(tail, u"tmp")) return {OwnerProof::exact, stamp, digest_units + 1};
    OwnerStamp kept;
    size_t kept_length = read_stamp(tail, &kept);
    if (kept_length != 0 && wide_equal(tail + kept_length, u".old")) {
        return {OwnerProof::exact, stamp, static_cast<size_t>(tail - name)};
    }
    return {};
}

bool name_cache_like_tombstone(const char16_t* name, const LeftoverName& facts, const OwnerStamp& claimer,
                               char16_t* out) {
    OwnerStamp kept;
    size_t kept_length = read_stamp(name + facts.kept, &kept);
    out[0] = 0;
    for (size_t i = 0; i <= digest_units; ++i) append_wide_char_bounded(out, name[i], leftover_name_capacity);
    append_stamp(out, claimer, leftover_name_capacity);
    append_wide_char_bounded(out, u'.', leftover_name_capacity);
    append_stamp(out, kept, leftover_name_capacity);
    append_wide_bounded(out, u".old", leftover_name_capacity);
    return kept_length != 0;
}

const LeftoverShapes cache_like_shapes = {read_cache_like, name_cache_like_tombstone, leftover_minimum_age, false};

std::u16string core_path(const fs::path& path) { return posix_layer::path_from_native(path.string()); }
std::string utf8(const std::u16string& text) { return posix_layer::path_to_native(text.c_str()); }

platform::Table real;
const platform::DirectoryOwner* directory_owner = nullptr;

class Walks : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fenzar_leftovers_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        canary = fs::path(pattern).string() + "_canary";
        fs::create_directories(canary / "inner");
        std::ofstream(canary / "inner" / "keep.txt") << "canary";
        real = platform.table();
        install_fake_processes(platform.table(), processes);
        processes.own_created = now() - 5 * minute;
        directory_owner = nullptr;
        platform.table().query_directory_owner = [](const char16_t* path, platform::DirectoryOwner* owner) {
            if (directory_owner == nullptr) return real.query_directory_owner(path, owner);
            *owner = *directory_owner;
            return true;
        };
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        fs::remove_all(canary, ignored);
    }
    static uint64_t now() { return platform::system_time_as_file_time(); }

    void set_age(const std::string& name, uint64_t age) {
        uint64_t created = now() - age;
        constexpr uint64_t seconds_1601_to_1970 = 11644473600ull;
        timespec times[2];
        times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(created / second - seconds_1601_to_1970);
        times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(created % second) * 100;
        ASSERT_EQ(utimensat(AT_FDCWD, (folder / name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << name;
    }
    void make_tree(const std::string& name, uint64_t age = 10 * minute) {
        fs::create_directories(folder / name / "files");
        std::ofstream(folder / name / "files" / "app.dll") << "app";
        set_age(name, age);
    }
    std::set<std::string> left() {
        std::set<std::string> names;
        for (auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
        return names;
    }
    WalkTally walk(const WalkLimits& limits = {256, 4096, minute}) {
        return remove_dead_leftovers(core_path(folder).c_str(), cache_like_shapes, limits, {}, *removal);
    }
    static std::string named(const char* digest, const OwnerStamp& stamp, const char* tail) {
        return std::string(digest) + "." + utf8(stamp_text(stamp)) + tail;
    }

    PlatformOverride platform;
    FakeProcesses processes;
    std::unique_ptr<TreeRemoval> removal = std::make_unique<TreeRemoval>();
    fs::path folder;
    fs::path canary;
};

TEST_F(Walks, RemovesWhatTheProcessListProvesDeadAndNothingElse) {
    const OwnerStamp live{501, 100 * second};
    const OwnerStamp reused{502, 100 * second};  // id 502 now has another process
    const OwnerStamp gone{503, 100 * second};
    processes.list = {
        {501, false, 100 * second}, {502, false, 200 * second}, {processes.own_id, false, processes.own_created}};

    // Removed.
    make_tree(named("0000000a", gone, ".tmp"));
    make_tree(named("0000000b", reused, ".tmp"));
    make_tree(named("0000000c", gone, ".") + utf8(stamp_text(live)) + ".old");    // its claimer has gone
    make_tree(named("0000000d", reused, ".") + utf8(stamp_text(live)) + ".old");  // its claimer's id was reused
    std::string link = named("0000000e", gone, ".tmp");
    fs::create_directory_symlink(canary, folder / link);
    set_age(link, 10 * minute);
    std::string file = named("0000000f", gone, ".") + utf8(stamp_text(gone)) + ".old";
    std::ofstream(folder / file) << "a file";
    set_age(file, 10 * minute);
    // Kept.
    make_tree(named("00000001", live, ".tmp"));                                       // its maker runs
    make_tree(named("00000002", live, ".") + utf8(stamp_text(gone)) + ".old");        // its claimer runs
    make_tree(named("00000003", gone, ".tmp"), 30 * second);                          // younger than a minute
    make_tree(named("00000004", {processes.own_id, processes.own_created}, ".tmp"));  // this process's
    make_tree(named("0000000G", gone, ".tmp"));                                       // not a digest
    make_tree(named("00000005", gone, ".tmp2"));

    WalkTally tally = walk();

    EXPECT_EQ(tally.removed, 6u);
    EXPECT_EQ(left(), (std::set<std::string>{
                          named("00000001", live, ".tmp"),
                          named("00000002", live, ".") + utf8(stamp_text(gone)) + ".old",
                          named("00000003", gone, ".tmp"),
                          named("00000004", {processes.own_id, processes.own_created}, ".tmp"),
                          named("0000000G", gone, ".tmp"),
                          named("00000005", gone, ".tmp2"),
                      }));
    // The link went as a link.
    EXPECT_TRUE(fs::exists(canary / "inner" / "keep.txt"));
}

TEST_F(Walks, ATombstoneCarriesTheClaimersStampUntilItHasGone) {
    const OwnerStamp gone{503, 100 * second};
    make_tree(named("0000000a", gone, ".tmp"));
    processes.list = {{processes.own_id, false, processes.own_created}};
    // Stopped at the first file removed: the claimed tree stays, named after
    // this process's stamp.
    int deletes = 0;
    static int* counted = &deletes;
    counted = &deletes;
    bool stop = false;
    static bool* stopping = &stop;
    stopping = &stop;
    platform.table().delete_entry_relative = [](platform::DirectoryHandle parent, const char16_t* name,
                                                const platform::EntryFacts* expected) {
        ++*counted;
        *stopping = true;
        return real.delete_entry_relative(parent, name, expected);
    };
    AbandonCheck check{[](void* context) { return *static_cast<const bool*>(context); }, &stop};
    EXPECT_EQ(remove_dead_leftovers(core_path(folder).c_str(), cache_like_shapes, {256, 4096, minute}, check, *removal)
                  .removed,
              1u);
    std::string tombstone =
        named("0000000a", {processes.own_id, processes.own_created}, ".") + utf8(stamp_text(gone)) + ".old";
    EXPECT_EQ(left(), (std::set<std::string>{tombstone}));
    platform.table().delete_entry_relative = real.delete_entry_relative;

    // Another process: while the claimer runs, kept; once its id belongs to
    // a process created later, removed.
    OwnerStamp claimer{processes.own_id, processes.own_created};
    processes.own_id = 9000;
    processes.list = {{claimer.process_id, false, claimer.created}, {9000, false, processes.own_created}};
    EXPECT_EQ(walk().removed, 0u);
    processes.list[0].creation_time = claimer.created + second;
    EXPECT_EQ(walk().removed, 1u);
    EXPECT_TRUE(left().empty());
}

TEST_F(Walks, OwnersByElevation) {
    const OwnerStamp gone{503, 100 * second};
    processes.list = {{processes.own_id, false, processes.own_created}};
    for (const OwnerCase& c : owner_cases) {
        std::string name = named("0000000a", gone, ".tmp");
        make_tree(name);
        directory_owner = &c.owner;
        walk();
        EXPECT_EQ(left().empty(), c.removable) << c.what;
        std::error_code ignored;
        fs::remove_all(folder / name, ignored);
    }
}

TEST_F(Walks, NothingIsNamedAfterAProcessWithoutACreationTime) {
    make_tree(named("0000000a", {503, 100 * second}, ".tmp"));
    processes.own_created = 0;
    EXPECT_EQ(walk().removed, 0u);
    EXPECT_EQ(left().size(), 1u);
}

}  // namespace

}  // namespace fenzar
