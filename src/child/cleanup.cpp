#include "child/cleanup.h"

#include <mutex>

#include "base/stop.h"
#include "target_dir/target_directory.h"
#include "unpack/unpack.h"

namespace {

constexpr uint32_t grace_milliseconds = 5000;
// STATUS_CONTROL_C_EXIT: what a console program interrupted by the event
// ends with on Windows.
constexpr uint32_t interrupted_status = 0xC000013Au;
constexpr uint32_t unknown_exit_status = 1;
constexpr int removal_retries = 20;
constexpr int wait_retries = 20;
constexpr uint32_t retry_pause_milliseconds = 100;
// The child's start: 5 attempts, 100, 200, 400 and 800 ms apart.
constexpr int start_attempts = 5;
constexpr uint32_t first_start_pause_milliseconds = 100;

// Under stop_lock.
platform::ProcessHandle child_process{nullptr};
// Set once the child is known to have ended, with the status it gives.
bool child_ended = false;
uint32_t child_status = 0;
// A started child whose end could not be seen: its directory stays.
bool child_may_run = false;

std::mutex removal_lock;

// The removal works on extended-length paths (\\?\), which the system takes
// as they are, without the 260-unit limit of plain paths, up to 32,767 units.
constexpr size_t removal_path_capacity = 32767;
// Every level below the root adds a backslash and at least one unit.
constexpr size_t removal_depth_limit = removal_path_capacity / 2;

struct Level {
    platform::DirectoryListing listing;
    size_t path_length;
};

// Used only under removal_lock. Static, so that the handler's thread, which
// has a small stack, needs none of it.
char16_t removal_path[removal_path_capacity + 1];
Level levels[removal_depth_limit];
platform::DirectoryEntry entry;

bool has(uint32_t attributes, uint32_t flag) { return (attributes & flag) != 0; }

bool is_drive_letter(char16_t unit) { return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z'); }

// At least minimum components separated by single backslashes, none of them
// empty, "." or "..", and no character that would give the extended-length
// form another meaning than the plain one (a forward slash, which only the
// plain form treats as a separator; a stream colon; wildcards).
bool has_plain_components(const char16_t* path, size_t minimum) {
    size_t count = 0;
    const char16_t* start = path;
    for (const char16_t* p = path;; ++p) {
        if (*p == u'/' || *p == u':' || *p == u'?' || *p == u'*') return false;
        if (*p != u'\\' && *p != 0) continue;
        size_t length = static_cast<size_t>(p - start);
        if (length == 0) return false;
        if (start[0] == u'.' && (length == 1 || (length == 2 && start[1] == u'.'))) return false;
        ++count;
        if (*p == 0) return count >= minimum;
        start = p + 1;
    }
}

bool starts_with(const char16_t* text, const char16_t* prefix) {
    for (size_t i = 0; prefix[i] != 0; ++i) {
        if (text[i] != prefix[i]) return false;
    }
    return true;
}

bool is_drive_path(const char16_t* path) {
    return is_drive_letter(path[0]) && path[1] == u':' && path[2] == u'\\';
}

// Writes the extended-length form of the target directory into removal_path
// and returns its length. Returns 0, and nothing is removed, unless the path
// is a full path naming a directory below a root: a drive path (C:\...), a
// share path (\\server\share\...), either already in its extended-length
// form (\\?\C:\..., \\?\UNC\server\share\..., as a TEMP of that form
// gives it) or, from the POSIX layer, a rooted path (\...). Empty and
// relative paths, roots of drives and shares, device paths and other
// extended-length forms (volume names) are refused.
size_t make_removal_root(const char16_t* directory) {
    const char16_t* prefix = u"";
    const char16_t* kept = directory;
    if (starts_with(directory, u"\\\\?\\")) {
        const char16_t* rest = directory + 4;
        if (is_drive_path(rest)) {
            if (!has_plain_components(rest + 3, 1)) return 0;
        } else if (starts_with(rest, u"UNC\\")) {
            if (!has_plain_components(rest + 4, 3)) return 0;
        } else {
            return 0;
        }
    } else if (is_drive_path(directory)) {
        if (!has_plain_components(directory + 3, 1)) return 0;
        prefix = u"\\\\?\\";
    } else if (directory[0] == u'\\' && directory[1] == u'\\') {
        // Server, share and at least one directory below the share.
        if (!has_plain_components(directory + 2, 3)) return 0;
        prefix = u"\\\\?\\UNC\\";
        kept = directory + 2;
    } else if (directory[0] == u'\\') {
        if (!has_plain_components(directory + 1, 1)) return 0;
    } else {
        return 0;
    }
    size_t length = 0;
    for (const char16_t* parts[] = {prefix, kept}; const char16_t* part : parts) {
        for (const char16_t* p = part; *p != 0; ++p) {
            if (length == removal_path_capacity) return 0;
            removal_path[length++] = *p;
        }
    }
    removal_path[length] = 0;
    return length;
}

// Appends a backslash and the current entry's name to the path of length
// `length`; the new length, or 0 when the result would not fit.
size_t append_entry_name(size_t length) {
    size_t name_length = 0;
    while (entry.name[name_length] != 0) ++name_length;
    if (name_length == 0 || removal_path_capacity - length < name_length + 1) return 0;
    removal_path[length] = u'\\';
    for (size_t i = 0; i <= name_length; ++i) removal_path[length + 1 + i] = entry.name[i];
    return length + 1 + name_length;
}

void clear_read_only(uint32_t attributes) {
    if (has(attributes, platform::file_attribute_readonly)) {
        platform::set_file_attributes(removal_path, platform::file_attribute_normal);
    }
}

// Starts listing the directory at removal_path as the innermost level; its
// first entry is in `entry` when *has_entry. False when it cannot be listed.
bool enter_directory(size_t* depth, size_t path_length, bool* has_entry) {
    if (*depth == removal_depth_limit) return false;
    platform::DirectoryListing listing = platform::open_directory_listing(removal_path, &entry, has_entry);
    if (!listing.valid()) return false;
    levels[(*depth)++] = {listing, path_length};
    return true;
}

// Removes the entry at removal_path that is not descended into: a file, or a
// link of either kind, of which only the link goes. The read-only attribute
// of a link is left alone, since setting attributes may act on its target.
void remove_entry(uint32_t attributes) {
    bool is_link = has(attributes, platform::file_attribute_reparse_point);
    if (!is_link) clear_read_only(attributes);
    if (has(attributes, platform::file_attribute_directory)) {
        platform::remove_directory(removal_path);
    } else {
        platform::delete_file(removal_path);
    }
}

// One attempt: removes all it can below the root and then the root,
// depth first with one open listing per level, going on past every entry
// that cannot be removed.
void remove_tree_once(size_t root_length) {
    removal_path[root_length] = 0;
    uint32_t attributes = platform::get_file_attributes(removal_path);
    if (attributes == platform::invalid_file_attributes || !has(attributes, platform::file_attribute_directory)) {
        return;
    }
    if (has(attributes, platform::file_attribute_reparse_point)) {
        platform::remove_directory(removal_path);
        return;
    }
    clear_read_only(attributes);

    size_t depth = 0;
    bool has_entry = false;
    if (!enter_directory(&depth, root_length, &has_entry)) {
        platform::remove_directory(removal_path);
        return;
    }
    while (depth > 0) {
        Level& level = levels[depth - 1];
        if (!has_entry) {
            platform::close_directory_listing(level.listing);
            removal_path[level.path_length] = 0;
            platform::remove_directory(removal_path);
            if (--depth == 0) break;
            Level& parent = levels[depth - 1];
            removal_path[parent.path_length] = 0;
            has_entry = platform::next_directory_entry(parent.listing, &entry);
            continue;
        }
        uint32_t entry_attributes = entry.attributes;
        size_t path_length = append_entry_name(level.path_length);
        if (path_length != 0) {
            bool is_link = has(entry_attributes, platform::file_attribute_reparse_point);
            if (has(entry_attributes, platform::file_attribute_directory) && !is_link) {
                clear_read_only(entry_attributes);
                if (enter_directory(&depth, path_length, &has_entry)) continue;
                platform::remove_directory(removal_path);
            } else {
                remove_entry(entry_attributes);
            }
        }
        removal_path[level.path_length] = 0;
        has_entry = platform::next_directory_entry(level.listing, &entry);
    }
}

// A start that failed for want of memory or system resources, or because
// another program (a scanner, say) held the executable for a moment, may
// succeed a little later; a failed start creates nothing, so trying again
// is safe. Errors that cannot change by waiting (not found, bad format,
// access denied, ...) end the run at once.
bool is_transient_start_error(uint32_t code) {
    switch (code) {
        case platform::error_not_enough_memory:
        case platform::error_outofmemory:
        case platform::error_sharing_violation:
        case platform::error_lock_violation:
        case platform::error_internal_error:
            return true;
        default:
            // ERROR_NO_SYSTEM_RESOURCES to ERROR_COMMITMENT_LIMIT: system
            // resources, paged and non-paged pool, working set, page file
            // and commit quotas.
            return code >= platform::error_no_system_resources && code <= platform::error_commitment_limit;
    }
}

bool is_stop_event(uint32_t control_type) {
    switch (control_type) {
        case 0:  // interrupt
        case 1:  // break
        case 2:  // console closed
        case 5:  // logoff
        case 6:  // shutdown
            return true;
        default:
            return false;
    }
}

// Waits without a time limit; true once a wait has seen the child's end. A
// failed wait says nothing about the child, so it is tried again, 100 ms
// apart, and false only when every try has failed.
bool wait_for_end(platform::ProcessHandle process) {
    for (int retry = 0;; ++retry) {
        if (platform::wait_for_process(process, platform::wait_infinite) == platform::wait_object_0) return true;
        if (retry == wait_retries) return false;
        platform::sleep_milliseconds(retry_pause_milliseconds);
    }
}

// Terminates the child and waits for its end; false when it cannot be seen.
bool terminate_and_wait(platform::ProcessHandle process, uint32_t exit_code) {
    platform::terminate_process(process, exit_code);
    return wait_for_end(process);
}

uint32_t exit_code_of(platform::ProcessHandle process) {
    uint32_t code = 0;
    if (!platform::get_process_exit_code(process, &code)) return unknown_exit_status;
    return code;
}

}  // namespace

bool start_child_process(const char16_t* application, char16_t* command_line, platform::JobHandle job,
                         uint32_t* error) {
    uint32_t pause = first_start_pause_milliseconds;
    for (int attempt = 1;; ++attempt) {
        {
            std::lock_guard<std::mutex> guard(stop_lock);
            if (stop_has_begun()) break;
            platform::ProcessHandle process = platform::start_process(application, command_line, job);
            if (process.valid()) {
                child_process = process;
                return true;
            }
            *error = platform::last_error();
        }
        if (attempt == start_attempts || !is_transient_start_error(*error)) return false;
        // Outside the lock, so that an event meanwhile begins its stop,
        // which the next attempt sees.
        platform::sleep_milliseconds(pause);
        pause *= 2;
    }
    end_with_stop();
}

platform::ProcessHandle take_child_process() {
    std::lock_guard<std::mutex> guard(stop_lock);
    platform::ProcessHandle process = child_process;
    child_process = {nullptr};
    return process;
}

uint32_t wait_for_child_exit_status() {
    platform::ProcessHandle process{nullptr};
    {
        std::lock_guard<std::mutex> guard(stop_lock);
        process = child_process;
    }
    if (!process.valid()) return 0;
    // No lock needed here: nobody but this thread closes the handle.
    bool ended = wait_for_end(process) || terminate_and_wait(process, unknown_exit_status);
    uint32_t status = unknown_exit_status;
    {
        // Waits while stop_child is using the handle.
        std::lock_guard<std::mutex> guard(stop_lock);
        if (ended) status = exit_code_of(process);
        child_process = {nullptr};
        child_ended = true;
        child_status = status;
        child_may_run = !ended;
    }
    platform::close_process(process);
    return status;
}

int console_control_handler(uint32_t control_type) {
    if (!is_stop_event(control_type)) return 0;
    if (!begin_stop()) end_with_stop();
    wait_until_unpacking_left();
    uint32_t status = stop_child();
    remove_target_directory();
    finish_stop(status);
}

uint32_t stop_child() {
    std::lock_guard<std::mutex> guard(stop_lock);
    if (child_ended) return child_status;
    if (!child_process.valid()) return interrupted_status;
    if (platform::wait_for_process(child_process, grace_milliseconds) == platform::wait_object_0) {
        child_status = exit_code_of(child_process);
    } else {
        child_may_run = !terminate_and_wait(child_process, interrupted_status);
        child_status = interrupted_status;
    }
    child_ended = true;
    return child_status;
}

void remove_target_directory() {
    if (extraction_started.load() != 1) return;
    {
        std::lock_guard<std::mutex> guard(stop_lock);
        if (child_may_run) return;
    }
    remove_directory_tree(target_directory.data());
}

void clean_up_after_failure() {
    abandon_unpacking();
    remove_target_directory();
}

void remove_directory_tree(const char16_t* directory) {
    std::lock_guard<std::mutex> guard(removal_lock);
    size_t root_length = make_removal_root(directory);
    if (root_length == 0) return;
    remove_tree_once(root_length);
    for (int retry = 0; retry < removal_retries; ++retry) {
        removal_path[root_length] = 0;
        uint32_t attributes = platform::get_file_attributes(removal_path);
        if (attributes == platform::invalid_file_attributes || !has(attributes, platform::file_attribute_directory)) {
            return;
        }
        platform::sleep_milliseconds(retry_pause_milliseconds);
        remove_tree_once(root_length);
    }
}

void reset_cleanup_state() {
    std::lock_guard<std::mutex> guard(stop_lock);
    child_process = {nullptr};
    child_ended = false;
    child_status = 0;
    child_may_run = false;
}
