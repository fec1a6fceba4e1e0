// Unpacking real archives, compressed here with libzstd, through the real
// reader into a temporary directory on the POSIX layer. Some tests pin exact
// system-call sequences (the files opened in order, the size of every write,
// the directories created): those are the launcher's observable work.
#include "unpack/unpack.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "payload/reader.h"
#include "platform/posix/native_path.h"
#include "platform_override.h"
#include "support/attached_data_builder.h"
#include "unpack/directories.h"

namespace fenzar {

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// A name of exactly length units, in components of at most 255 units.
std::u16string long_name(size_t length) {
    std::u16string name;
    while (name.size() < length) {
        if (!name.empty()) name += u'\\';
        size_t part = std::min<size_t>(255, length - name.size());
        name += std::u16string(part, static_cast<char16_t>(u'a' + name.size() % 26));
    }
    return name;
}

struct ProcessExit {
    int status;
};

// What the platform layer saw, for checks on the number and size of writes.
struct Observed {
    platform::Table real;
    std::u16string open_path;
    std::map<std::u16string, std::vector<uint32_t>> writes;
    std::vector<std::u16string> opened;
    std::vector<std::u16string> directories_created;
    std::vector<std::u16string> error_lines;
    int fail_write_call = -1;
    int write_calls = 0;
    // Which thread created each file, and each open file's path, which the
    // closing threads look up.
    std::thread::id main_thread = std::this_thread::get_id();
    std::vector<bool> opened_on_main_thread;
    std::mutex handles_lock;
    std::map<void*, std::u16string> handle_paths;
    int close_calls = 0;
};
Observed* observed = nullptr;

class UnpackArchive : public testing::Test {
protected:
    void SetUp() override {
        char pattern_path[] = "/tmp/fenzar_unpack_XXXXXX";
        ASSERT_NE(mkdtemp(pattern_path), nullptr);
        scratch_ = pattern_path;
        target_ = scratch_ / "target";
        target_directory_ = posix_layer::path_from_native(target_.string());

        observed = &seen_;
        seen_.real = platform::table;
        auto& table = platform.table();
        table.exit_process = [](int status) { throw ProcessExit{status}; };
        table.print_error_with_wide = [](const char* format, const char16_t* argument) {
            std::string text(format);
            observed->error_lines.push_back(std::u16string(text.begin(), text.end()) + u"|" + argument);
        };
        table.create_file_for_writing = [](const char16_t* path) {
            observed->open_path = path;
            observed->opened.push_back(path);
            observed->opened_on_main_thread.push_back(std::this_thread::get_id() == observed->main_thread);
            observed->writes[path].clear();
            platform::FileHandle file = observed->real.create_file_for_writing(path);
            std::lock_guard<std::mutex> guard(observed->handles_lock);
            observed->handle_paths[file.value] = path;
            return file;
        };
        table.write_file = [](platform::FileHandle file, const void* data, uint32_t length) {
            if (observed->write_calls++ == observed->fail_write_call) {
                platform::set_last_error(platform::error_disk_full);
                return false;
            }
            observed->writes[observed->open_path].push_back(length);
            return observed->real.write_file(file, data, length);
        };
        table.create_directory = [](const char16_t* path) {
            bool created = observed->real.create_directory(path);
            if (created) observed->directories_created.push_back(path);
            return created;
        };
    }

    void TearDown() override {
        observed = nullptr;
        fs::remove_all(scratch_);
    }

    void open(const std::vector<Record>& records) {
        attached_ = make_attached_data(make_archive(records));
        open_payload(reader_, {attached_.data(), attached_.size()});
    }

    // Runs the loop; when it ends the process, the reader is released here
    // instead, as the process end would.
    void unpack() {
        try {
            unpack_archive(*unpacking_, reader_, interruption_, target_directory_.c_str());
        } catch (...) {
            close_payload(reader_);
            throw;
        }
    }

    // The unpacking ends the process with the failure status.
    void unpack_expecting_failure() {
        try {
            unpack();
            ADD_FAILURE() << "the loop went on";
        } catch (const ProcessExit& exit) {
            EXPECT_EQ(exit.status, 2);
        }
    }

    // Runs the loop and expects its end with status 2 and the write error of
    // a full disk.
    void unpack_until_the_write_error() {
        testing::internal::CaptureStderr();
        unpack_expecting_failure();
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Error, couldn't unpack file to target path. ([Error 112] There is not enough space on the disk.)\n");
    }

