#include "launcher/target_choice.h"

#include "base/environment.h"
#include "base/report.h"
#include "launcher/parent_end.h"
#include "platform/platform.h"
#include "sweep/sweep.h"
#include "unpack/directories.h"

namespace fenzar {

namespace {

// Whether the base is a directory and no link both as its parent lists it
// and as it opens without following a link: Windows shows a link either
// way, Wine only in the listing.
bool is_plain_base(const char16_t* base) {
    TargetDirectory parent;
    copy_wide_bounded(parent, base);
    cut_at_last_backslash(parent.data());
    size_t name_start = wide_length(parent.data()) + 1;
    // A drive's own directory is its root, "C:\", not "C:".
    if (name_start == 3 && parent.data()[1] == u':') append_wide_char_bounded(parent, u'\\');
    if (name_start > wide_length(base)) return false;
    platform::EntryFacts facts = {};
    platform::OwnedDirectory directory(platform::open_directory_for_removal({nullptr}, parent.data(), &facts));
    if (!directory.valid()) return false;
    bool listed_plain = platform::find_directory_entry(directory.get(), base + name_start, &facts) &&
                        (facts.attributes & platform::file_attribute_directory) != 0 &&
                        (facts.attributes & platform::file_attribute_reparse_point) == 0;
    directory.reset();
    platform::DirectoryOwner owner = {};
    return listed_plain && platform::query_directory_owner(base, &owner);
}

// A base another program can write to may hold a link in the base's place,
// put there to send the launcher's directory, its removal and its sweep
// elsewhere: the base itself must be a real directory, checked by the
// parent once it exists and by the child again before anything is loaded
// from below it.
void check_target_base(Run& run) {
    TargetDirectory base;
    copy_wide_bounded(base, run.target_directory.data());
    cut_at_last_backslash(base.data());
    if (run.run_mode == RunMode::parent) {
        create_containing_directories(run.unpacking.known_directories, run.target_directory.data());
        // A base that could not be made: the directory's creation says why.
        if (platform::get_file_attributes(base.data()) == platform::invalid_file_attributes) return;
    }
    if (!is_plain_base(base.data())) report_target_base_refused(base.data());
}

// Below {TEMP}, or below the base the launcher was packed with.
void resolve_temporary_directory(Run& run) {
    TargetSpec spec;
    make_target_spec(spec, run.launch_settings.target_base);
    if (!resolve_target_directory(run.target_directory, run.arguments, spec.data())) report_spec_failure(spec.data());
    if (run.launch_settings.target_base[0] != 0) check_target_base(run);
}

TargetChoice choose_as_parent(Run& run) {
    if (!run.launch_settings.cache || platform::is_elevated()) return TargetChoice::temporary;
    switch (open_cache(run.cache, run.launch_settings)) {
        case CacheState::complete:
            copy_wide_bounded(run.target_directory, run.cache.paths.files.data());
            return TargetChoice::cached;
        case CacheState::missing:
            copy_wide_bounded(run.target_directory, run.cache.private_directory.data());
            return TargetChoice::unpack_into_cache;
        case CacheState::unusable:
            break;
    }
    return TargetChoice::temporary;
}

// The directory a parent hands down, taken out of the environment so that
// the application never sees it (an instance that the application starts
// computes the paths itself); not valid when there is none.
EnvironmentCopy take_handed_down_directory() {
    EnvironmentCopy handed_down = get_environment_copy(variable::cache_files);
    if (handed_down.valid()) unset_environment_value(variable::cache_files);
    return handed_down;
}

// The parent ran from the cache exactly when it left the temporary
// directory's time value unset; its proof (run_mode.h) makes the
// environment it handed down its own. A parent that ran from the cache
// names the directory it chose, which saves computing the cache's paths
// (the local application data folder: ADVAPI32 and USERENV, some 5 ms
// under Wine). The name is taken only from a parent that started this
// instance itself: further down a chain, an application's own environment
// lies between. Without it the paths are computed as the parent did.
TargetChoice choose_as_reentered(Run& run) {
    EnvironmentCopy handed_down = take_handed_down_directory();
    if (!run.launch_settings.cache || platform::is_elevated()) return TargetChoice::temporary;
    bool parent_cached = !get_environment_copy(variable::time_us).valid();
    if (parent_cached && run.started_by_named_parent && handed_down.valid() &&
        wide_length(handed_down.get()) < target_directory_capacity) {
        copy_wide_bounded(run.target_directory, handed_down.get());
        return TargetChoice::cached;
    }
    handed_down.reset();
    if (!parent_cached || !make_cache_paths(run.launch_settings, &run.cache.paths)) return TargetChoice::temporary;
    copy_wide_bounded(run.target_directory, run.cache.paths.files.data());
    return TargetChoice::cached;
}

// The unpacking into the private directory, then its publication; false
// when the run must fall back. On false the private directory is gone.
bool unpack_and_publish(Run& run) {
    Unpacking& unpacking = run.unpacking;
    unpacking.entry_observer = {remember_cache_record, &run.cache};
    unpacking.write_failures = WriteFailures::fall_back;
    unpacking.flush_files = true;
    bool unpacked = unpack_into_new_directory(unpacking, run.reader, run.interruption,
                                              run.cache.private_directory.data(), run.cache.private_files.data());
    unpacking.entry_observer = {};
    unpacking.write_failures = WriteFailures::report;
    unpacking.flush_files = false;
    // The handler waits while this runs, so that it never sees a
    // target_directory half rewritten nor removes what was just published.
    if (!run.interruption.enter_unpacking()) run.interruption.end_process();
    Publication publication = unpacked ? publish_cache_content(run.cache, run.removal) : Publication::failed;
    switch (publication) {
        case Publication::published:
        case Publication::theirs:
            unpacking.target_owner.store(TargetOwner::kept);
            copy_wide_bounded(run.target_directory, run.cache.paths.files.data());
            run.interruption.leave_unpacking();
            return true;
        case Publication::refused:
        case Publication::failed:
            break;
    }
    // Removed when it is this run's own; from here on nothing is, until the
    // temporary directory has been made.
    remove_target_directory(run);
    unpacking.target_owner.store(TargetOwner::none);
    resolve_temporary_directory(run);
    run.interruption.leave_unpacking();
    return false;
}

// The cache's removals beside the wait: a removal of their own, so that the
// launcher's removal of its target directory never waits for them, and the
// sweep's bounds.
struct CacheCleanup {
    CachePaths paths;
    CachePath set_aside;
    const Interruption* interruption;
    TreeRemoval removal;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    uint64_t deadline = 0;
    // The main thread and the cleanup's thread: the last one to let go frees it.
    std::atomic<int> holders{2};
};

void let_go(CacheCleanup* cleanup) {
    if (cleanup->holders.fetch_sub(1) == 1) platform::destroy_object(cleanup);
}

bool should_stop(void* context) {
    auto* cleanup = static_cast<const CacheCleanup*>(context);
    return cleanup->stop.load() || cleanup->interruption->has_begun() ||
           platform::system_time_as_file_time() > cleanup->deadline;
}

void run_cache_cleanup(void* context) {
    auto* cleanup = static_cast<CacheCleanup*>(context);
    cleanup->deadline = platform::system_time_as_file_time() + sweep_limits_per_start.duration;
    remove_unused_cache_content(cleanup->paths, cleanup->set_aside.data(), cleanup->removal, {should_stop, cleanup});
    cleanup->done.store(true);
    let_go(cleanup);
}

void* begin_cache_cleanup(void* context) {
    const Run& run = *static_cast<const Run*>(context);
    // Without memory the run goes on without the cleanup, which is optional.
    auto* cleanup = platform::create_object<CacheCleanup>();
    if (cleanup == nullptr) return nullptr;
    cleanup->paths = run.cache.paths;
    cleanup->set_aside = run.cache.set_aside;
    cleanup->interruption = &run.interruption;
    if (!platform::start_background_thread(run_cache_cleanup, cleanup)) {
        platform::destroy_object(cleanup);
        return nullptr;
    }
    return cleanup;
}

// An application that ends at once would otherwise never leave the cleanup
// time to remove a new build's old content: it gets a moment more at the
// end, where nobody waits for the application's start.
constexpr uint32_t cleanup_grace_milliseconds = 1000;
constexpr uint32_t cleanup_poll_milliseconds = 10;

void end_cache_cleanup(void* begun) {
    if (begun == nullptr) return;
    auto* cleanup = static_cast<CacheCleanup*>(begun);
    for (uint32_t waited = 0;
         waited < cleanup_grace_milliseconds && !cleanup->done.load() && !cleanup->interruption->has_begun();
         waited += cleanup_poll_milliseconds) {
        platform::sleep_milliseconds(cleanup_poll_milliseconds);
    }
    cleanup->stop.store(true);
    let_go(cleanup);
}

// A child that took its directory from its parent has no paths yet; they
// come from the settings, as the parent's did.
void mark_broken(void* context) {
    Run& run = *static_cast<Run*>(context);
    if (run.cache.paths.index.empty() && !make_cache_paths(run.launch_settings, &run.cache.paths)) return;
    mark_cache_content_broken(run.cache.paths);
}

}  // namespace

TargetChoice choose_target_directory(Run& run) {
    TargetChoice choice = run.run_mode == RunMode::parent ? choose_as_parent(run) : choose_as_reentered(run);
    if (choice == TargetChoice::cached) run.unpacking.target_owner.store(TargetOwner::kept);
    if (choice == TargetChoice::temporary) resolve_temporary_directory(run);
    return choice;
}

TargetChoice unpack_application(Run& run, TargetChoice choice, AttachedData attached_data) {
    if (choice == TargetChoice::cached || (choice == TargetChoice::unpack_into_cache && unpack_and_publish(run))) {
        // For the instance this one starts; where the value cannot be set,
        // it stays unset (prepare_parent_environment) and the child computes
        // the paths. A program is started in place of that instance and
        // must not see it.
        if (!run.launch_settings.runs_program)
            set_environment_value(variable::cache_files, run.target_directory.data());
        return TargetChoice::cached;
    }
    if (choice == TargetChoice::unpack_into_cache) open_payload(run.reader, attached_data);
    unpack_into_new_directory(run.unpacking, run.reader, run.interruption, run.target_directory.data());
    return TargetChoice::temporary;
}

BesideWait work_beside_wait(Run& run, TargetChoice choice) {
    // Dead launchers leave their trees in %TEMP% or the base, beside a
    // temporary target directory; beside a cache directory are the cache's own leftovers.
    if (choice == TargetChoice::cached) return {{begin_cache_cleanup, &run}, end_cache_cleanup};
    run.sweep_request = {run.target_directory.data(), &run.interruption};
    return sweep_beside_wait(run.sweep_request);
}

void repair_cache_after_load_failure(Run& run) {
    if (run.unpacking.target_owner.load() == TargetOwner::kept) set_failure_cleanup({mark_broken, &run});
}

}  // namespace fenzar
