// Removing the trees that dead launchers left beside this launcher's own
// target directory: a launcher ended from outside (End task, a crash, a
// power cut) never removes its own, so every later launcher in parent mode
// removes those it can prove dead, while its own application runs: the
// leftovers module's walk (leftovers/walk.h) with the sweep's name rules
// (sweep/sweep_rules.h). Nothing is printed and no failure counts.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/interruption.h"
#include "child/launch.h"
#include "leftovers/walk.h"
#include "removal/tree_removal.h"

namespace fenzar {

using SweepLimits = WalkLimits;
using SweepTally = WalkTally;

// A %TEMP% with tens of thousands of leftovers is cleared over successive
// starts instead of keeping one busy: 256 trees, 4,096 examined candidates,
// 10 seconds.
inline constexpr SweepLimits sweep_limits_per_start = {256, 4096, 10ull * 10'000'000ull};

// Sweeps the directory parent (a full path) once, within limits, removing
// with removal; leaves off as soon as stop is set or an interruption has
// begun, abandoning a tree half removed.
SweepTally sweep_directory(const char16_t* parent, const SweepLimits& limits, const std::atomic<bool>& stop,
                           const Interruption& interruption, TreeRemoval& removal);

// What the sweep beside the wait reads of the run: both outlive the run.
struct SweepRequest {
    const char16_t* target_directory;
    const Interruption* interruption;
};

// Parent mode: the sweep of the parent of the target directory as work
// beside the wait for the child, on a background thread with a removal of
// its own, told to stop when the wait returns and not waited for. Nothing
// begins when there is no memory, no parent or no thread. request need
// only last until the wait has begun.
BesideWait sweep_beside_wait(SweepRequest& request);

}  // namespace fenzar