    std::u16string full_path(const std::u16string& name) const {
        return posix_layer::path_from_native(target_.string()) + u"\\" + name;
    }

    PlatformOverride platform;
    Observed seen_;
    fs::path scratch_;
    fs::path target_;
    std::u16string target_directory_;
    std::vector<unsigned char> attached_;
    // A new run's parts.
    std::unique_ptr<Unpacking> unpacking_ = std::make_unique<Unpacking>();
    PayloadReader reader_;
    Interruption interruption_;
};

TEST_F(UnpackArchive, WritesEveryRecordByteExactInArchiveOrder) {
    const std::u16string longest = long_name(entry_name_capacity);
    const std::vector<Record> records = {
        {u"app.dll", pattern(5000, 1)},
        {u"empty.txt", ""},
        {u"lib\\plugins\\deep\\plugin.bin", pattern(100000, 2)},
        {u"lib\\gr\u00fc\u00dfe.txt", "umlauts in the name"},
        {u"exact.bin", pattern(32768, 3)},
        {u"one_more.bin", pattern(32769, 4)},
        {u"again.txt", "a first content that is longer than the second"},
        {longest, pattern(300, 5)},
        {u"again.txt", "short"},
    };
    open(records);
    unpack();

    EXPECT_EQ(unpacking_->extraction_started.load(), 1);
    std::map<std::u16string, std::string> expected;
    for (const Record& record : records) expected[record.name] = record.data;
    for (const auto& [name, data] : expected) {
        EXPECT_EQ(read_file(target_ / posix_layer::path_to_native(name.c_str())), data)
            << posix_layer::path_to_native(name.c_str());
    }
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(target_)) files += entry.is_regular_file();
    EXPECT_EQ(files, expected.size());

    std::vector<std::u16string> order;
    for (const Record& record : records) order.push_back(full_path(record.name));
    EXPECT_EQ(seen_.opened, order);

    using Pieces = std::vector<uint32_t>;
    EXPECT_EQ(seen_.writes[full_path(u"empty.txt")], Pieces{});
    EXPECT_EQ(seen_.writes[full_path(u"exact.bin")], Pieces{32768});
    EXPECT_EQ(seen_.writes[full_path(u"one_more.bin")], (Pieces{32768, 1}));
    EXPECT_EQ(seen_.writes[full_path(u"lib\\plugins\\deep\\plugin.bin")], (Pieces{32768, 32768, 32768, 1696}));

    // Each directory is made once, top-down; later files in it cost no call.
    const std::u16string a = longest.substr(0, 255), w = longest.substr(0, 511), s = longest.substr(0, 767);
    EXPECT_EQ(seen_.directories_created,
              (std::vector<std::u16string>{posix_layer::path_from_native(target_.string()), full_path(u"lib"),
                                           full_path(u"lib\\plugins"), full_path(u"lib\\plugins\\deep"), full_path(a),
                                           full_path(w), full_path(s)}));
}

TEST_F(UnpackArchive, ArchiveWithoutRecordsWritesNothing) {
    open({});
    unpack();
    EXPECT_EQ(unpacking_->extraction_started.load(), 1);
    EXPECT_FALSE(fs::exists(target_));

    // A re-entered instance finds no first record: an empty path.
    unpacking_ = std::make_unique<Unpacking>();
    open({});
    EXPECT_EQ(std::u16string(find_first_entry_path(*unpacking_, reader_, target_directory_.c_str())), u"");
    close_payload(reader_);
}

TEST_F(UnpackArchive, ReenteredModeStopsAtTheFirstNameAndWritesNothing) {
    open({{u"app.dll", pattern(70000, 6)}, {u"sub\\data.txt", "data"}});
    const char16_t* first_entry_path = find_first_entry_path(*unpacking_, reader_, target_directory_.c_str());

    EXPECT_EQ(unpacking_->extraction_started.load(), 1);
    EXPECT_EQ(std::u16string(first_entry_path), full_path(u"app.dll"));
    EXPECT_FALSE(fs::exists(target_));
    EXPECT_TRUE(seen_.directories_created.empty());
    EXPECT_TRUE(seen_.opened.empty());

    unsigned char size[8];
    read_payload(reader_, size, sizeof size);
    EXPECT_EQ(size[0] | size[1] << 8 | size[2] << 16, 70000) << "the reader waits at the size field";
    close_payload(reader_);
}

