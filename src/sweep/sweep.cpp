#include "sweep/sweep.h"

#include <new>

#include "base/wide.h"
#include "platform/platform.h"
#include "sweep/sweep_rules.h"
#include "target_dir/target_directory.h"

namespace {

// A parent path, a backslash and the longest tombstone name (its prefix, a
// ten-digit id, an underscore and a launcher part that fills the 259 units
// a listed name can have).
constexpr size_t sweep_path_capacity = target_directory_capacity + 1 + 14 + 10 + 1 + 259;

using SweepPath = WideBuffer<sweep_path_capacity>;

struct StopCheck {
    const std::atomic<bool>* stop;
    const Interruption* interruption;
    uint64_t deadline;
};

bool should_stop(const void* context) {
    auto* check = static_cast<const StopCheck*>(context);
    return check->stop->load() || check->interruption->has_begun() ||
           platform::system_time_as_file_time() > check->deadline;
}

// parent "\" name into path; the buffer's size makes room for every listed
// name, so that the bounded copies cannot overflow.
void join(SweepPath& path, const char16_t* parent, const char16_t* name) {
    copy_wide_bounded(path, parent);
    append_wide_char_bounded(path, u'\\');
    append_wide_bounded(path, name);
}

// parent "\onefile_swept_" SWEEPER "_" launcher part.
void join_tombstone(SweepPath& path, const char16_t* parent, uint32_t sweeper, const char16_t* launcher_part) {
    copy_wide_bounded(path, parent);
    append_wide_char_bounded(path, u'\\');
    append_wide_bounded(path, tombstone_name_prefix);
    char digits[16];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + sweeper % 10);
        sweeper /= 10;
    } while (sweeper != 0);
    while (count > 0) append_wide_char_bounded(path, static_cast<char16_t>(digits[--count]));
    append_wide_char_bounded(path, u'_');
    append_wide_bounded(path, launcher_part);
}

// Whether the listed entry is a tree to remove, asking the system only what
// the name, attributes and age leave open.
bool is_dead_tree(const platform::DirectoryEntry& entry, const NameFacts& facts, const char16_t* path) {
    uint64_t process_created = 0;
    platform::ProcessState state = platform::query_process_state(facts.process_id, &process_created);
    if (!has_owner_ended(facts.form, state, process_created, entry.creation_time)) return false;
    return platform::is_own_plain_directory(path);
}

// Another sweep that lost the claim may still hold the tree open for a
// moment, and what it holds goes only when it lets go: a few more attempts,
// a little apart.
constexpr int removal_attempts = 4;
constexpr uint32_t removal_pause_milliseconds = 100;

bool exists(const char16_t* path) { return platform::get_file_attributes(path) != platform::invalid_file_attributes; }

void remove_claimed_tree(TreeRemoval& removal, const char16_t* tombstone, const StopCheck& check) {
    for (int attempt = 0; attempt < removal_attempts; ++attempt) {
        if (attempt > 0) platform::sleep_milliseconds(removal_pause_milliseconds);
        if (should_stop(&check)) return;
        remove_directory_tree_once(removal, tombstone, {should_stop, &check});
        if (!exists(tombstone)) return;
    }
}

struct SweepRun {
    TargetDirectory parent;
    const Interruption* interruption;
    // Its own, so that the launcher's removal of its target directory never
    // waits for the sweep's.
    TreeRemoval removal;
    std::atomic<bool> stop{false};
    // The main thread and the sweep's thread: the last one to let go frees it.
    std::atomic<int> holders{1};
};

void let_go(SweepRun* run) {
    if (run->holders.fetch_sub(1) == 1) delete run;
}

// The application's own start comes first: under Wine every file and
// process operation of the sweep queues at the one wineserver with those of
// the loading application, and on Windows its disk reads compete.
constexpr uint32_t sweep_delay_milliseconds = 300;
constexpr uint32_t delay_step_milliseconds = 20;

void run_sweep(void* context) {
    auto* run = static_cast<SweepRun*>(context);
    for (uint32_t waited = 0; waited < sweep_delay_milliseconds && !run->stop.load();
         waited += delay_step_milliseconds) {
        platform::sleep_milliseconds(delay_step_milliseconds);
    }
    if (!run->stop.load()) {
        sweep_directory(run->parent.data(), sweep_limits_per_start, run->stop, *run->interruption, run->removal);
    }
    let_go(run);
}

// The parent of the target directory, a full path; false when it has none.
bool find_parent(TargetDirectory& parent, const char16_t* target_directory) {
    copy_wide_bounded(parent, target_directory);
    cut_at_last_backslash(parent.data());
    return !parent.empty() && !wide_equal(parent.data(), target_directory);
}

// Only once the child has started, so that nothing is left to free when it
// does not.
void* begin_sweep(const void* context) {
    auto* request = static_cast<const SweepRequest*>(context);
    auto* run = new (std::nothrow) SweepRun;
    if (run == nullptr) return nullptr;
    run->interruption = request->interruption;
    if (!find_parent(run->parent, request->target_directory)) {
        delete run;
        return nullptr;
    }
    run->holders.store(2);
    if (!platform::start_background_thread(run_sweep, run)) {
        delete run;
        return nullptr;
    }
    return run;
}

void end_sweep(void* begun) {
    if (begun == nullptr) return;
    auto* run = static_cast<SweepRun*>(begun);
    run->stop.store(true);
    let_go(run);
}

}  // namespace

SweepTally sweep_directory(const char16_t* parent, const SweepLimits& limits, const std::atomic<bool>& stop,
                           const Interruption& interruption, TreeRemoval& removal) {
    SweepTally tally;
    uint64_t now = platform::system_time_as_file_time();
    StopCheck check{&stop, &interruption, now + limits.duration};
    uint32_t own_id = platform::current_process_id();
    platform::DirectoryEntry entry;
    bool has_entry = false;
    platform::DirectoryListing listing = platform::open_directory_listing(parent, &entry, &has_entry);
    if (!listing.valid()) return tally;
    SweepPath path;
    SweepPath tombstone;
    for (; has_entry; has_entry = platform::next_directory_entry(listing, &entry)) {
        if (should_stop(&check) || tally.removed == limits.removals || tally.examined == limits.examinations) break;
        NameFacts facts = read_name(entry.name);
        if (facts.form == NameForm::other || !is_plain_directory(entry.attributes) ||
            !is_old_enough(entry.creation_time, now)) {
            continue;
        }
        ++tally.examined;
        join(path, parent, entry.name);
        if (!is_dead_tree(entry, facts, path.data())) continue;
        join_tombstone(tombstone, parent, own_id, entry.name + facts.launcher_part);
        if (!platform::rename_without_replacing(path.data(), tombstone.data())) continue;
        remove_claimed_tree(removal, tombstone.data(), check);
        ++tally.removed;
    }
    platform::close_directory_listing(listing);
    return tally;
}

BesideWait sweep_beside_wait(const SweepRequest& request) { return {begin_sweep, end_sweep, &request}; }
