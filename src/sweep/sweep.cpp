#include "sweep/sweep.h"

#include "base/wide.h"
#include "platform/platform.h"
#include "sweep/sweep_rules.h"
#include "target_dir/target_directory.h"

namespace fenzar {

namespace {

struct StopCheck {
    const std::atomic<bool>* stop;
    const Interruption* interruption;
};

bool should_stop(void* context) {
    auto* check = static_cast<const StopCheck*>(context);
    return check->stop->load() || check->interruption->has_begun();
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
    if (run->holders.fetch_sub(1) == 1) platform::destroy_object(run);
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
void* begin_sweep(void* context) {
    auto* request = static_cast<const SweepRequest*>(context);
    // Without memory the run goes on without a sweep, as the sweep is optional.
    auto* run = platform::create_object<SweepRun>();
    if (run == nullptr) return nullptr;
    run->interruption = request->interruption;
    if (!find_parent(run->parent, request->target_directory)) {
        platform::destroy_object(run);
        return nullptr;
    }
    run->holders.store(2);
    if (!platform::start_background_thread(run_sweep, run)) {
        platform::destroy_object(run);
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
    StopCheck check{&stop, &interruption};
    return remove_dead_leftovers(parent, sweep_shapes, limits, {should_stop, &check}, removal);
}

BesideWait sweep_beside_wait(SweepRequest& request) { return {{begin_sweep, &request}, end_sweep}; }

}  // namespace fenzar