TEST_F(UnpackArchive, NameOfMoreThan1023UnitsStopsBeforeAnythingIsWritten) {
    open({{long_name(entry_name_capacity + 1), "x"}});
    EXPECT_IMMEDIATE_STOP(unpack());
    EXPECT_TRUE(seen_.opened.empty());
    EXPECT_FALSE(fs::exists(target_));
}

// A target directory of 4,000 characters leaves room for a name of 95.
TEST_F(UnpackArchive, FullPathBeyond4096CharactersStops) {
    std::u16string directory = u"C:\\" + long_name(3997);
    ASSERT_EQ(directory.size(), 4000u);
    target_directory_ = directory;

    open({{std::u16string(95, u'n'), "x"}});
    EXPECT_EQ(wide_length(find_first_entry_path(*unpacking_, reader_, target_directory_.c_str())), 4096u);
    close_payload(reader_);

    unpacking_ = std::make_unique<Unpacking>();
    open({{std::u16string(96, u'n'), "x"}});
    EXPECT_IMMEDIATE_STOP(unpack());
    EXPECT_TRUE(seen_.opened.empty());
}

TEST_F(UnpackArchive, FileThatCannotBeOpenedEndsWithTheOpenMessage) {
    open({{u"a", "first"}, {u"a\\b", "below a file"}});
    unpack_expecting_failure();
    EXPECT_EQ(seen_.error_lines,
              std::vector<std::u16string>{u"Error, failed to open '%ls' for writing.\n|" + full_path(u"a\\b")});
    EXPECT_EQ(read_file(target_ / "a"), "first") << "what was written stays";
}

// Names that would leave the target directory or open a device: the record
// ends the unpacking as a file that cannot be opened does, before anything of
// it is written or any directory is made for it.
const char16_t* const names_refused[] = {
    u"..\\x", u"a\\..\\..\\x", u"..",  u"sub\\.\\x", u". .\\x",  u"a\\\\b",        u"a\\",      u"\\abs",
    u"C:x",   u"a:stream",     u"a/b", u"NUL",       u"CONOUT$", u"sub\\com1.txt", u"aux .log",
};

std::vector<fs::path> everything_below(const fs::path& directory) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) found.push_back(entry.path());
    return found;
}

TEST_F(UnpackArchive, NameLeavingTheDirectoryOrNamingADeviceIsRefusedBeforeItIsWritten) {
    for (const char16_t* name : names_refused) {
        SCOPED_TRACE(posix_layer::path_to_native(name));
        open({{u"app.dll", "library"}, {name, "never written"}, {u"after.txt", "never reached"}});
        seen_.opened.clear();
        seen_.error_lines.clear();
        int status = -1;
        try {
            unpack();
        } catch (const ProcessExit& exit) {
            status = exit.status;
        }
        EXPECT_EQ(status, 2);
        EXPECT_EQ(seen_.error_lines,
                  std::vector<std::u16string>{u"Error, failed to open '%ls' for writing.\n|" + full_path(name)});
        EXPECT_EQ(seen_.opened, std::vector<std::u16string>{full_path(u"app.dll")});
        EXPECT_EQ(everything_below(scratch_), (std::vector<fs::path>{target_, target_ / "app.dll"}));

        fs::remove_all(target_);
        unpacking_ = std::make_unique<Unpacking>();
        interruption_.leave_unpacking();
    }
}

// A child must not load a library from outside its directory either.
TEST_F(UnpackArchive, ReenteredModeRefusesSuchAFirstName) {
    for (const char16_t* name : names_refused) {
        SCOPED_TRACE(posix_layer::path_to_native(name));
        open({{name, "library"}});
        seen_.error_lines.clear();
        int status = -1;
        try {
            find_first_entry_path(*unpacking_, reader_, target_directory_.c_str());
        } catch (const ProcessExit& exit) {
            status = exit.status;
        }
        close_payload(reader_);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(seen_.error_lines,
                  std::vector<std::u16string>{u"Error, failed to open '%ls' for writing.\n|" + full_path(name)});
        EXPECT_TRUE(everything_below(scratch_).empty());
        unpacking_ = std::make_unique<Unpacking>();
    }
}

