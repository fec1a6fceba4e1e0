// Removing the trees that dead launchers left beside this launcher's own
// target directory: a launcher ended from outside (End task, a crash, a
// power cut) never removes its own, so every later launcher in parent mode
// removes those it can prove dead (sweep/sweep_rules.h), while its own
// application runs.
//
// A candidate is claimed by renaming it to a tombstone in the same
// directory, so that two sweeps never remove the same tree and a tree in
// use, whose rename Windows refuses, stays; the tombstone is then removed
// with the launcher's own link-safe removal, and one left half removed is
// finished by a later sweep. Nothing is printed and no failure counts.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/interruption.h"
#include "child/launch.h"
#include "removal/tree_removal.h"

struct SweepLimits {
    // Trees claimed and removed.
    uint32_t removals;
    // Candidates whose process and owner are asked about.
    uint32_t examinations;
    // From the sweep's start, in file-time units (100 ns).
    uint64_t duration;
};

// A %TEMP% with tens of thousands of leftovers is cleared over successive
// starts instead of keeping one busy.
inline constexpr SweepLimits sweep_limits_per_start = {256, 4096, 10ull * 10'000'000ull};

struct SweepTally {
    uint32_t examined = 0;
    uint32_t removed = 0;
};

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
BesideWait sweep_beside_wait(const SweepRequest& request);
