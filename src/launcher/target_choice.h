// Where a run takes its application from: a fresh temporary directory, or
// for a launcher packed with --cache the cache's content directory, unpacked
// first into a private sibling and published (cache/cache.h). A cache
// problem is never an error of its own: whatever cannot be used or written
// makes the run fall back to its temporary directory.
//
// Whether the target directory may be removed is the unpacking's
// target_owner alone (unpack/unpack.h): created when unpack_into_new_directory
// made it, kept once it is a published content directory, none in between
// (the fallback's gap, when the private directory is gone and the temporary
// one not yet made).
#pragma once

#include "launcher/run.h"
#include "payload/attached_data.h"

namespace fenzar {

enum class TargetChoice {
    // A fresh temporary directory, as without --cache.
    temporary,
    // The published content: nothing is unpacked.
    cached,
    // Unpack into the cache's private directory, then publish.
    unpack_into_cache,
};

// Before the handler is registered: decides and puts the directory into
// target_directory. A parent opens the cache when its settings ask for it
// and it is not elevated (an elevated launcher trusts nothing an unelevated
// program of the user can write). A re-entered instance, whose parent is
// proven (run_mode.h), follows it: the content directory exactly when the
// parent left FENZAR_ONEFILE_TIME_US unset (expanding the temporary
// directory's template sets it), never when elevated. A template that
// cannot be expanded ends the process (report_spec_failure).
TargetChoice choose_target_directory(Run& run);

// Parent mode, with the reader open: unpacks as chosen. For the cache:
// into the private directory, publishing it; when that cannot be done
// (a failure while unpacking, an index that cannot be written, a rename
// that stays refused), the private directory goes and the run unpacks again
// into its temporary directory. Returns what the run ends up with:
// temporary or cached.
TargetChoice unpack_application(Run& run, TargetChoice choice, AttachedData attached_data);

// The work beside the wait for the child: the sweep of dead launchers' trees
// beside a temporary directory; the removal of unused content and leftovers
// beside a cache directory. Both on a background thread, within the sweep's
// bounds, so that no leftover delays the application's start.
BesideWait work_beside_wait(Run& run, TargetChoice choice);

// Re-entered mode, running from the cache: a failure to load the
// application marks the content broken, so that the next start repairs it.
void repair_cache_after_load_failure(Run& run);

}  // namespace fenzar