TEST_F(UnpackArchive, FailedWriteEndsWithTheSystemErrorAndKeepsWhatWasWritten) {
    seen_.fail_write_call = 2;
    open({{u"app.dll", "library"}, {u"big.bin", pattern(40000, 7)}, {u"never.txt", "never"}});
    unpack_until_the_write_error();
    EXPECT_EQ(read_file(target_ / "app.dll"), "library");
    EXPECT_EQ(read_file(target_ / "big.bin"), pattern(40000, 7).substr(0, 32768));
    EXPECT_FALSE(fs::exists(target_ / "never.txt"));
}

// CloseHandle may report a write that failed late (a network share, a disk
// that filled after the write was accepted): the file is not what the record
// holds, so the unpacking ends as after a failed write.
TEST_F(UnpackArchive, FailedCloseOfAWrittenFileIsTheWriteError) {
    platform.table().close_file = [](platform::FileHandle file) {
        bool closed = observed->real.close_file(file);
        if (observed->opened.size() != 2) return closed;
        platform::set_last_error(platform::error_disk_full);
        return false;
    };
    open({{u"app.dll", "library"}, {u"big.bin", pattern(40000, 7)}, {u"never.txt", "never"}});
    unpack_until_the_write_error();
    EXPECT_EQ(seen_.opened, (std::vector<std::u16string>{full_path(u"app.dll"), full_path(u"big.bin")}));
    EXPECT_FALSE(fs::exists(target_ / "never.txt"));
}

// The message names the record even when its name holds a surrogate without
// its partner, which no text can hold: that unit is shown as U+FFFD.
TEST_F(UnpackArchive, OpenMessageKeepsANameWithALoneSurrogate) {
    std::u16string name = u"f\\lone" + std::u16string(1, 0xD800) + u"after.txt";
    open({{u"f", "a file where a directory should be"}, {name, "never written"}});
    unpack_expecting_failure();
    EXPECT_EQ(seen_.error_lines, std::vector<std::u16string>{u"Error, failed to open '%ls' for writing.\n|" +
                                                             full_path(u"f\\lone\uFFFDafter.txt")});
}

