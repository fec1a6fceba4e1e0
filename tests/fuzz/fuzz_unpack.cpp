// Attached data through the reader and the unpacker, as a parent launcher
// unpacks it, into a scratch directory on the POSIX layer.
//
// Input: one byte that chooses the target directory (even: a short one, so
// that names reach their limit of 1,023 units; odd: one of about 3,080 units,
// so that full paths reach theirs of 4,096), then the attached data.
//
// Properties, for every input: nothing is created outside the target
// directory (checked before every creation and by a walk of the scratch
// directory after the input); the outcome is success, with every file holding
// its last record's data, or an exit with status 2 and one of the launcher's
// messages, or an immediate stop. Disk use is bounded here: past a budget of
// bytes, files or directories the platform reports a full disk or a refusal,
// which the launcher must report as it would a real one.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "payload/attached_data.h"
#include "payload/reader.h"
#include "platform/platform.h"
#include "platform/posix/native_path.h"
#include "unpack/directories.h"
#include "unpack/unpack.h"

namespace fenzar {

namespace {

namespace fs = std::filesystem;

constexpr uint64_t byte_budget = 8u << 20;
constexpr int file_budget = 2000;
constexpr int directory_budget = 2000;
constexpr size_t long_directory_units = 3080;

struct Scratch {
    std::string root;  // made once, holds only the skeleton between inputs
    std::string short_target;
    std::string long_target;
    size_t skeleton_entries;  // what a walk of root finds between inputs
};
Scratch scratch;

struct InputState {
    std::string target;  // native, real path of the target directory
    uint64_t bytes_written;
    int files_opened;
    int directories_made;
    // The file a failure left open; the end of the process would close it.
    platform::FileHandle open_file;
};
InputState state;
platform::Table real;

bool is_target_or_below(const std::string& path) {
    return path == state.target || path.compare(0, state.target.size() + 1, state.target + "/") == 0;
}

// Whether what creating path would create lies in the target directory or is
// it; "unknown" when the containing directory cannot be resolved, so that the
// creation cannot succeed either.
enum class Place { inside, outside, unknown };

Place place_of(const char16_t* path) {
    std::string native = posix_layer::path_to_native(path);
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    size_t slash = native.rfind('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
    std::string last = slash == std::string::npos ? native : native.substr(slash + 1);
    char resolved[PATH_MAX];
    if (realpath(parent.c_str(), resolved) == nullptr) return Place::unknown;
    if (last == "." || last == "..") return Place::unknown;
    return is_target_or_below(std::string(resolved) + "/" + last) ? Place::inside : Place::outside;
}

template <typename Create>
auto checked_creation(const char* what, const char16_t* path, Create create) {
    Place place = place_of(path);
    if (place == Place::outside)
        property_failed(what, "outside the target directory: " + posix_layer::path_to_native(path));
    auto result = create();
    bool created;
    if constexpr (std::is_same_v<decltype(result), bool>) {
        created = result;
    } else {
        created = result.valid();
    }
    if (place == Place::unknown && created)
        property_failed(what, "created where it cannot be placed: " + posix_layer::path_to_native(path));
    return result;
}

platform::FileHandle create_file_for_writing(const char16_t* path) {
    if (++state.files_opened > file_budget) {
        platform::set_last_error(platform::error_access_denied);
        return {nullptr};
    }
    state.open_file = checked_creation("file", path, [&] { return real.create_file_for_writing(path); });
    return state.open_file;
}

bool close_tracked_file(platform::FileHandle file) {
    bool closed = real.close_file(file);
    state.open_file = {nullptr};
    return closed;
}

bool create_directory(const char16_t* path) {
    if (++state.directories_made > directory_budget) {
        platform::set_last_error(platform::error_access_denied);
        return false;
    }
    return checked_creation("directory", path, [&] { return real.create_directory(path); });
}

bool write_file(platform::FileHandle file, const void* data, uint32_t length) {
    state.bytes_written += length;
    if (state.bytes_written > byte_budget) {
        platform::set_last_error(platform::error_disk_full);
        return false;
    }
    return real.write_file(file, data, length);
}

size_t count_entries(const std::string& directory) {
    size_t count = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) ++count;
    if (error) property_failed("the scratch directory cannot be walked", error.message());
    return count;
}

std::string make_scratch_root() {
    char pattern[] = "/tmp/fzXXXXXX";
    if (mkdtemp(pattern) == nullptr) property_failed("no scratch directory");
    char resolved[PATH_MAX];
    if (realpath(pattern, resolved) == nullptr) property_failed("the scratch directory has no real path");
    return resolved;
}

void remove_scratch() {
    std::error_code ignored;
    fs::remove_all(scratch.root, ignored);
}

// The archive as the reader would see it if nothing failed: the frames after
// the magic decoded until the decoder stops, at most a little past the byte
// budget.
std::string decode_for_oracle(const uint8_t* data, size_t size) {
    std::string out;
    if (size < sizeof attached_data_format::magic) return out;
    ZSTD_DCtx* decoder = ZSTD_createDCtx();
    ZSTD_DCtx_setParameter(decoder, ZSTD_d_windowLogMax, attached_data_format::max_window_log);
    ZSTD_inBuffer input = {data + 3, size - 3, 0};
    std::vector<char> piece(1 << 17);
    while (out.size() <= byte_budget + (1 << 20)) {
        ZSTD_outBuffer output = {piece.data(), piece.size(), 0};
        size_t result = ZSTD_decompressStream(decoder, &output, &input);
        if (ZSTD_isError(result)) break;
        out.append(piece.data(), output.pos);
        if (output.pos == 0 && input.pos == input.size) break;
    }
    ZSTD_freeDCtx(decoder);
    return out;
}

// After a success: the files of the archive hold the data of the last record
// of their name. Skipped when the archive cannot be parsed to its end marker
// from what the oracle decoded.
void check_written_files(const uint8_t* data, size_t size) {
    const std::string archive = decode_for_oracle(data, size);
    std::map<std::string, std::string> expected;
    size_t at = 0;
    for (;;) {
        std::u16string name;
        for (;;) {
            if (at + 2 > archive.size()) return;
            char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(archive[at]) |
                                                  static_cast<unsigned char>(archive[at + 1]) << 8);
            at += 2;
            if (unit == 0) break;
            name += unit;
        }
        if (name.empty()) break;
        if (at + 8 > archive.size()) return;
        uint64_t length = attached_data_format::size_from(reinterpret_cast<const unsigned char*>(archive.data() + at));
        at += 8;
        if (length > archive.size() - at) return;
        expected[posix_layer::path_to_native(name.c_str())] = archive.substr(at, length);
        at += length;
    }
    for (const auto& [name, content] : expected) {
        std::ifstream file(state.target + "/" + name, std::ios::binary);
        std::ostringstream written;
        written << file.rdbuf();
        if (!file || written.str() != content) property_failed("a file does not hold its record's data", name);
    }
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}
bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void check_exit(int status, const CapturedOutput& output) {
    if (status != 2) property_failed("an exit with a status other than 2", std::to_string(status));
    const std::string plain[] = {"Error, couldn't find attached data header.\n", "Error, couldn't allocate memory.\n",
                                 "Error, couldn't decode attached data.\n"};
    for (const std::string& message : plain) {
        if (output.out == message && output.err.empty()) return;
    }
    if (!output.out.empty()) property_failed("an exit with an unknown message on stdout", output.out);
    const std::string& err = output.err;
    std::string shown_target = state.target;
    for (char& c : shown_target) c = c == '/' ? '\\' : c;
    bool open_failure =
        starts_with(err, "Error, failed to open '" + shown_target + "\\") && ends_with(err, "' for writing.\n");
    bool write_failure =
        starts_with(err, "Error, couldn't unpack file to target path. ([Error ") && ends_with(err, ")\n");
    if (!open_failure && !write_failure) property_failed("an exit with an unknown message on stderr", err);
}

}  // namespace

}  // namespace fenzar

