#include "removal/tree_removal.h"

namespace {

constexpr int removal_retries = 20;
constexpr uint32_t retry_pause_milliseconds = 100;

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

// Writes the extended-length form of the directory into removal.path
// and returns its length. Returns 0, and nothing is removed, unless the path
// is a full path naming a directory below a root: a drive path (C:\...), a
// share path (\\server\share\...), either already in its extended-length
// form (\\?\C:\..., \\?\UNC\server\share\..., as a TEMP of that form
// gives it) or, from the POSIX layer, a rooted path (\...). Empty and
// relative paths, roots of drives and shares, device paths and other
// extended-length forms (volume names) are refused.
size_t make_removal_root(TreeRemoval& removal, const char16_t* directory) {
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
            removal.path[length++] = *p;
        }
    }
    removal.path[length] = 0;
    return length;
}

// Appends a backslash and the listed entry's name to the path of length
// `length`; the new length, or 0 when the result would not fit.
size_t append_listed_name(TreeRemoval& removal, size_t length) {
    size_t name_length = 0;
    while (removal.listed.name[name_length] != 0) ++name_length;
    if (name_length == 0 || removal_path_capacity - length < name_length + 1) return 0;
    removal.path[length] = u'\\';
    for (size_t i = 0; i <= name_length; ++i) removal.path[length + 1 + i] = removal.listed.name[i];
    return length + 1 + name_length;
}

void clear_read_only(TreeRemoval& removal, uint32_t attributes) {
    if (has(attributes, platform::file_attribute_readonly)) {
        platform::set_file_attributes(removal.path, platform::file_attribute_normal);
    }
}

// Starts listing the directory at removal.path as the innermost level; its
// first entry is in removal.listed when *has_entry. False when it cannot be listed.
bool enter_directory(TreeRemoval& removal, size_t* depth, size_t path_length, bool* has_entry) {
    if (*depth == removal_depth_limit) return false;
    platform::DirectoryListing listing = platform::open_directory_listing(removal.path, &removal.listed, has_entry);
    if (!listing.valid()) return false;
    removal.levels[(*depth)++] = {listing, path_length};
    return true;
}

// Removes the entry at removal.path that is not descended into: a file, or a
// link of either kind, of which only the link goes. The read-only attribute
// of a link is left alone, since setting attributes may act on its target.
void remove_listed(TreeRemoval& removal, uint32_t attributes) {
    bool is_link = has(attributes, platform::file_attribute_reparse_point);
    if (!is_link) clear_read_only(removal, attributes);
    if (has(attributes, platform::file_attribute_directory)) {
        platform::remove_directory(removal.path);
    } else {
        platform::delete_file(removal.path);
    }
}

// Closes the listings of every level still open.
void leave_levels(TreeRemoval& removal, size_t depth) {
    while (depth > 0) platform::close_directory_listing(removal.levels[--depth].listing);
}

// One attempt: removes all it can below the root and then the root,
// depth first with one open listing per level, going on past every entry
// that cannot be removed. Leaves off before any entry once abandon says so.
void remove_tree_once(TreeRemoval& removal, size_t root_length, AbandonCheck abandon = {}) {
    removal.path[root_length] = 0;
    uint32_t attributes = platform::get_file_attributes(removal.path);
    if (attributes == platform::invalid_file_attributes || !has(attributes, platform::file_attribute_directory)) {
        return;
    }
    if (has(attributes, platform::file_attribute_reparse_point)) {
        platform::remove_directory(removal.path);
        return;
    }
    clear_read_only(removal, attributes);

    size_t depth = 0;
    bool has_entry = false;
    if (!enter_directory(removal, &depth, root_length, &has_entry)) {
        platform::remove_directory(removal.path);
        return;
    }
    while (depth > 0) {
        if (abandon.requested != nullptr && abandon.requested(abandon.context)) {
            leave_levels(removal, depth);
            return;
        }
        TreeRemoval::Level& level = removal.levels[depth - 1];
        if (!has_entry) {
            platform::close_directory_listing(level.listing);
            removal.path[level.path_length] = 0;
            platform::remove_directory(removal.path);
            if (--depth == 0) break;
            TreeRemoval::Level& parent = removal.levels[depth - 1];
            removal.path[parent.path_length] = 0;
            has_entry = platform::next_directory_entry(parent.listing, &removal.listed);
            continue;
        }
        uint32_t entry_attributes = removal.listed.attributes;
        size_t path_length = append_listed_name(removal, level.path_length);
        if (path_length != 0) {
            bool is_link = has(entry_attributes, platform::file_attribute_reparse_point);
            if (has(entry_attributes, platform::file_attribute_directory) && !is_link) {
                clear_read_only(removal, entry_attributes);
                if (enter_directory(removal, &depth, path_length, &has_entry)) continue;
                platform::remove_directory(removal.path);
            } else {
                remove_listed(removal, entry_attributes);
            }
        }
        removal.path[level.path_length] = 0;
        has_entry = platform::next_directory_entry(level.listing, &removal.listed);
    }
}

}  // namespace

void remove_directory_tree(TreeRemoval& removal, const char16_t* directory) {
    std::lock_guard<std::mutex> guard(removal.lock);
    size_t root_length = make_removal_root(removal, directory);
    if (root_length == 0) return;
    remove_tree_once(removal, root_length);
    for (int retry = 0; retry < removal_retries; ++retry) {
        removal.path[root_length] = 0;
        uint32_t attributes = platform::get_file_attributes(removal.path);
        if (attributes == platform::invalid_file_attributes || !has(attributes, platform::file_attribute_directory)) {
            return;
        }
        platform::sleep_milliseconds(retry_pause_milliseconds);
        remove_tree_once(removal, root_length);
    }
}

void remove_directory_tree_once(TreeRemoval& removal, const char16_t* directory, AbandonCheck abandon) {
    std::lock_guard<std::mutex> guard(removal.lock);
    size_t root_length = make_removal_root(removal, directory);
    if (root_length == 0) return;
    remove_tree_once(removal, root_length, abandon);
}