// As a parent does: the target directory is made private first (on POSIX,
// mode 0700) and the records go below it; one that exists already is
// refused and nothing is written into it.
TEST_F(UnpackArchive, ParentMakesThePrivateTargetDirectoryThenUnpacksIntoIt) {
    create_target_directory(unpacking_->known_directories, target_directory_.c_str());
    struct stat status;
    ASSERT_EQ(stat(target_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    open({{u"app.dll", "library"}, {u"sub\\data.txt", "data"}});
    unpack();
    EXPECT_EQ(read_file(target_ / "sub" / "data.txt"), "data");
    EXPECT_EQ(seen_.directories_created, std::vector<std::u16string>{full_path(u"sub")});

    const fs::path premade = scratch_ / "premade";
    fs::create_directory(premade);
    const std::u16string premade_directory = posix_layer::path_from_native(premade.string());
    EXPECT_THROW(create_target_directory(unpacking_->known_directories, premade_directory.c_str()), ProcessExit);
    EXPECT_EQ(seen_.error_lines,
              std::vector<std::u16string>{u"Error, target directory '%ls' already exists.\n|" + premade_directory});
    EXPECT_TRUE(fs::is_empty(premade));
}

// Closes as a scanner makes them: each path listed waits, then fails with
// its code; every close is counted.
struct SlowFailingClose {
    std::u16string path;
    uint32_t wait_ms;
    uint32_t error;
};
std::vector<SlowFailingClose> slow_failing_closes;

bool observed_close(platform::FileHandle file) {
    std::u16string path;
    {
        std::lock_guard<std::mutex> guard(observed->handles_lock);
        path = observed->handle_paths[file.value];
        observed->handle_paths.erase(file.value);
        ++observed->close_calls;
    }
    bool closed = observed->real.close_file(file);
    for (const SlowFailingClose& close : slow_failing_closes) {
        if (close.path != path) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(close.wait_ms));
        if (close.error == 0) return closed;
        platform::set_last_error(close.error);
        return false;
    }
    return closed;
}

// More than the main thread writes itself, over several batches: files
// larger than a batch, many small ones, an empty one, directories.
std::vector<Record> records_for_the_writer() {
    std::vector<Record> records = {{u"app.dll", pattern(1500000, 1)}, {u"big\\data.bin", pattern(5000001, 2)}};
    for (int i = 0; i < 40; ++i) {
        std::string digits = std::to_string(i);
        records.push_back(
            {u"small\\s" + std::u16string(digits.begin(), digits.end()) + u".txt", pattern(1000 + 97 * i, 3 + i)});
    }
    records.push_back({u"empty.txt", ""});
    records.push_back({u"last.bin", pattern(2 * 32768 + 5, 50)});
    return records;
}

struct CloseCase {
    CloseMode mode;
    bool pooled;
};

TEST_F(UnpackArchive, WriterThreadWritesEveryRecordByteExactInOrderWithEveryCloseMode) {
    platform.table().close_file = observed_close;
    for (const CloseCase& close_case : {CloseCase{CloseMode::adaptive, false}, CloseCase{CloseMode::inline_only, false},
                                        CloseCase{CloseMode::pooled, true}}) {
        SCOPED_TRACE(static_cast<int>(close_case.mode));
        const std::vector<Record> records = records_for_the_writer();
        open(records);
        seen_.opened.clear();
        seen_.opened_on_main_thread.clear();
        seen_.writes.clear();
        seen_.close_calls = 0;
        unpacking_->close_mode = close_case.mode;
        unpack();

        std::vector<std::u16string> order;
        for (const Record& record : records) {
            order.push_back(full_path(record.name));
            EXPECT_EQ(read_file(target_ / posix_layer::path_to_native(record.name.c_str())), record.data);
        }
        EXPECT_EQ(seen_.opened, order);
        EXPECT_EQ(seen_.close_calls, static_cast<int>(records.size())) << "every file is closed once before the end";
        EXPECT_EQ(unpacking_->writer.closes_pooled(), close_case.pooled);
        // The first megabyte is written here; the rest on the writer thread.
        EXPECT_TRUE(seen_.opened_on_main_thread.front());
        EXPECT_FALSE(seen_.opened_on_main_thread.back());
        // Records are cut into batches only between whole pieces.
        const std::vector<uint32_t>& pieces = seen_.writes[full_path(u"big\\data.bin")];
        ASSERT_EQ(pieces.size(), 5000001u / 32768 + 1);
        for (size_t i = 0; i + 1 < pieces.size(); ++i) ASSERT_EQ(pieces[i], 32768u) << i;
        EXPECT_EQ(pieces.back(), 5000001u % 32768);

        fs::remove_all(target_);
        unpacking_ = std::make_unique<Unpacking>();
    }
}

// The main thread decodes ahead of the writer: a failure is still reported
// for the record it belongs to, and nothing after that record is created,
// also when the main thread has meanwhile met a later record it refuses.
TEST_F(UnpackArchive, WriterFailureIsReportedForItsOwnRecord) {
    std::vector<Record> records = records_for_the_writer();
    records.insert(records.begin() + 5, {u"f", "a file where a directory should be"});
    records.insert(records.begin() + 6, {u"f\\below.txt", "never written"});
    records.push_back({u"..\\refused", "never written"});
    open(records);
    unpack_expecting_failure();
    EXPECT_EQ(seen_.error_lines,
              std::vector<std::u16string>{u"Error, failed to open '%ls' for writing.\n|" + full_path(u"f\\below.txt")});
    EXPECT_EQ(seen_.opened.back(), full_path(u"f\\below.txt"));
    EXPECT_FALSE(seen_.opened_on_main_thread.back());
}

TEST_F(UnpackArchive, FailedWriteOnTheWriterThreadEndsWithTheSystemError) {
    // Past the first megabyte: the writer thread's, inside big\data.bin.
    seen_.fail_write_call = 100;
    open(records_for_the_writer());
    unpack_until_the_write_error();
    EXPECT_EQ(seen_.opened.back(), full_path(u"big\\data.bin"));
    EXPECT_FALSE(seen_.opened_on_main_thread.back());
    EXPECT_FALSE(fs::exists(target_ / "small"));
}

// On the pool the closes overlap: a later file's close may fail first, but
// the failure reported is the earliest record's.
TEST_F(UnpackArchive, FailedCloseOnThePoolIsTheWriteErrorOfTheEarliestRecord) {
    platform.table().close_file = observed_close;
    slow_failing_closes = {{full_path(u"small\\s3.txt"), 100, platform::error_disk_full},
                           {full_path(u"small\\s5.txt"), 0, platform::error_access_denied}};
    unpacking_->close_mode = CloseMode::pooled;
    open(records_for_the_writer());
    unpack_until_the_write_error();
    slow_failing_closes.clear();
    EXPECT_TRUE(unpacking_->writer.closes_pooled());
    EXPECT_EQ(seen_.close_calls, static_cast<int>(seen_.opened.size())) << "every opened file was closed";
}

// Closes held until every file of the run is open (or for ten seconds), as
// a scanner that is slow to read new files holds them; how many files were
// open when the first was let go.
struct HeldCloses {
    std::mutex lock;
    size_t files = 0;
    size_t open_when_let_go = 0;
    std::chrono::steady_clock::time_point deadline{};
} held_closes;

bool held_close(platform::FileHandle file) {
    {
        std::unique_lock<std::mutex> guard(held_closes.lock);
        if (held_closes.deadline == std::chrono::steady_clock::time_point{}) {
            held_closes.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        }
        for (;;) {
            size_t open_files = 0;
            {
                std::lock_guard<std::mutex> handles(observed->handles_lock);
                open_files = observed->handle_paths.size() + static_cast<size_t>(observed->close_calls);
            }
            if (open_files == held_closes.files || std::chrono::steady_clock::now() > held_closes.deadline) {
                if (held_closes.open_when_let_go == 0) held_closes.open_when_let_go = open_files;
                break;
            }
            guard.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            guard.lock();
        }
    }
    return observed_close(file);
}

// A long run of small files whose closes are all still under way on the
// pool: the writer goes on opening and writing the next files instead of
// waiting for the closes to make room.
TEST_F(UnpackArchive, ClosesUnderWayOnThePoolDoNotHoldUpTheWriter) {
    platform.table().close_file = held_close;
    std::vector<Record> records = records_for_the_writer();
    for (int i = 0; i < 300; ++i) {
        std::string digits = std::to_string(i);
        records.push_back({u"run\r" + std::u16string(digits.begin(), digits.end()) + u".txt", pattern(200 + i, i)});
    }
    held_closes.files = records.size();
    unpacking_->close_mode = CloseMode::pooled;
    open(records);
    unpack();
    EXPECT_EQ(held_closes.open_when_let_go, records.size());
    EXPECT_EQ(seen_.close_calls, static_cast<int>(records.size()));
    for (const Record& record : records) {
        EXPECT_EQ(read_file(target_ / posix_layer::path_to_native(record.name.c_str())), record.data);
    }
}

// Where closes are slow (a scanner reading every new file at its close),
// the writer moves them to the pool after a few files, and only then.
TEST_F(UnpackArchive, SlowClosesMoveToThePool) {
    platform.table().close_file = observed_close;
    const std::vector<Record> records = records_for_the_writer();
    for (const Record& record : records) slow_failing_closes.push_back({full_path(record.name), 20, 0});
    open(records);
    unpack();
    slow_failing_closes.clear();
    EXPECT_TRUE(unpacking_->writer.closes_pooled());
    EXPECT_EQ(seen_.close_calls, static_cast<int>(records.size()));
    for (const Record& record : records) {
        EXPECT_EQ(read_file(target_ / posix_layer::path_to_native(record.name.c_str())), record.data);
    }
}

// At a limit the process stops at once, with every record before it on
// disk, as the writer had them written.
TEST_F(UnpackArchive, ImmediateStopAtALimitLeavesTheRecordsBeforeItWritten) {
    std::vector<Record> records = records_for_the_writer();
    records.push_back({long_name(entry_name_capacity + 1), "x"});
    open(records);
    EXPECT_IMMEDIATE_STOP(unpack());
    records.pop_back();
    for (const Record& record : records) {
        EXPECT_EQ(read_file(target_ / posix_layer::path_to_native(record.name.c_str())), record.data);
    }
}

// Where no thread can start, the main thread writes everything itself.
TEST_F(UnpackArchive, WithoutThreadsTheMainThreadWritesEverything) {
    platform.table().start_thread = [](void (*)(void*), void*) { return platform::ThreadHandle{nullptr}; };
    platform.table().close_file = observed_close;
    const std::vector<Record> records = records_for_the_writer();
    for (const Record& record : records) slow_failing_closes.push_back({full_path(record.name), 5, 0});
    open(records);
    unpack();
    slow_failing_closes.clear();
    EXPECT_EQ(seen_.opened_on_main_thread, std::vector<bool>(records.size(), true));
    EXPECT_FALSE(unpacking_->writer.closes_pooled());
    for (const Record& record : records) {
        EXPECT_EQ(read_file(target_ / posix_layer::path_to_native(record.name.c_str())), record.data);
    }
}

}  // namespace

}  // namespace fenzar
