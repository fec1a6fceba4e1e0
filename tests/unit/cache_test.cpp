// The unpacked cache on the POSIX layer, in a scratch folder standing in for
// the local application data: each state the cache can be met in (fresh,
// complete, a file missing or cut, a broken index, in use, a race lost, a
// link or file in the way, elevated), the removal of what no launcher uses,
// and the re-entered instance's choice. Locks are flock locks here, which
// behave like the share modes between two holders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "cache/cache.h"
#include "launcher/target_choice.h"
#include "leftovers/stamp.h"
#include "new_run.h"
#include "payload/launch_settings.h"
#include "platform_override.h"
#include "support/attached_data_builder.h"

namespace fenzar {

namespace {

namespace fs = std::filesystem;

bool elevated = false;

std::u16string core_path(const fs::path& path) {
    std::u16string out;
    for (char c : path.string()) out += c == '/' ? u'\\' : static_cast<char16_t>(static_cast<unsigned char>(c));
    return out;
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Cache : public testing::Test {
protected:
    void SetUp() override {
        char pattern_path[] = "/tmp/fenzar_cache_XXXXXX";
        ASSERT_NE(mkdtemp(pattern_path), nullptr);
        scratch = pattern_path;
        const char* old = std::getenv("XDG_CACHE_HOME");
        saved_cache_home = old != nullptr ? old : "";
        had_cache_home = old != nullptr;
        setenv("XDG_CACHE_HOME", scratch.c_str(), 1);
        elevated = false;
        platform.table().is_elevated = [] { return elevated; };
        platform.table().exit_process = [](int status) { throw ProcessEnded{static_cast<uint32_t>(status)}; };
        // The launcher that uses the cache is unelevated, the user's own
        // directories its to remove (root's own rule aside).
        platform.table().query_directory_owner = [](const char16_t*, platform::DirectoryOwner* owner) {
            *owner = {true, true, true, false};
            return true;
        };
        records = {{u"app.dll", "library"}, {u"readme.txt", pattern(300, 1)}, {u"sub\\data.bin", pattern(70000, 2)}};
        attached = make_attached_data(make_archive(records));
    }
    void TearDown() override {
        runs.clear();
        if (had_cache_home) {
            setenv("XDG_CACHE_HOME", saved_cache_home.c_str(), 1);
        } else {
            unsetenv("XDG_CACHE_HOME");
        }
        fs::remove_all(scratch);
    }
    // A launcher's run with --cache settings of that name and digest.
    ::fenzar::Run& new_run(const std::u16string& name = u"app", unsigned char digest_byte = 0xA5) {
        ::fenzar::Run& run = *runs.emplace_back(std::make_unique<NewRun>())->operator->();
        Bytes block = make_launch_settings(name, digest_byte);
        EXPECT_TRUE(read_launch_settings(block.data(), block.size(), &run.launch_settings));
        return run;
    }
    // What a parent does for missing content, up to publishing: true when
    // the run can use the published content (its own or another's).
    bool unpack_and_publish(::fenzar::Run& run) {
        open_payload(run.reader, {attached.data(), attached.size()});
        run.unpacking.entry_observer = {remember_cache_record, &run.cache};
        run.unpacking.flush_files = true;
        unpack_into_new_directory(run.unpacking, run.reader, run.interruption, run.cache.private_directory.data(),
                                  run.cache.private_files.data());
        Publication publication = publish_cache_content(run.cache, run.removal);
        return publication == Publication::published || publication == Publication::theirs;
    }
    CacheState open(::fenzar::Run& run) { return open_cache(run.cache, run.launch_settings); }
    ::fenzar::Run& published(const std::u16string& name = u"app", unsigned char digest_byte = 0xA5) {
        ::fenzar::Run& run = new_run(name, digest_byte);
        EXPECT_EQ(open(run), CacheState::missing);
        EXPECT_TRUE(unpack_and_publish(run));
        return run;
    }
    void release(::fenzar::Run& run) { run.cache.lock.reset(); }

    fs::path application(const std::string& name = "app") const { return scratch / "Fenzar" / name; }
    std::string digest(unsigned char digest_byte = 0xA5) const {
        static const char hex[] = "0123456789abcdef";
        std::string text;
        for (int i = 0; i < 16; ++i) {
            unsigned char byte = static_cast<unsigned char>(digest_byte + i);
            text += hex[byte >> 4];
            text += hex[byte & 15];
        }
        return text;
    }
    fs::path files(unsigned char digest_byte = 0xA5) const { return application() / digest(digest_byte) / "files"; }
    std::set<std::string> entries(const std::string& name = "app") const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(application(name))) names.insert(entry.path().filename());
        return names;
    }
    void expect_files_as_packed(unsigned char digest_byte = 0xA5) const {
        EXPECT_EQ(read_text(files(digest_byte) / "app.dll"), "library");
        EXPECT_EQ(read_text(files(digest_byte) / "readme.txt"), pattern(300, 1));
        EXPECT_EQ(read_text(files(digest_byte) / "sub" / "data.bin"), pattern(70000, 2));
    }

