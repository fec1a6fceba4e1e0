#include "cache/cache.h"

#include <cstdlib>
#include <cstring>

#include "cache/cache_index.h"
#include "leftovers/walk.h"

namespace fenzar {

namespace {

constexpr const char16_t* fenzar_folder = launch_settings_format::cache_root_folder;
constexpr const char16_t* files_folder = u"files";
constexpr const char16_t* index_file = u"index";
constexpr const char16_t* lock_suffix = u".lock";
constexpr const char16_t* private_suffix = u".tmp";
constexpr const char16_t* tombstone_suffix = u".old";

// A sole holder (a remover or a repair) keeps the lock for a rename or two;
// a launcher waiting for it gives up after about a second and runs from a
// temporary directory instead.
constexpr int lock_tries = 100;
constexpr uint32_t lock_pause_milliseconds = 10;

// A virus scanner opens each file as it is closed and may hold it for a
// while; until it lets go, Windows refuses to rename the directory (access
// denied or a sharing violation). Tried again, pauses doubling up to a
// quarter second, for about three seconds in all.
constexpr uint32_t publish_pause_first_milliseconds = 10;
constexpr uint32_t publish_pause_limit_milliseconds = 250;
constexpr uint32_t publish_wait_milliseconds = 3000;

constexpr size_t digest_units = launch_settings_format::digest_text_units;

// Appends parts to path, or returns false, leaving path unusable, when the
// result would not fit.
bool append_parts(CachePath& path, std::initializer_list<const char16_t*> parts) {
    size_t length = wide_length(path.data());
    for (const char16_t* part : parts) {
        size_t part_length = wide_length(part);
        if (CachePath::capacity - length < part_length) return false;
        for (size_t i = 0; i <= part_length; ++i) path.units[length + i] = part[i];
        length += part_length;
    }
    return true;
}

bool join(CachePath& path, const char16_t* parent, std::initializer_list<const char16_t*> parts) {
    path.units[0] = 0;
    return append_parts(path, {parent}) && append_parts(path, parts);
}

bool is_drive_letter(char16_t unit) { return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z'); }

// The extended-length form of a full path (\\?\C:\..., \\?\UNC\server\...),
// which the system takes as it is, past the 260 units of plain paths; other
// paths (already extended, or the POSIX layer's rooted ones) stay. The path
// is made full first, since the extended form resolves no "." or "..".
bool make_extended_length(CachePath& path, const char16_t* folder) {
    CachePath full;
    uint32_t size = static_cast<uint32_t>(full.capacity);
    uint32_t length = platform::get_full_path_name(folder, size, full.data());
    if (length == 0 || length >= size) return false;
    const char16_t* text = full.data();
    if (is_drive_letter(text[0]) && text[1] == u':' && text[2] == u'\\') return join(path, u"\\\\?\\", {text});
    if (text[0] == u'\\' && text[1] == u'\\' && text[2] != u'?' && text[2] != u'.') {
        return join(path, u"\\\\?\\UNC", {text + 1});
    }
    return join(path, text, {});
}

// digest "." STAMP SUFFIX: names what this launcher makes below the
// application's folder after it, so that a later launcher can prove it gone
// (leftovers/stamp.h). False when the process has no stamp.
bool join_owned(CachePath& path, const CachePaths& paths, const char16_t* digest, const char16_t* suffix) {
    OwnerStamp stamp = own_stamp();
    if (!stamp.valid()) return false;
    char16_t text[stamp_text_capacity + 1] = {};
    append_stamp(text, stamp, stamp_text_capacity);
    return join(path, paths.application.data(), {u"\\", digest, u".", text, suffix});
}

// A claimed entry: digest "." CLAIMER "." STAMP ".old", where STAMP is the
// maker's (a .tmp's) or, for content, the claimer's own.
bool join_tombstone(CachePath& path, const CachePaths& paths, const char16_t* digest, const OwnerStamp& kept) {
    OwnerStamp stamp = own_stamp();
    if (!stamp.valid() || !kept.valid()) return false;
    char16_t claimer[stamp_text_capacity + 1] = {};
    char16_t maker[stamp_text_capacity + 1] = {};
    append_stamp(claimer, stamp, stamp_text_capacity);
    append_stamp(maker, kept, stamp_text_capacity);
    return join(path, paths.application.data(), {u"\\", digest, u".", claimer, u".", maker, tombstone_suffix});
}

bool is_lower_hex(char16_t unit) { return (unit >= u'0' && unit <= u'9') || (unit >= u'a' && unit <= u'f'); }

bool starts_with_digest(const char16_t* name) {
    for (size_t i = 0; i < digest_units; ++i) {
        if (!is_lower_hex(name[i])) return false;
    }
    return true;
}

// The shared hold, waiting while a sole holder has it.
platform::FileHandle take_shared_lock(const char16_t* lock) {
    for (int attempt = 0;; ++attempt) {
        platform::FileHandle handle = platform::open_shared_lock(lock);
        if (handle.valid() || platform::last_error() != platform::error_sharing_violation) return handle;
        if (attempt + 1 == lock_tries) return handle;
        platform::sleep_milliseconds(lock_pause_milliseconds);
    }
}

bool is_plain_directory_at(const char16_t* path) {
    uint32_t attributes = platform::get_file_attributes(path);
    return attributes != platform::invalid_file_attributes && is_plain_directory(attributes);
}

// A folder of the cache's own: created private when missing, and used only
// when it is a real directory (no link, by its attributes and by what an
// opened handle tells) owned by this user.
bool prepare_folder(const char16_t* path) {
    if (!platform::create_private_directory(path) && platform::last_error() != platform::error_already_exists) {
        return false;
    }
    return is_plain_directory_at(path) && platform::is_own_plain_directory(path);
}

// With the lock at `lock` held alone, renames `content` (with attributes as
// listed or read, invalid when it is not there) to a tombstone of this
// launcher, into *tombstone; then lets the lock go and deletes it. False
// when the lock is in use or the rename is refused (on Windows a directory
// with a file open or mapped inside cannot be renamed). *tombstone stays
// empty when there was nothing to rename.
bool claim(const CachePaths& paths, const char16_t* digest, const char16_t* content, const char16_t* lock,
           uint32_t attributes, CachePath* tombstone) {
    platform::OwnedQueryFile sole(platform::open_sole_lock(lock));
    if (!sole.valid()) return false;
    tombstone->units[0] = 0;
    bool claimed = true;
    if (attributes != platform::invalid_file_attributes) {
        claimed = join_tombstone(*tombstone, paths, digest, own_stamp()) &&
                  platform::rename_without_replacing(content, tombstone->data());
        if (!claimed) tombstone->units[0] = 0;
    }
    sole.reset();
    // Fails, harmlessly, when a launcher has opened it again meanwhile.
    platform::delete_file(lock);
    return claimed;
}

// Moves a broken content directory out of the way, when no other launcher
// holds the lock; it is removed beside the application's run. The shared
// hold is given up for it and taken again after.
bool set_aside_broken_content(CacheRun& cache) {
    CachePaths& paths = cache.paths;
    cache.lock.reset();
    uint32_t attributes = platform::get_file_attributes(paths.content.data());
    if (!claim(paths, paths.digest, paths.content.data(), paths.lock.data(), attributes, &cache.set_aside)) {
        return false;
    }
    cache.lock.reset(take_shared_lock(paths.lock.data()));
    return cache.lock.valid();
}

bool is_retried_refusal(uint32_t error) {
    return error == platform::error_access_denied || error == platform::error_sharing_violation;
}

bool exists(const char16_t* path) { return platform::get_file_attributes(path) != platform::invalid_file_attributes; }

// The rename that publishes, tried again while the system refuses it for a
// file in use; false at once when the content exists (another launcher was
// first) or for any other error.
bool rename_into_place(const CacheRun& cache) {
    uint32_t waited = 0;
    for (uint32_t pause = publish_pause_first_milliseconds;; pause *= 2) {
        if (platform::rename_without_replacing(cache.private_directory.data(), cache.paths.content.data())) {
            return true;
        }
        uint32_t error = platform::last_error();
        if (!is_retried_refusal(error) || exists(cache.paths.content.data())) return false;
        if (waited >= publish_wait_milliseconds) return false;
        if (pause > publish_pause_limit_milliseconds) pause = publish_pause_limit_milliseconds;
        platform::sleep_milliseconds(pause);
        waited += pause;
    }
}

// The leftovers' names: digest "." STAMP ".tmp", a launcher's unpacking,
// proven gone with its maker; digest "." CLAIMER "." STAMP ".old", a claimed
// entry, proven gone with its claimer.
LeftoverName read_leftover(const char16_t* name) {
    if (!starts_with_digest(name) || name[digest_units] != u'.') return {};
    const char16_t* rest = name + digest_units + 1;
    OwnerStamp stamp;
    size_t length = read_stamp(rest, &stamp);
    if (length == 0 || rest[length] != u'.') return {};
    const char16_t* tail = rest + length + 1;
    if (wide_equal(tail, private_suffix + 1)) return {OwnerProof::exact, stamp, digest_units + 1};
    OwnerStamp kept;
    size_t kept_length = read_stamp(tail, &kept);
    if (kept_length != 0 && wide_equal(tail + kept_length, tombstone_suffix)) {
        return {OwnerProof::exact, stamp, static_cast<size_t>(tail - name)};
    }
    return {};
}

bool name_leftover_tombstone(const char16_t* name, const LeftoverName& facts, const OwnerStamp& claimer,
                             char16_t* out) {
    OwnerStamp kept;
    size_t kept_length = read_stamp(name + facts.kept, &kept);
    out[0] = 0;
    for (size_t i = 0; i <= digest_units; ++i) append_wide_char_bounded(out, name[i], leftover_name_capacity);
    append_stamp(out, claimer, leftover_name_capacity);
    append_wide_char_bounded(out, u'.', leftover_name_capacity);
    append_stamp(out, kept, leftover_name_capacity);
    append_wide_bounded(out, tombstone_suffix, leftover_name_capacity);
    return kept_length != 0;
}

// A .tmp younger than the minimum age is never claimed, so that a launcher
// of another machine sharing the folder, whose process this one cannot see,
// keeps its unpacking while it runs.
const LeftoverShapes cache_shapes = {read_leftover, name_leftover_tombstone, leftover_minimum_age, false};

// The sweep's bounds per start.
constexpr WalkLimits cache_leftover_limits = {256, 4096, 10ull * 10'000'000ull};

}  // namespace

bool make_cache_paths(const LaunchSettings& settings, CachePaths* paths) {
    char16_t folder[platform::folder_path_capacity + 1] = {};
    if (platform::get_folder_path(platform::folder_local_app_data, folder) != 0 || folder[0] == 0) return false;
    folder[platform::folder_path_capacity] = 0;
    std::memcpy(paths->digest_bytes, settings.digest, sizeof paths->digest_bytes);
    format_digest(settings.digest, paths->digest);
    CachePath extended_folder;
    return make_extended_length(extended_folder, folder) &&
           join(paths->root, extended_folder.data(), {u"\\", fenzar_folder}) &&
           join(paths->application, paths->root.data(), {u"\\", settings.name}) &&
           join(paths->content, paths->application.data(), {u"\\", paths->digest}) &&
           join(paths->index, paths->content.data(), {u"\\", index_file}) &&
           join(paths->lock, paths->application.data(), {u"\\", paths->digest, lock_suffix}) &&
           join(paths->files, folder,
                {u"\\", fenzar_folder, u"\\", settings.name, u"\\", paths->digest, u"\\", files_folder}) &&
           wide_length(paths->files.data()) < target_directory_capacity;
}

bool is_cache_content_complete(const CachePaths& paths) {
    CachePath files;
    if (!join(files, paths.content.data(), {u"\\", files_folder})) return false;
    if (!is_plain_directory_at(paths.content.data()) || !is_plain_directory_at(files.data())) return false;
    return cache_index_matches(paths.index.data(), paths.digest_bytes, files.data());
}

void remember_cache_record(void* context, const char16_t* name, uint64_t size) {
    add_cache_record(static_cast<CacheRun*>(context)->records, name, size);
}

CacheState open_cache(CacheRun& cache, const LaunchSettings& settings) {
    CachePaths& paths = cache.paths;
    if (!make_cache_paths(settings, &paths)) return CacheState::unusable;
    if (!prepare_folder(paths.root.data()) || !prepare_folder(paths.application.data())) {
        return CacheState::unusable;
    }
    cache.lock.reset(take_shared_lock(paths.lock.data()));
    if (!cache.lock.valid()) return CacheState::unusable;
    if (exists(paths.content.data())) {
        if (is_cache_content_complete(paths)) return CacheState::complete;
        // Missing or cut files: unpacked again, once no other launcher runs
        // from the broken directory; until then this run uses its own.
        if (!set_aside_broken_content(cache)) return CacheState::unusable;
    }
    if (!join_owned(cache.private_directory, paths, paths.digest, private_suffix) ||
        !join(cache.private_files, cache.private_directory.data(), {u"\\", files_folder})) {
        return CacheState::unusable;
    }
    return CacheState::missing;
}

Publication publish_cache_content(CacheRun& cache, TreeRemoval& removal) {
    CachePath index;
    bool indexed = join(index, cache.private_directory.data(), {u"\\", index_file}) &&
                   write_cache_index(index.data(), cache.paths.digest_bytes, cache.records);
    cache.records.release();
    if (indexed && rename_into_place(cache)) return Publication::published;
    if (exists(cache.paths.content.data())) {
        // Another launcher published first: theirs is used when it is
        // complete, and ours goes.
        if (!is_cache_content_complete(cache.paths)) return Publication::failed;
        remove_directory_tree(removal, cache.private_directory.data());
        return Publication::theirs;
    }
    return indexed ? Publication::refused : Publication::failed;
}

bool publish_again(const CacheRun& cache) {
    return platform::rename_without_replacing(cache.private_directory.data(), cache.paths.content.data());
}

void mark_cache_content_broken(const CachePaths& paths) { platform::delete_file(paths.index.data()); }

void remove_unused_cache_content(const CachePaths& paths, const char16_t* set_aside, TreeRemoval& removal,
                                 AbandonCheck abandon) {
    auto abandoned = [&abandon] { return abandon.is_set() && abandon(); };
    if (set_aside[0] != 0) remove_claimed(set_aside, platform::get_file_attributes(set_aside), removal, abandon);
    platform::DirectoryEntry entry;
    bool has_entry = false;
    platform::OwnedListing listing(platform::open_directory_listing(paths.application.data(), &entry, &has_entry));
    if (!listing.valid()) return;
    CachePath path;
    CachePath lock;
    CachePath tombstone;
    for (; has_entry && !abandoned(); has_entry = platform::next_directory_entry(listing.get(), &entry)) {
        const char16_t* name = entry.name;
        if (!starts_with_digest(name)) continue;
        char16_t digest[digest_units + 1];
        std::memcpy(digest, name, digest_units * sizeof(char16_t));
        digest[digest_units] = 0;
        if (wide_equal(digest, paths.digest)) {
            // Only leftovers of this content, never the content or its lock.
            if (name[digest_units] != u'.' || wide_equal(name + digest_units, lock_suffix)) continue;
        }
        const char16_t* rest = name + digest_units;
        bool is_content = rest[0] == 0;
        bool is_lock = wide_equal(rest, lock_suffix);
        if (is_content || is_lock) {
            if (!join(path, paths.application.data(), {u"\\", digest}) ||
                !join(lock, paths.application.data(), {u"\\", digest, lock_suffix})) {
                continue;
            }
            uint32_t attributes = is_content ? entry.attributes : platform::get_file_attributes(path.data());
            if (claim(paths, digest, path.data(), lock.data(), attributes, &tombstone) && !tombstone.empty()) {
                remove_claimed(tombstone.data(), attributes, removal, abandon);
            }
            continue;
        }
        // The leftovers (.tmp, .old) are the walk's, below.
    }
    listing.reset();
    remove_dead_leftovers(paths.application.data(), cache_shapes, cache_leftover_limits, abandon, removal);
}

}  // namespace fenzar
