// Removing the leftovers of dead processes from one folder: the trees that
// dead launchers left in %TEMP%, the cache's unfinished and claimed
// directories. The layer that makes the leftovers gives their name rules
// (LeftoverShapes); this one proves their owners dead against one list of
// all processes, claims each by renaming it to a tombstone that carries the
// claimer's stamp (so that two removers never remove the same entry, and a
// directory in use, whose rename Windows refuses, stays) and removes the
// tombstone with the launcher's link-safe removal, once; a tombstone left
// half removed is finished by a later walk once its claimer has gone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/wide.h"
#include "leftovers/proof.h"
#include "leftovers/stamp.h"
#include "platform/platform.h"
#include "removal/tree_removal.h"

namespace fenzar {

// The longest folder a walk takes; a listed name has at most 259 units.
inline constexpr size_t leftover_folder_capacity = path_capacity;
inline constexpr size_t leftover_name_capacity = 259 + stamp_text_capacity + 1;

// The name rules of one kind of leftover.
struct LeftoverShapes {
    // What a listed name tells of its owner; proof none for any other name.
    LeftoverName (*read)(const char16_t* name);
    // The tombstone name for the entry `name` (read as `facts`) claimed by
    // `claimer`, into out (leftover_name_capacity units and a terminator);
    // it must read back as a name of these rules with the claimer's exact
    // stamp. False when it cannot be made.
    bool (*name_tombstone)(const char16_t* name, const LeftoverName& facts, const OwnerStamp& claimer, char16_t* out);
    // Nothing younger is removed.
    uint64_t minimum_age;
    // Only real directories are leftovers (a link or file of such a name is
    // never touched); otherwise links and files are removed as such too.
    bool directories_only;
};

struct WalkLimits {
    // Entries claimed.
    uint32_t removals;
    // Candidates (a leftover's name, old enough, its owner proven dead) whose
    // owner is read and which are claimed: what costs the system work.
    // Entries turned away by name, age or the process list do not count.
    uint32_t examinations;
    // From the walk's start, in file-time units (100 ns).
    uint64_t duration;
};

struct WalkTally {
    uint32_t candidates = 0;
    uint32_t examined = 0;
    uint32_t removed = 0;
};

// Removes what is provably a dead process's leftover in folder (a full
// path), within limits; leaves off as soon as stop asks, abandoning an entry
// half removed.
//
// So that undecidable candidates at the front of the listing (in use,
// another owner's) cannot keep the rest from ever being examined, a walk
// with more candidates than examinations begins at a random one and wraps
// around: a first listing counts the candidates, a second examines from the
// start point to the end, a third from the beginning to the start point.
// A folder without candidates is listed once.
WalkTally remove_dead_leftovers(const char16_t* folder, const LeftoverShapes& shapes, const WalkLimits& limits,
                                AbandonCheck stop, TreeRemoval& removal);

// The parts of a walk for one entry, for a caller that lists by itself.
//
// Whether the listed entry is a leftover of shapes old enough at now whose
// owner the processes prove dead; *name gets what its name tells.
bool is_dead_leftover(const LeftoverShapes& shapes, const platform::DirectoryEntry& entry,
                      const ProcessSnapshot& processes, uint64_t now, LeftoverName* name);
// Claims folder\entry.name, a dead leftover read as name: checks a
// directory's owner (may_remove_owned), renames the entry to the tombstone
// the shapes name after claimer and removes that (remove_claimed). False
// when it was not claimed.
bool claim_and_remove(const char16_t* folder, const platform::DirectoryEntry& entry, const LeftoverName& name,
                      const LeftoverShapes& shapes, const OwnerStamp& claimer, TreeRemoval& removal, AbandonCheck stop);
// Removes an entry this process has claimed, with the attributes it was
// listed with: a link (a reparse point, as listed or as it is now) as a
// link, never what it points to; a directory with one attempt of the
// link-safe removal; a file.
void remove_claimed(const char16_t* tombstone, uint32_t listed_attributes, TreeRemoval& removal, AbandonCheck stop);

}  // namespace fenzar
