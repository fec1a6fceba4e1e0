#include "cache/cache.h"

#include <cstdlib>
#include <cstring>

#include "base/environment.h"
#include "base/report.h"
#include "sweep/sweep_rules.h"

namespace {

constexpr const char16_t* fenzar_folder = u"Fenzar";
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

// The index: a header, then per file its size, its name's length in units
// and the name (UTF-16LE), in the order the files were unpacked.
constexpr unsigned char index_magic[8] = {'F', 'Z', 'I', 'N', 'D', 'E', 'X', '1'};
constexpr size_t index_header_bytes = 8 + launch_settings_format::digest_bytes + 8;
// Far above any real archive's index; a bigger file is not read.
constexpr uint64_t index_size_limit = 64ull << 20;

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

// The decimal digits of value into text (room for 21 units).
void format_decimal(uint64_t value, char16_t* text) {
    char16_t reversed[21];
    size_t count = 0;
    do {
        reversed[count++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < count; ++i) text[i] = reversed[count - 1 - i];
    text[count] = 0;
}

// "." PID "_" MICROSECONDS SUFFIX: names a leftover after the launcher that
// made it, so that the sweep's proof can tell when that launcher has ended.
bool join_owned(CachePath& path, const CachePaths& paths, const char16_t* digest, const char16_t* suffix) {
    char16_t process[21];
    char16_t time[21];
    format_decimal(platform::current_process_id(), process);
    format_decimal(platform::system_time_as_file_time() / 10, time);
    return join(path, paths.application.data(), {u"\\", digest, u".", process, u"_", time, suffix});
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

// Removes what was renamed to a tombstone, by the attributes it had before:
// a link as a link, never what it points to; a tree with the launcher's own
// removal; a file.
void remove_claimed(TreeRemoval& removal, const char16_t* tombstone, uint32_t attributes) {
    bool is_directory = (attributes & platform::file_attribute_directory) != 0;
    if ((attributes & platform::file_attribute_reparse_point) != 0) {
        if (is_directory) {
            platform::remove_directory(tombstone);
        } else {
            platform::delete_file(tombstone);
        }
    } else if (is_directory) {
        remove_directory_tree(removal, tombstone);
    } else {
        platform::delete_file(tombstone);
    }
}

// With the lock at `lock` held alone, renames `content` (with attributes as
// listed or read, invalid when it is not there) to a tombstone of this
// launcher and removes it; then lets the lock go and deletes it. False when
// the lock is in use or the rename is refused (on Windows a directory with a
// file open or mapped inside cannot be renamed).
bool claim_and_remove(TreeRemoval& removal, const CachePaths& paths, const char16_t* digest, const char16_t* content,
                      const char16_t* lock, uint32_t attributes) {
    platform::FileHandle sole = platform::open_sole_lock(lock);
    if (!sole.valid()) return false;
    CachePath tombstone;
    bool claimed = true;
    if (attributes != platform::invalid_file_attributes) {
        claimed = join_owned(tombstone, paths, digest, tombstone_suffix) &&
                  platform::rename_without_replacing(content, tombstone.data());
    }
    platform::close_file(sole);
    // Fails, harmlessly, when a launcher has opened it again meanwhile.
    platform::delete_file(lock);
    if (claimed && !tombstone.empty()) remove_claimed(removal, tombstone.data(), attributes);
    return claimed;
}

void put_le(unsigned char* bytes, uint64_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t get_le(const unsigned char* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = count; i > 0; --i) value = value << 8 | bytes[i - 1];
    return value;
}

// Buffered writing of the index file.
struct IndexWriter {
    platform::FileHandle file{nullptr};
    unsigned char buffer[32768];
    size_t used = 0;
    bool failed = false;

    void put(const void* data, size_t length) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        while (length > 0 && !failed) {
            if (used == sizeof buffer) flush();
            size_t piece = sizeof buffer - used < length ? sizeof buffer - used : length;
            std::memcpy(buffer + used, bytes, piece);
            used += piece;
            bytes += piece;
            length -= piece;
        }
    }
    void flush() {
        if (used > 0 && !platform::write_file(file, buffer, static_cast<uint32_t>(used))) failed = true;
        used = 0;
    }
};

// Writes private_directory\index from the files as they lie on disk, each
// file's size read once: a file the unpacking did not leave is no content
// to publish. A name repeated in the archive is listed with its last size.
bool write_index(const CacheRun& cache, const CachePath& index, const CachePath& files) {
    platform::FileHandle file = platform::create_file_for_writing(index.data());
    if (!file.valid()) return false;
    IndexWriter writer;
    writer.file = file;
    uint64_t count = 0;
    for (size_t at = 0; at < cache.names_length; at += wide_length(cache.names + at) + 1) ++count;
    unsigned char header[index_header_bytes] = {};
    std::memcpy(header, index_magic, sizeof index_magic);
    std::memcpy(header + 8, cache.settings.digest, launch_settings_format::digest_bytes);
    put_le(header + 8 + launch_settings_format::digest_bytes, count, 8);
    writer.put(header, sizeof header);
    bool complete = true;
    CachePath path;
    for (size_t at = 0; at < cache.names_length && complete; at += wide_length(cache.names + at) + 1) {
        const char16_t* name = cache.names + at;
        uint64_t size = 0;
        complete = join(path, files.data(), {u"\\", name}) && platform::get_file_size(path.data(), &size);
        size_t length = wide_length(name);
        unsigned char fields[10];
        put_le(fields, size, 8);
        put_le(fields + 8, length, 2);
        writer.put(fields, sizeof fields);
        for (size_t i = 0; i < length; ++i) {
            unsigned char unit[2];
            put_le(unit, name[i], 2);
            writer.put(unit, 2);
        }
    }
    writer.flush();
    // A late write error surfaces at the close: such an index is no index.
    bool closed = platform::close_file(file);
    return complete && !writer.failed && closed;
}

// Reads the whole index into memory (released with free); null when it is
// missing, too big or cannot be read.
unsigned char* read_index(const char16_t* path, uint64_t* size) {
    if (!platform::get_file_size(path, size) || *size < index_header_bytes || *size > index_size_limit) {
        return nullptr;
    }
    auto* bytes = static_cast<unsigned char*>(platform::allocate_memory(static_cast<size_t>(*size)));
    if (bytes == nullptr) return nullptr;
    platform::FileHandle file = platform::open_file_for_reading(path);
    uint64_t done = 0;
    if (file.valid()) {
        while (done < *size) {
            uint64_t rest = *size - done;
            uint32_t piece = rest < (1u << 20) ? static_cast<uint32_t>(rest) : (1u << 20);
            uint32_t read = 0;
            if (!platform::read_file(file, bytes + done, piece, &read) || read == 0) break;
            done += read;
        }
        platform::close_file(file);
    }
    if (done != *size) {
        std::free(bytes);
        return nullptr;
    }
    return bytes;
}

// Whether the index bytes are of this content and every file they list is
// in paths.files with its size.
bool index_matches(const CachePaths& paths, const unsigned char* bytes, uint64_t size) {
    if (std::memcmp(bytes, index_magic, sizeof index_magic) != 0) return false;
    if (std::memcmp(bytes + 8, paths.digest_bytes, launch_settings_format::digest_bytes) != 0) return false;
    uint64_t count = get_le(bytes + 8 + launch_settings_format::digest_bytes, 8);
    uint64_t at = index_header_bytes;
    CachePath path;
    WideBuffer<attached_data_format::max_name_units> name;
    for (uint64_t i = 0; i < count; ++i) {
        if (size - at < 10) return false;
        uint64_t expected = get_le(bytes + at, 8);
        size_t length = static_cast<size_t>(get_le(bytes + at + 8, 2));
        at += 10;
        if (length == 0 || length > name.capacity || (size - at) / 2 < length) return false;
        for (size_t u = 0; u < length; ++u) name.units[u] = static_cast<char16_t>(get_le(bytes + at + 2 * u, 2));
        name.units[length] = 0;
        at += 2 * length;
        uint64_t actual = 0;
        if (!join(path, paths.files.data(), {u"\\", name.data()})) return false;
        if (!platform::get_file_size(path.data(), &actual) || actual != expected) return false;
    }
    return at == size && count > 0;
}

// Moves a broken content directory out of the way, when no other launcher
// holds the lock. The shared hold is given up for it and taken again after.
bool set_aside_broken_content(CacheRun& cache, TreeRemoval& removal) {
    CachePaths& paths = cache.paths;
    platform::close_file(cache.lock);
    cache.lock = {nullptr};
    uint32_t attributes = platform::get_file_attributes(paths.content.data());
    if (!claim_and_remove(removal, paths, paths.digest, paths.content.data(), paths.lock.data(), attributes)) {
        return false;
    }
    cache.lock = take_shared_lock(paths.lock.data());
    return cache.lock.valid();
}

// A growing list of names for the index.
void remember_name(void* context, const char16_t* name) {
    auto& cache = *static_cast<CacheRun*>(context);
    size_t length = wide_length(name) + 1;
    if (cache.names_capacity - cache.names_length < length) {
        size_t capacity = cache.names_capacity * 2 + length + 4096;
        auto* grown = static_cast<char16_t*>(platform::allocate_memory(capacity * sizeof(char16_t)));
        if (grown == nullptr) platform::stop_immediately();
        if (cache.names_length > 0) std::memcpy(grown, cache.names, cache.names_length * sizeof(char16_t));
        std::free(cache.names);
        cache.names = grown;
        cache.names_capacity = capacity;
    }
    std::memcpy(cache.names + cache.names_length, name, length * sizeof(char16_t));
    cache.names_length += length;
}

}  // namespace

bool make_cache_paths(const LaunchSettings& settings, CachePaths* paths) {
    char16_t folder[platform::folder_path_capacity + 1] = {};
    if (platform::get_folder_path(platform::folder_local_app_data, folder) != 0 || folder[0] == 0) return false;
    folder[platform::folder_path_capacity] = 0;
    std::memcpy(paths->digest_bytes, settings.digest, sizeof paths->digest_bytes);
    format_digest(settings.digest, paths->digest);
    return join(paths->root, folder, {u"\\", fenzar_folder}) &&
           join(paths->application, paths->root.data(), {u"\\", settings.name}) &&
           join(paths->content, paths->application.data(), {u"\\", paths->digest}) &&
           join(paths->files, paths->content.data(), {u"\\", files_folder}) &&
           join(paths->index, paths->content.data(), {u"\\", index_file}) &&
           join(paths->lock, paths->application.data(), {u"\\", paths->digest, lock_suffix});
}

bool is_cache_content_complete(const CachePaths& paths) {
    if (!is_plain_directory_at(paths.content.data()) || !is_plain_directory_at(paths.files.data())) return false;
    uint64_t size = 0;
    unsigned char* bytes = read_index(paths.index.data(), &size);
    if (bytes == nullptr) return false;
    bool complete = index_matches(paths, bytes, size);
    std::free(bytes);
    return complete;
}

CacheChoice open_cache(CacheRun& cache, TreeRemoval& removal) {
    if (!cache.settings.cache || platform::is_elevated()) return CacheChoice::temporary;
    CachePaths& paths = cache.paths;
    if (!make_cache_paths(cache.settings, &paths)) return CacheChoice::temporary;
    if (!prepare_folder(paths.root.data()) || !prepare_folder(paths.application.data())) {
        return CacheChoice::temporary;
    }
    cache.lock = take_shared_lock(paths.lock.data());
    if (!cache.lock.valid()) return CacheChoice::temporary;
    if (platform::get_file_attributes(paths.content.data()) != platform::invalid_file_attributes) {
        if (is_cache_content_complete(paths)) return CacheChoice::cached;
        // Missing or cut files: unpacked again, once no other launcher runs
        // from the broken directory; until then this run uses its own.
        if (!set_aside_broken_content(cache, removal)) return CacheChoice::temporary;
    }
    if (!join_owned(cache.private_directory, paths, paths.digest, private_suffix) ||
        !join(cache.private_files, cache.private_directory.data(), {u"\\", files_folder}) ||
        !platform::create_private_directory(cache.private_directory.data())) {
        return CacheChoice::temporary;
    }
    return CacheChoice::unpack;
}

void observe_unpacking(CacheRun& cache, Unpacking& unpacking) { unpacking.entry_observer = {remember_name, &cache}; }

bool publish_cache_content(CacheRun& cache, Unpacking& unpacking, TreeRemoval& removal) {
    unpacking.entry_observer = {};
    CachePath index;
    bool complete = join(index, cache.private_directory.data(), {u"\\", index_file}) &&
                    write_index(cache, index, cache.private_files);
    std::free(cache.names);
    cache.names = nullptr;
    cache.names_length = cache.names_capacity = 0;
    if (complete && platform::rename_without_replacing(cache.private_directory.data(), cache.paths.content.data())) {
        return true;
    }
    // Another launcher published first (or ours is not complete): theirs is
    // used when it is complete, and ours goes.
    remove_directory_tree(removal, cache.private_directory.data());
    return is_cache_content_complete(cache.paths);
}

void remove_unused_cache_content(const CacheRun& cache, TreeRemoval& removal) {
    const CachePaths& paths = cache.paths;
    uint32_t own_id = platform::current_process_id();
    platform::DirectoryEntry entry;
    bool has_entry = false;
    platform::DirectoryListing listing = platform::open_directory_listing(paths.application.data(), &entry, &has_entry);
    if (!listing.valid()) return;
    CachePath path;
    CachePath lock;
    for (; has_entry; has_entry = platform::next_directory_entry(listing, &entry)) {
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
            claim_and_remove(removal, paths, digest, path.data(), lock.data(),
                             is_content ? entry.attributes : platform::get_file_attributes(path.data()));
            continue;
        }
        // "." PID "_" DIGITS ".tmp" or ".old": a leftover whose maker has
        // ended. A .tmp is a launcher's own unpacking (created after its
        // launcher started); an .old was renamed by its remover, so a running
        // process with that id keeps it, as a sweep's tombstone.
        size_t length = wide_length(rest);
        if (length < 4 || rest[0] != u'.') continue;
        const char16_t* suffix = rest + length - 4;
        NameForm form = wide_equal(suffix, private_suffix)    ? NameForm::launcher
                        : wide_equal(suffix, tombstone_suffix) ? NameForm::tombstone
                                                               : NameForm::other;
        if (form == NameForm::other) continue;
        uint64_t process_id = 0;
        size_t at = 1;
        for (; rest[at] >= u'0' && rest[at] <= u'9' && at < 12; ++at) process_id = process_id * 10 + (rest[at] - u'0');
        if (at == 1 || rest[at] != u'_' || process_id > 0xFFFFFFFFu || process_id == own_id) continue;
        uint64_t process_created = 0;
        platform::ProcessState state = platform::query_process_state(static_cast<uint32_t>(process_id), &process_created);
        if (!has_owner_ended(form, state, process_created, entry.creation_time)) continue;
        CachePath tombstone;
        if (!join(path, paths.application.data(), {u"\\", name}) ||
            !join_owned(tombstone, paths, digest, tombstone_suffix) ||
            !platform::rename_without_replacing(path.data(), tombstone.data())) {
            continue;
        }
        remove_claimed(removal, tombstone.data(), entry.attributes);
    }
    platform::close_directory_listing(listing);
}

