// The unpacked cache's content: a launcher packed with --cache runs its
// application from a directory that outlives it, below the user's local
// application data, named after the application and a digest of its
// attached data:
//
//   {CACHE_DIR}\Fenzar\<name>\<digest>\files\...   the application's files
//   {CACHE_DIR}\Fenzar\<name>\<digest>\index       names and sizes, for the check
//   {CACHE_DIR}\Fenzar\<name>\<digest>.lock        held by every launcher using it
//
// <name> is the application's name and a key of the launcher's file name
// (the packer's choice). A content directory appears complete or not at
// all: it is unpacked into a private sibling (<digest>.<stamp>.tmp, the
// stamp being the unpacking launcher's id and creation time) and published
// with one rename. Every launcher that runs from it holds the lock file
// shared for its whole run, so the handle dies with it; a content directory
// is replaced or removed only by one that holds the lock alone (claimed by
// renaming it to a tombstone, <digest>.<claimer>.<stamp>.old, then
// removed). Leftovers of dead launchers (.tmp and .old) are proven and
// removed by the shared leftovers walk (leftovers/walk.h).
//
// This layer opens, checks, publishes and removes content; which directory a
// run takes, and falling back to a temporary one, is the launcher's flow
// (launcher/target_choice.h). Every path the cache works on itself is in its
// extended-length form where the system has one, so that a deep archive
// that unpacks below %TEMP% unpacks here too on a Windows without long
// paths; only `files` stays plain, as the application is told it. The
// index's format is in cache/cache_index.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/wide.h"
#include "cache/cache_index.h"
#include "payload/launch_settings.h"
#include "platform/platform.h"
#include "removal/tree_removal.h"
#include "target_dir/target_directory.h"

namespace fenzar {

// Room for the extended-length prefix (\\?\UNC\) before a path of the
// target directory's capacity.
using CachePath = WideBuffer<target_directory_capacity + 8>;

struct CachePaths {
    unsigned char digest_bytes[launch_settings_format::digest_bytes];
    char16_t digest[launch_settings_format::digest_text_units + 1];
    CachePath root;         // {CACHE_DIR}\Fenzar
    CachePath application;  // root\<name>
    CachePath content;      // application\<digest>
    CachePath index;        // content\index
    CachePath lock;         // application\<digest>.lock
    // content\files as a plain path: the target directory of a cached run.
    CachePath files;
};

// What open_cache found.
enum class CacheState {
    // The published content is complete: run from paths.files.
    complete,
    // Unpack into the private directory, then publish.
    missing,
    // Nothing here can be used: run from a temporary directory.
    unusable,
};

// What one run holds of the cache.
struct CacheRun {
    CachePaths paths;
    // The shared hold on paths.lock, kept until the process ends.
    platform::OwnedQueryFile lock;
    CachePath private_directory;  // application\<digest>.<pid>_<time>.tmp
    CachePath private_files;      // private_directory\files
    // A broken content directory this run set aside, removed beside the
    // application's run; empty when none.
    CachePath set_aside;
    // The records unpacked, for the index (released at publication).
    CacheRecords records;
};

// The paths for settings below the local application data folder; false
// when that folder cannot be had or a path would not fit.
bool make_cache_paths(const LaunchSettings& settings, CachePaths* paths);

// Parent mode, unelevated, with --cache settings: takes the shared lock,
// checks the published content (index, then each file's size), sets a
// broken one aside when nobody else uses it, and for missing names the
// private directory (not yet created).
CacheState open_cache(CacheRun& cache, const LaunchSettings& settings);

// Whether the index at paths.index describes a complete content directory:
// every file present with its size. Reads only the index and the sizes.
bool is_cache_content_complete(const CachePaths& paths);

// The unpacking's entry observer (unpack/unpack.h) that gathers the index:
// context is the CacheRun.
void remember_cache_record(void* context, const char16_t* name, uint64_t size);

enum class Publication {
    // paths.content is ours now.
    published,
    // Another launcher published first; its content is complete and ours
    // is gone.
    theirs,
    // Ours is complete, but the system kept refusing the rename (a virus
    // scanner holding a file just written): the private directory is whole
    // and may be run from; a later try may publish it.
    refused,
    // Ours could not be indexed, or theirs is not complete: nothing to run
    // from here. The private directory is left to the caller.
    failed,
};
// After every record was unpacked into private_files: writes the index from
// the archive's sizes, flushed, and publishes the private directory with one
// rename, retried for a bounded time while the system refuses it for a
// file in use.
Publication publish_cache_content(CacheRun& cache, TreeRemoval& removal);
// One more try at the rename, after the run: true when published.
bool publish_again(const CacheRun& cache);

// For a re-entered instance whose application cannot be loaded from the
// published content: its index goes, so that the next start repairs it.
void mark_cache_content_broken(const CachePaths& paths);

// Removes what no running launcher uses below the application's folder, one
// attempt each, leaving off once abandon says so: the content this run set
// aside (set_aside, empty when none), other content directories (and their locks) whose lock can be held
// alone, and the .tmp and .old leftovers of launchers that have ended.
void remove_unused_cache_content(const CachePaths& paths, const char16_t* set_aside, TreeRemoval& removal,
                                 AbandonCheck abandon);

}  // namespace fenzar
