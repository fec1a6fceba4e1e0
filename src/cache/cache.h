// The unpacked cache: a launcher packed with --cache runs its application
// from a directory that outlives it, below the user's local application data,
// named after the application and a digest of its attached data:
//
//   {CACHE_DIR}\Fenzar\<name>\<digest>\files\...   the application's files
//   {CACHE_DIR}\Fenzar\<name>\<digest>\index       names and sizes, for the check
//   {CACHE_DIR}\Fenzar\<name>\<digest>.lock        held by every launcher using it
//
// A content directory appears complete or not at all: it is unpacked into a
// private sibling (<digest>.<pid>_<time>.tmp) and published with one rename.
// Every launcher that runs from it holds the lock file shared for its whole
// run, so the handle dies with it; a content directory is replaced or
// removed only by one that holds the lock alone (claimed by renaming it to a
// tombstone, <digest>.<pid>_<time>.old, then removed). Leftovers of dead
// launchers (.tmp and .old) are told by the same process-id and creation-
// time proof as the sweep's (sweep/sweep_rules.h).
//
// Whatever cannot be trusted or used (an elevated launcher, a folder that is
// a link, a file or another user's, a lock that stays taken, a content
// directory in use that needs repair) makes the launcher fall back to its
// fresh temporary directory: never an error of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/arguments.h"
#include "base/interruption.h"
#include "base/wide.h"
#include "payload/launch_settings.h"
#include "payload/reader.h"
#include "platform/platform.h"
#include "removal/tree_removal.h"
#include "target_dir/target_directory.h"
#include "unpack/unpack.h"

using CachePath = WideBuffer<target_directory_capacity>;

struct CachePaths {
    unsigned char digest_bytes[launch_settings_format::digest_bytes];
    char16_t digest[launch_settings_format::digest_text_units + 1];
    CachePath root;         // {CACHE_DIR}\Fenzar
    CachePath application;  // root\<name>
    CachePath content;      // application\<digest>
    CachePath files;        // content\files
    CachePath index;        // content\index
    CachePath lock;         // application\<digest>.lock
};

// Where a run takes its application from.
enum class CacheChoice {
    // The published content is complete: run from paths.files, unpack nothing.
    cached,
    // Unpack into private_files, then publish (unpack_into_cache).
    unpack,
    // Use the fresh temporary directory, as without --cache.
    temporary,
};

// What one run holds of the cache.
struct CacheRun {
    // Read beside the attached data; settings.cache is false without --cache.
    LaunchSettings settings;
    CachePaths paths;
    // The shared hold on paths.lock, kept until the process ends.
    platform::FileHandle lock{nullptr};
    CachePath private_directory;  // application\<digest>.<pid>_<time>.tmp
    CachePath private_files;      // private_directory\files
    // The names unpacked, for the index: each terminated, one after another
    // (heap, released at publication).
    char16_t* names = nullptr;
    size_t names_length = 0;
    size_t names_capacity = 0;
    // Set once the target directory is a published content directory, which
    // is never removed: not at the end, not after a failure, not on a
    // console event. Read by the console handler's thread.
    std::atomic<bool> target_kept{false};

    // The executable's run is never destroyed (launcher/entry.cpp); a test's
    // run may end in the middle of unpacking.
    CacheRun() = default;
    CacheRun(const CacheRun&) = delete;
    CacheRun& operator=(const CacheRun&) = delete;
    ~CacheRun() { std::free(names); }
};

// The parts of a run that the cache's unpacking works with.
struct CacheUnpackParts {
    Unpacking& unpacking;
    PayloadReader& reader;
    Interruption& interruption;
    TreeRemoval& removal;
    TargetDirectory& target_directory;
    const SavedArguments& arguments;
};

// The paths for settings below the local application data folder; false
// when that folder cannot be had or a path would not fit.
bool make_cache_paths(const LaunchSettings& settings, CachePaths* paths);

// Parent mode: prepares the cache and decides. Takes the shared lock, checks
// the published content (index, then each file's size), repairs a broken one
// when nobody else uses it, and for unpack creates the private directory.
CacheChoice open_cache(CacheRun& cache, TreeRemoval& removal);

// Whether the index at paths.index describes a complete paths.files: every
// file present with its size. Reads only the index and the files' sizes.
bool is_cache_content_complete(const CachePaths& paths);

// After unpacking into private_files (with the run's unpacking observed, see
// observe_unpacking): writes the index, checks every file against it and
// publishes the directory with one rename. True when paths.files is
// complete afterwards (published now, or by another launcher first, ours
// then removed); false when neither holds, and the private directory is
// removed.
void observe_unpacking(CacheRun& cache, Unpacking& unpacking);
bool publish_cache_content(CacheRun& cache, Unpacking& unpacking, TreeRemoval& removal);

// Removes what no running launcher uses below the application's folder:
// other content directories (and their locks) whose lock can be held alone,
// and the .tmp and .old leftovers of launchers that have ended.
void remove_unused_cache_content(const CacheRun& cache, TreeRemoval& removal);

// The flow's steps in cache mode.
//
// Before the handler is registered: decides where this instance runs from
// and puts that into target_directory (left alone for temporary). A parent
// asks open_cache; a re-entered instance follows its parent, which ran from
// the cache exactly when it left FENZAR_ONEFILE_TIME_US unset (the temporary
// directory's expansion sets it). Without --cache: temporary.
CacheChoice choose_cache_directory(CacheRun& cache, bool parent, TargetDirectory& target_directory,
                                   TreeRemoval& removal);
// Parent mode, for unpack, with the reader open: unpacks into the private
// directory (which a failure or an interruption removes whole), publishes it
// and runs from paths.files; when neither ours nor another's could be
// published, unpacks again into the temporary directory as without --cache.
// Returns the choice the run ends up with (cached or temporary).
CacheChoice unpack_into_cache(CacheRun& cache, const CacheUnpackParts& parts, AttachedData attached_data);