using namespace fenzar;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    real = platform::table;
    make_process_ends_recoverable();
    platform::table.create_file_for_writing = create_file_for_writing;
    platform::table.create_directory = create_directory;
    platform::table.write_file = write_file;
    platform::table.close_file = close_tracked_file;

    scratch.root = make_scratch_root();
    std::atexit(remove_scratch);
    scratch.short_target = scratch.root + "/t";
    std::string long_parent = scratch.root;
    while (long_parent.size() + 4 < long_directory_units) {
        size_t part = std::min<size_t>(200, long_directory_units - 3 - long_parent.size());
        long_parent += '/';
        long_parent.append(part, 'l');
        if (mkdir(long_parent.c_str(), 0755) != 0) property_failed("the long scratch directory cannot be made");
    }
    scratch.long_target = long_parent + "/t";
    scratch.skeleton_entries = count_entries(scratch.root);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    state = {data[0] % 2 == 0 ? scratch.short_target : scratch.long_target, 0, 0, 0, {nullptr}};
    const std::u16string directory = posix_layer::path_from_native(state.target);
    const uint8_t* attached = data + 1;
    const size_t length = size - 1;

    CapturedOutput output;
    enum { success, exited, stopped } outcome = success;
    int status = 0;
    try {
        unpack_attached_data({attached, length}, directory.c_str());
    } catch (const ProcessExit& exit) {
        outcome = exited;
        status = exit.status;
    } catch (const ImmediateStop&) {
        outcome = stopped;
    }
    output.finish();
    if (state.open_file.valid()) close_tracked_file(state.open_file);

    switch (outcome) {
        case success:
            if (!output.out.empty() || !output.err.empty())
                property_failed("a success with output", output.out + output.err);
            check_written_files(attached, length);
            break;
        case exited:
            check_exit(status, output);
            break;
        case stopped:
            if (!output.out.empty() || !output.err.empty())
                property_failed("an immediate stop with output", output.out + output.err);
            break;
    }

    std::error_code error;
    fs::remove_all(state.target, error);
    if (error) property_failed("the target directory cannot be removed", error.message());
    size_t entries = count_entries(scratch.root);
    if (entries != scratch.skeleton_entries) {
        property_failed("something was created outside the target directory",
                        std::to_string(entries - scratch.skeleton_entries) + " entries in " + scratch.root);
    }
    return 0;
}
