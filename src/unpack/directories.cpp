#include "unpack/directories.h"

#include <cstring>
#include <utility>

#include "base/report.h"
#include "base/wide.h"
#include "platform/platform.h"
#include "target_dir/expand_spec.h"

namespace fenzar {

namespace {

constexpr size_t directory_path_capacity = path_capacity;
constexpr const char16_t* home_spec = u"{HOME}";

// A copy, not valid when memory ran out: such a directory is simply not
// remembered, which costs a later creation one more call and changes
// nothing else.
platform::OwnedMemory<char16_t> copy_of(const char16_t* path) {
    size_t units = wide_length(path) + 1;
    auto copy = platform::allocate_elements<char16_t>(units);
    if (copy.valid()) std::memcpy(copy.get(), path, units * sizeof(char16_t));
    return copy;
}

void remember_directory(KnownDirectories& known_directories, const char16_t* path) {
    if (known_directories.count >= known_directories_limit) return;
    auto copy = copy_of(path);
    if (copy.valid()) known_directories.entries[known_directories.count++] = std::move(copy);
}

// The home directory stops a climb: above it lie folders such as C:\Users
// that the user may not create in, whose creation would fail with another
// error than "exists". Expanding it loads the profile library (USERENV)
// and reads the token, about 2 ms of a start under Wine, so it is done only
// when a creation has failed and a climb begins, which most runs never see.
void seed_with_home_directory(KnownDirectories& known_directories) {
    WideBuffer<directory_path_capacity> home;
    // {HOME} reads no argument.
    if (!expand_spec(home.data(), home_spec, directory_path_capacity, SavedArguments{})) {
        report_spec_failure(home_spec);
    }
    known_directories.home = copy_of(home.data());
}

bool is_known(const KnownDirectories& known_directories, const char16_t* path) {
    if (known_directories.home.valid() && wide_equal(known_directories.home.get(), path)) return true;
    for (int32_t i = 0; i < known_directories.count; ++i) {
        if (wide_equal(known_directories.entries[i].get(), path)) return true;
    }
    return false;
}

bool is_drive_root(const char16_t* path) { return path[0] != 0 && path[1] == u':' && path[2] == 0; }

// Ends path at its last backslash, never at the first unit. False when there
// is no such backslash.
bool cut_at_containing_directory(char16_t* path) {
    for (size_t i = wide_length(path); i > 1; --i) {
        if (path[i - 1] == u'\\') {
            path[i - 1] = 0;
            return true;
        }
    }
    return false;
}

// Undoes the most recent cut: the terminator it left becomes a backslash again.
void restore_one_level(char16_t* path) { path[wide_length(path)] = u'\\'; }

}  // namespace

bool ensure_directory(KnownDirectories& known_directories, const char16_t* path) {
    if (is_known(known_directories, path)) return true;
    if (is_drive_root(path)) return true;
    if (platform::create_directory(path) || platform::last_error() == platform::error_already_exists) {
        remember_directory(known_directories, path);
        return true;
    }
    if (known_directories.home.valid()) return false;
    uint32_t error = platform::last_error();
    seed_with_home_directory(known_directories);
    if (is_known(known_directories, path)) return true;
    platform::set_last_error(error);
    return false;
}

// A directory of that name that exists already is refused, not taken over:
// another program of the user could have made it, with access of its own, to
// put files in the launcher's place.
bool try_create_target_directory(KnownDirectories& known_directories, const char16_t* directory) {
    bool created = platform::create_private_directory(directory);
    if (!created && platform::last_error() == platform::error_path_not_found) {
        // A missing temporary directory is made as any other missing level.
        create_containing_directories(known_directories, directory);
        created = platform::create_private_directory(directory);
    }
    if (created) remember_directory(known_directories, directory);
    return created;
}

void create_target_directory(KnownDirectories& known_directories, const char16_t* directory) {
    if (try_create_target_directory(known_directories, directory)) return;
    uint32_t code = platform::last_error();
    if (code == platform::error_already_exists) report_target_exists(directory);
    fail_with_system_error(message::create_target_failed, code);
}

// Climbs while creation fails, then creates the missing levels on the way
// back down: the same calls, in the same order, as recursing on the parent
// and trying once more afterwards, but with one path copy instead of one per
// level.
void create_containing_directories(KnownDirectories& known_directories, const char16_t* path) {
    WideBuffer<directory_path_capacity> copy;
    copy_wide_bounded(copy, path);
    if (copy.empty()) return;
    if (!cut_at_containing_directory(copy.data())) return;

    size_t missing_levels = 0;
    while (!ensure_directory(known_directories, copy.data())) {
        ++missing_levels;
        if (!cut_at_containing_directory(copy.data())) {
            // Nothing above to create: this topmost level gets its second
            // try now, the levels below it on the way down.
            ensure_directory(known_directories, copy.data());
            --missing_levels;
            break;
        }
    }
    for (; missing_levels > 0; --missing_levels) {
        restore_one_level(copy.data());
        ensure_directory(known_directories, copy.data());
    }
}

}  // namespace fenzar
