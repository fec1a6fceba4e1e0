#include "removal/tree_removal.h"

namespace fenzar {

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
        // '<', '>' and '"' are wildcards too where the system matches a name.
        if (*p == u'/' || *p == u':' || *p == u'?' || *p == u'*' || *p == u'<' || *p == u'>' || *p == u'"') {
            return false;
        }
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

bool is_drive_path(const char16_t* path) { return is_drive_letter(path[0]) && path[1] == u':' && path[2] == u'\\'; }

// Where the root's path was cut: its parent, which is opened by path, and
// its name, which is found and opened relative to that parent.
struct RootSplit {
    size_t length;         // of the whole root path
    size_t parent_length;  // with the backslash when the parent is a drive's or share's root
    size_t name_start;
};

// The units of the drive's or share's root at the start of an extended-length
// or rooted path, with its backslash.
size_t root_units(const char16_t* path) {
    if (!starts_with(path, u"\\\\?\\UNC\\")) return starts_with(path, u"\\\\?\\") ? 7 : 1;
    size_t i = 8;
    for (int separators = 0; separators < 2; ++i) separators += path[i] == u'\\' ? 1 : 0;
    return i;
}

// Writes the extended-length form of the directory into removal.path and
// splits it. False, and nothing is removed, unless the path is a full path
// naming a directory below a root: a drive path (C:\...), a share path
// (\\server\share\...), either already in its extended-length form
// (\\?\C:\..., \\?\UNC\server\share\..., as a TEMP of that form gives it)
// or, from the POSIX layer, a rooted path (\...). Empty and relative paths,
// roots of drives and shares, device paths and other extended-length forms
// (volume names) are refused.
bool make_removal_root(TreeRemoval& removal, const char16_t* directory, RootSplit* split) {
    const char16_t* prefix = u"";
    const char16_t* kept = directory;
    if (starts_with(directory, u"\\\\?\\")) {
        const char16_t* rest = directory + 4;
        if (is_drive_path(rest)) {
            if (!has_plain_components(rest + 3, 1)) return false;
        } else if (starts_with(rest, u"UNC\\")) {
            if (!has_plain_components(rest + 4, 3)) return false;
        } else {
            return false;
        }
    } else if (is_drive_path(directory)) {
        if (!has_plain_components(directory + 3, 1)) return false;
        prefix = u"\\\\?\\";
    } else if (directory[0] == u'\\' && directory[1] == u'\\') {
        // Server, share and at least one directory below the share.
        if (!has_plain_components(directory + 2, 3)) return false;
        prefix = u"\\\\?\\UNC\\";
        kept = directory + 2;
    } else if (directory[0] == u'\\') {
        if (!has_plain_components(directory + 1, 1)) return false;
    } else {
        return false;
    }
    size_t length = 0;
    for (const char16_t* parts[] = {prefix, kept}; const char16_t* part : parts) {
        for (const char16_t* p = part; *p != 0; ++p) {
            if (length == removal_path_capacity) return false;
            removal.path[length++] = *p;
        }
    }
    removal.path[length] = 0;
    size_t name_start = length;
    while (removal.path[name_start - 1] != u'\\') --name_start;
    split->length = length;
    split->name_start = name_start;
    split->parent_length = name_start == root_units(removal.path) ? name_start : name_start - 1;
    return true;
}

// Opens the root's parent by its path, which the caller chose.
platform::DirectoryHandle open_root_parent(TreeRemoval& removal, const RootSplit& split) {
    char16_t cut = removal.path[split.parent_length];
    removal.path[split.parent_length] = 0;
    platform::EntryFacts facts;
    platform::DirectoryHandle parent = platform::open_directory_for_removal({nullptr}, removal.path, &facts);
    removal.path[split.parent_length] = cut;
    return parent;
}

// The name of the directory at a level, terminated.
const char16_t* level_name(TreeRemoval& removal, const TreeRemoval::Level& level) {
    removal.path[level.name_end] = 0;
    return removal.path + level.name_start;
}

bool is_plain_directory(uint32_t attributes) {
    return has(attributes, platform::file_attribute_directory) &&
           !has(attributes, platform::file_attribute_reparse_point);
}

// Opens the directory named at name_start..name_end below parent as the
// innermost level, when it is the plain directory that was listed there.
// False when it cannot be opened, is something else now (a link put in its
// place, another directory) or the levels are used up.
bool enter_directory(TreeRemoval& removal, size_t* depth, platform::DirectoryHandle parent,
                     const platform::EntryFacts& listed, size_t name_start, size_t name_end) {
    if (*depth == removal_depth_limit) return false;
    TreeRemoval::Level level = {{nullptr}, listed, name_start, name_end};
    platform::EntryFacts opened;
    level.directory = platform::open_directory_for_removal(parent, level_name(removal, level), &opened);
    if (!level.directory.valid()) return false;
    if (!is_plain_directory(opened.attributes) || opened.file_id != listed.file_id) {
        platform::close_directory(level.directory);
        return false;
    }
    removal.levels[(*depth)++] = level;
    return true;
}

// Appends a backslash and the listed entry's name after the name of the
// innermost level; false when it does not fit.
bool append_listed_name(TreeRemoval& removal, const TreeRemoval::Level& level, size_t* name_start, size_t* name_end) {
    size_t name_length = 0;
    while (removal.listed.name[name_length] != 0) ++name_length;
    if (name_length == 0 || removal_path_capacity - level.name_end < name_length + 1) return false;
    removal.path[level.name_end] = u'\\';
    *name_start = level.name_end + 1;
    for (size_t i = 0; i < name_length; ++i) removal.path[*name_start + i] = removal.listed.name[i];
    *name_end = *name_start + name_length;
    return true;
}

// Closes every level still open.
void leave_levels(TreeRemoval& removal, size_t depth) {
    while (depth > 0) platform::close_directory(removal.levels[--depth].directory);
}

// The root as its parent lists it; false when it is not there.
bool find_root(TreeRemoval& removal, platform::DirectoryHandle parent, const RootSplit& split,
               platform::EntryFacts* facts) {
    removal.path[split.length] = 0;
    return platform::find_directory_entry(parent, removal.path + split.name_start, facts);
}

// One attempt: removes all it can below the root and then the root, depth
// first with one open directory per level, going on past every entry that
// cannot be removed. Leaves off before any entry once abandon says so.
void remove_tree_once(TreeRemoval& removal, platform::DirectoryHandle root_parent, const RootSplit& split,
                      AbandonCheck abandon = {}) {
    platform::EntryFacts root;
    if (!find_root(removal, root_parent, split, &root) || !has(root.attributes, platform::file_attribute_directory)) {
        return;
    }
    const char16_t* root_name = removal.path + split.name_start;
    if (has(root.attributes, platform::file_attribute_reparse_point)) {
        platform::delete_entry_relative(root_parent, root_name, &root);
        return;
    }
    size_t depth = 0;
    if (!enter_directory(removal, &depth, root_parent, root, split.name_start, split.length)) {
        platform::delete_entry_relative(root_parent, root_name, &root);
        return;
    }
    while (depth > 0) {
        if (abandon.is_set() && abandon()) {
            leave_levels(removal, depth);
            return;
        }
        TreeRemoval::Level& level = removal.levels[depth - 1];
        if (!platform::read_directory_entry(level.directory, &removal.listed)) {
            // Emptied as far as it goes: the directory itself, relative to
            // its parent, if it is still the one that was entered.
            platform::close_directory(level.directory);
            platform::DirectoryHandle parent = depth > 1 ? removal.levels[depth - 2].directory : root_parent;
            platform::delete_entry_relative(parent, level_name(removal, level), &level.facts);
            --depth;
            continue;
        }
        const platform::EntryFacts listed = removal.listed.facts;
        size_t name_start = 0;
        size_t name_end = 0;
        if (is_plain_directory(listed.attributes) && append_listed_name(removal, level, &name_start, &name_end) &&
            enter_directory(removal, &depth, level.directory, listed, name_start, name_end)) {
            continue;
        }
        // A file, a link, or a directory that cannot be entered: the entry
        // itself goes when it is still what was listed and can go.
        platform::delete_entry_relative(level.directory, removal.listed.name, &listed);
    }
}

// Whether the root is still there as a directory.
bool root_stays(TreeRemoval& removal, platform::DirectoryHandle root_parent, const RootSplit& split) {
    platform::EntryFacts root;
    return find_root(removal, root_parent, split, &root) && has(root.attributes, platform::file_attribute_directory);
}

}  // namespace

void remove_directory_tree(TreeRemoval& removal, const char16_t* directory) {
    std::lock_guard<std::mutex> guard(removal.lock);
    RootSplit split;
    if (!make_removal_root(removal, directory, &split)) return;
    platform::DirectoryHandle root_parent = open_root_parent(removal, split);
    if (!root_parent.valid()) return;
    remove_tree_once(removal, root_parent, split);
    for (int retry = 0; retry < removal_retries && root_stays(removal, root_parent, split); ++retry) {
        platform::sleep_milliseconds(retry_pause_milliseconds);
        remove_tree_once(removal, root_parent, split);
    }
    platform::close_directory(root_parent);
}

void remove_directory_tree_once(TreeRemoval& removal, const char16_t* directory, AbandonCheck abandon) {
    std::lock_guard<std::mutex> guard(removal.lock);
    RootSplit split;
    if (!make_removal_root(removal, directory, &split)) return;
    platform::DirectoryHandle root_parent = open_root_parent(removal, split);
    if (!root_parent.valid()) return;
    remove_tree_once(removal, root_parent, split, abandon);
    platform::close_directory(root_parent);
}

}  // namespace fenzar