    PlatformOverride platform;
    fs::path scratch;
    std::string saved_cache_home;
    bool had_cache_home = false;
    std::vector<Record> records;
    Bytes attached;
    std::vector<std::unique_ptr<NewRun>> runs;
};

TEST_F(Cache, FreshThenCompleteThenDamaged) {
    ::fenzar::Run& first = published();
    expect_files_as_packed();
    EXPECT_EQ(entries(), (std::set<std::string>{digest(), digest() + ".lock"}));
    EXPECT_EQ(fs::status(application()).permissions() & fs::perms::all, fs::perms::owner_all);
    release(first);

    struct Case {
        const char* what;
        void (*damage)(const fs::path& content);
        CacheState state;
    };
    const Case cases[] = {
        {"complete", [](const fs::path&) {}, CacheState::complete},
        {"a file missing", [](const fs::path& c) { fs::remove(c / "files" / "sub" / "data.bin"); },
         CacheState::missing},
        {"a file cut", [](const fs::path& c) { fs::resize_file(c / "files" / "readme.txt", 299); },
         CacheState::missing},
        {"a file grown", [](const fs::path& c) { std::ofstream(c / "files" / "app.dll", std::ios::app) << "x"; },
         CacheState::missing},
        {"a file now a directory",
         [](const fs::path& c) {
             fs::remove(c / "files" / "readme.txt");
             fs::create_directory(c / "files" / "readme.txt");
         },
         CacheState::missing},
        {"no index", [](const fs::path& c) { fs::remove(c / "index"); }, CacheState::missing},
        {"an index of another digest",
         [](const fs::path& c) {
             std::fstream index(c / "index", std::ios::in | std::ios::out | std::ios::binary);
             index.seekp(8);
             index.put('\x00');
         },
         CacheState::missing},
        {"an index cut", [](const fs::path& c) { fs::resize_file(c / "index", fs::file_size(c / "index") - 1); },
         CacheState::missing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.damage(application() / digest());
        ::fenzar::Run& run = new_run();
        ASSERT_EQ(open(run), c.state);
        if (c.state == CacheState::missing) {
            // The broken directory was set aside, to be removed beside the
            // application's run.
            EXPECT_FALSE(fs::exists(application() / digest()));
            EXPECT_FALSE(run.cache.set_aside.empty());
            EXPECT_TRUE(unpack_and_publish(run));
            remove_unused_cache_content(run.cache.paths, run.cache.set_aside.data(), run.removal, {});
        }
        expect_files_as_packed();
        EXPECT_EQ(entries(), (std::set<std::string>{digest(), digest() + ".lock"}));
        release(run);
    }
}

TEST_F(Cache, ABrokenDirectoryInUseIsLeftAndTheRunGoesToTheTemporaryDirectory) {
    ::fenzar::Run& holder = published();
    fs::remove(files() / "readme.txt");
    ::fenzar::Run& run = new_run();
    EXPECT_EQ(open(run), CacheState::unusable);
    EXPECT_TRUE(fs::exists(files() / "app.dll"));
    release(holder);
    EXPECT_EQ(open(new_run()), CacheState::missing);
}

TEST_F(Cache, ARaceLostUsesTheWinnersDirectoryAndRemovesItsOwn) {
    // Two launchers: the second one a process of its own, with a stamp of
    // its own.
    ::fenzar::Run& a = new_run();
    ::fenzar::Run& b = new_run();
    ASSERT_EQ(open(a), CacheState::missing);
    static uint32_t other_id = platform::current_process_id() + 1;
    platform.table().current_process_id = [] { return other_id; };
    ASSERT_EQ(open(b), CacheState::missing);
    EXPECT_NE(std::u16string(a.cache.private_directory.data()), std::u16string(b.cache.private_directory.data()));
    ASSERT_TRUE(unpack_and_publish(a));
    ASSERT_TRUE(unpack_and_publish(b));
    expect_files_as_packed();
    EXPECT_EQ(entries(), (std::set<std::string>{digest(), digest() + ".lock"}));
}

TEST_F(Cache, WhatCannotBeTrustedGoesToTheTemporaryDirectory) {
    struct Case {
        const char* what;
        void (*prepare)(const fs::path& scratch);
        bool elevated;
    };
    const Case cases[] = {
        {"the application's folder a link",
         [](const fs::path& s) {
             fs::create_directories(s / "Fenzar");
             fs::create_directories(s / "elsewhere");
             fs::create_directory_symlink(s / "elsewhere", s / "Fenzar" / "app");
         },
         false},
        {"the cache folder a link",
         [](const fs::path& s) {
             fs::create_directories(s / "elsewhere");
             fs::create_directory_symlink(s / "elsewhere", s / "Fenzar");
         },
         false},
        {"the application's folder a file",
         [](const fs::path& s) {
             fs::create_directories(s / "Fenzar");
             std::ofstream(s / "Fenzar" / "app") << "a file";
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(scratch / "Fenzar");
        fs::remove_all(scratch / "elsewhere");
        c.prepare(scratch);
        elevated = c.elevated;
        ::fenzar::Run& run = new_run();
        EXPECT_EQ(open(run), CacheState::unusable);
        EXPECT_FALSE(run.cache.lock.valid());
        if (fs::exists(scratch / "elsewhere")) {
            EXPECT_TRUE(fs::is_empty(scratch / "elsewhere"));
        }
    }
}

TEST_F(Cache, WhatNoLauncherUsesIsRemoved) {
    ::fenzar::Run& old_in_use = published(u"app", 0x10);
    ::fenzar::Run& old_unused = published(u"app", 0x20);
    release(old_unused);
    ::fenzar::Run& current = published(u"app", 0x30);
    const fs::path app = application();
    const std::string d = digest(0x40);
    // Leftovers of launchers that ended (an id no process has with that
    // creation time) and of this running one, all older than a minute.
    const std::string own = [] {
        char16_t text[stamp_text_capacity + 1] = {};
        append_stamp(text, own_stamp(), stamp_text_capacity);
        std::string narrow;
        for (const char16_t* p = text; *p != 0; ++p) narrow += static_cast<char>(*p);
        return narrow;
    }();
    const std::set<std::string> dead = {d + ".7_1.tmp", d + ".7_1.7_1.old"};
    const std::set<std::string> alive = {d + "." + own + ".tmp", d + "." + own + ".8_1.old"};
    for (const std::set<std::string>* names : {&dead, &alive}) {
        for (const std::string& leftover : *names) {
            fs::create_directories(app / leftover / "files");
            std::ofstream(app / leftover / "files" / "x") << "x";
            fs::last_write_time(app / leftover, fs::file_time_type::clock::now() - std::chrono::minutes(2));
        }
    }
    std::ofstream(app / (digest(0x50) + ".lock")) << "";
    fs::create_directories(app / "unrelated");
    fs::create_directories(scratch / "outside");
    std::ofstream(scratch / "outside" / "keep") << "keep";
    fs::create_directory_symlink(scratch / "outside", app / digest(0x60));

    remove_unused_cache_content(current.cache.paths, current.cache.set_aside.data(), current.removal, {});

    std::set<std::string> kept = {digest(0x10), digest(0x10) + ".lock", digest(0x30), digest(0x30) + ".lock",
                                  "unrelated"};
    kept.insert(alive.begin(), alive.end());
    EXPECT_EQ(entries(), kept);
    // A link in the way goes as a link; what it points to stays.
    EXPECT_EQ(read_text(scratch / "outside" / "keep"), "keep");
    expect_files_as_packed(0x10);

    release(old_in_use);
    for (const std::string& leftover : alive) fs::remove_all(app / leftover);
    remove_unused_cache_content(current.cache.paths, current.cache.set_aside.data(), current.removal, {});
    EXPECT_EQ(entries(), (std::set<std::string>{digest(0x30), digest(0x30) + ".lock", "unrelated"}));
}

// The flow's choice: a parent opens the cache unless it is elevated; a
// re-entered instance follows its parent, which left FENZAR_ONEFILE_TIME_US
// unset exactly when it ran from the cache, and never takes the cache when
// elevated. Without --cache both take the temporary directory.
TEST_F(Cache, TheFlowsChoiceFollowsTheSettingsTheModeAndElevation) {
    ::fenzar::Run& parent = published();
    struct Case {
        const char* what;
        RunMode mode;
        bool cache;
        bool is_elevated;
        const char* time_us;
        TargetChoice choice;
    };
    const Case cases[] = {
        {"parent", RunMode::parent, true, false, nullptr, TargetChoice::cached},
        {"parent, elevated", RunMode::parent, true, true, nullptr, TargetChoice::temporary},
        {"parent without --cache", RunMode::parent, false, false, nullptr, TargetChoice::temporary},
        {"child of a cached parent", RunMode::reentered, true, false, nullptr, TargetChoice::cached},
        {"child of a cached parent, elevated", RunMode::reentered, true, true, nullptr, TargetChoice::temporary},
        {"child of a temporary parent", RunMode::reentered, true, false, "123456", TargetChoice::temporary},
        {"child without --cache", RunMode::reentered, false, false, nullptr, TargetChoice::temporary},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.time_us != nullptr) {
            setenv("FENZAR_ONEFILE_TIME_US", c.time_us, 1);
        } else {
            unsetenv("FENZAR_ONEFILE_TIME_US");
        }
        elevated = c.is_elevated;
        ::fenzar::Run& run = new_run();
        run.run_mode = c.mode;
        if (!c.cache) run.launch_settings = {};
        EXPECT_EQ(choose_target_directory(run), c.choice);
        if (c.choice == TargetChoice::cached) {
            EXPECT_EQ(std::u16string(run.target_directory.data()), core_path(files()));
            EXPECT_EQ(run.unpacking.target_owner.load(), TargetOwner::kept);
        } else {
            EXPECT_EQ(std::u16string(run.target_directory.data()).find(u"onefile_") != std::u16string::npos, true);
            EXPECT_EQ(run.unpacking.target_owner.load(), TargetOwner::none);
        }
        if (run.cache.lock.valid()) release(run);
    }
    unsetenv("FENZAR_ONEFILE_TIME_US");
    release(parent);
}

// A parent that runs from the cache hands its directory to the instance it
// starts, over whatever the environment held; that instance takes it only
// with its parent proven to have started it itself, takes it out of the
// environment (the application never sees it), and otherwise computes the
// paths below the local application data folder as before.
int folder_lookups = 0;
platform::Table* original_table = nullptr;

TEST_F(Cache, TheChildTakesTheDirectoryItsOwnParentHandedDown) {
    ::fenzar::Run& parent = published();
    release(parent);
    static platform::Table original;
    original = platform.table();
    original_table = &original;
    platform.table().get_folder_path = [](int csidl, char16_t* out) {
        ++folder_lookups;
        return original_table->get_folder_path(csidl, out);
    };
    const std::u16string handed_down = u"/somewhere/else";
    struct Case {
        const char* what;
        bool started_by_named;
        const char* handed_down;  // FENZAR_ONEFILE_CACHE_FILES, or null
        const char* time_us;
        bool is_elevated;
        TargetChoice choice;
        bool takes_handed_down;
    };
    const Case cases[] = {
        {"started by the named parent", true, "/somewhere/else", nullptr, false, TargetChoice::cached, true},
        {"at the end of a chain", false, "/somewhere/else", nullptr, false, TargetChoice::cached, false},
        {"nothing handed down", true, nullptr, nullptr, false, TargetChoice::cached, false},
        {"a parent that ran from a temporary directory", true, "/somewhere/else", "123456", false,
         TargetChoice::temporary, false},
        {"elevated", true, "/somewhere/else", nullptr, true, TargetChoice::temporary, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.handed_down != nullptr) {
            setenv("FENZAR_ONEFILE_CACHE_FILES", c.handed_down, 1);
        } else {
            unsetenv("FENZAR_ONEFILE_CACHE_FILES");
        }
        if (c.time_us != nullptr) {
            setenv("FENZAR_ONEFILE_TIME_US", c.time_us, 1);
        } else {
            unsetenv("FENZAR_ONEFILE_TIME_US");
        }
        elevated = c.is_elevated;
        folder_lookups = 0;
        ::fenzar::Run& run = new_run();
        run.run_mode = RunMode::reentered;
        run.started_by_named_parent = c.started_by_named;
        EXPECT_EQ(choose_target_directory(run), c.choice);
        EXPECT_EQ(std::getenv("FENZAR_ONEFILE_CACHE_FILES"), nullptr) << "left for the application";
        if (c.choice == TargetChoice::cached) {
            EXPECT_EQ(std::u16string(run.target_directory.data()),
                      c.takes_handed_down ? handed_down : core_path(files()));
            EXPECT_EQ(folder_lookups, c.takes_handed_down ? 0 : 1);
        }
    }
    unsetenv("FENZAR_ONEFILE_TIME_US");
    elevated = false;

    // The parent's side: whatever was set before, the run from the cache
    // hands down its own directory.
    setenv("FENZAR_ONEFILE_CACHE_FILES", "/planted", 1);
    ::fenzar::Run& second = new_run();
    prepare_parent_environment();
    EXPECT_EQ(std::getenv("FENZAR_ONEFILE_CACHE_FILES"), nullptr);
    TargetChoice choice = choose_target_directory(second);
    ASSERT_EQ(choice, TargetChoice::cached);
    EXPECT_EQ(unpack_application(second, choice, {attached.data(), attached.size()}), TargetChoice::cached);
    const char* set = std::getenv("FENZAR_ONEFILE_CACHE_FILES");
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(core_path(set), core_path(files()));
    release(second);
    unsetenv("FENZAR_ONEFILE_CACHE_FILES");
    unsetenv("FENZAR_ONEFILE_PARENT");
}

}  // namespace

}  // namespace fenzar