CacheChoice choose_cache_directory(CacheRun& cache, bool parent, TargetDirectory& target_directory,
                                   TreeRemoval& removal) {
    CacheChoice choice = CacheChoice::temporary;
    if (parent) {
        choice = open_cache(cache, removal);
    } else if (cache.settings.cache) {
        char16_t* time = get_environment_copy(variable::time_us);
        if (time == nullptr && !platform::is_elevated() && make_cache_paths(cache.settings, &cache.paths)) {
            choice = CacheChoice::cached;
        }
        std::free(time);
    }
    if (choice == CacheChoice::cached) {
        cache.target_kept.store(true);
        copy_wide_bounded(target_directory, cache.paths.files.data());
    } else if (choice == CacheChoice::unpack) {
        copy_wide_bounded(target_directory, cache.private_directory.data());
    }
    return choice;
}

CacheChoice unpack_into_cache(CacheRun& cache, const CacheUnpackParts& parts, AttachedData attached_data) {
    observe_unpacking(cache, parts.unpacking);
    unpack_into_new_directory(parts.unpacking, parts.reader, parts.interruption, cache.private_files.data());
    // The handler waits while this runs, so that it never sees a
    // target_directory half rewritten nor removes what was just published.
    if (!parts.interruption.enter_unpacking()) parts.interruption.end_process();
    bool published = publish_cache_content(cache, parts.unpacking, parts.removal);
    if (published) {
        cache.target_kept.store(true);
        copy_wide_bounded(parts.target_directory, cache.paths.files.data());
    } else if (!resolve_target_directory(parts.target_directory, parts.arguments)) {
        report_spec_failure(built_in_target_spec);
    }
    parts.interruption.leave_unpacking();
    if (published) return CacheChoice::cached;
    open_payload(parts.reader, attached_data);
    unpack_into_new_directory(parts.unpacking, parts.reader, parts.interruption, parts.target_directory.data());
    return CacheChoice::temporary;
}
