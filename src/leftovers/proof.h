// Proving that a leftover's owner is gone, and that this launcher may remove
// what it owns: pure rules over what a name, the listing, one list of all
// processes and the directory's owner tell, so that every case can be tried
// without a system.
#pragma once

#include <cstddef>
#include <cstdint>

#include "leftovers/stamp.h"
#include "platform/platform.h"

namespace fenzar {

// How a name ties an entry to its owner.
enum class OwnerProof : uint8_t {
    // Not a leftover of these rules.
    none,
    // The name carries the owner's full stamp: it has gone once no process
    // has that id with that creation time.
    exact,
    // The name carries only the id of the process that created the entry
    // (a launcher's own directory): a process with the id that was created
    // after the entry is another one.
    made_entry,
    // Only an id, of a process that need not have created the entry (a
    // tombstone of an older launcher): any running process with the id keeps
    // it.
    id_only,
};

struct LeftoverName {
    OwnerProof proof = OwnerProof::none;
    OwnerStamp owner;  // created is 0 unless proof is exact
    // Where the part of the name that a tombstone keeps begins.
    size_t kept = 0;
};

// What the system tells of the process with an id.
struct ProcessFact {
    enum State : uint8_t { absent, ended, running, unknown } state = absent;
    uint64_t created = 0;  // for running
};

// Whether the owner the name ties the entry to has gone for certain; an
// unknown answer keeps everything.
bool is_owner_dead(const LeftoverName& name, const ProcessFact& process, uint64_t entry_created);

// Nothing younger than this is removed, whatever else holds: file-time
// units (100 ns), one minute. A live maker on another machine or in another
// container sharing the folder is not in this one's process list, so its age
// is all that keeps its work there.
inline constexpr uint64_t leftover_minimum_age = 60ull * 10'000'000ull;

// At least minimum_age old at now; a creation time in the future is young.
bool is_old_enough(uint64_t created, uint64_t now, uint64_t minimum_age);

// A real directory as the listing shows it: no reparse point.
bool is_plain_directory(uint32_t attributes);

// Whether a directory with this owner was made by a launcher running as this
// one does. Elevated: owned by the token's default owner, which is not the
// user (Administrators), since no unelevated program can give a directory
// that owner; unelevated: owned by the user. Where an elevated token's new
// objects get the user as owner, an elevated launcher cannot tell its own
// and removes nothing.
bool may_remove_owned(const platform::DirectoryOwner& owner);

// One list of all processes, taken once per walk: a lookup opens no process,
// so a process of another user whose id was reused is told apart by its
// creation time instead of leaving the answer unknown. Where the list
// cannot be had, each lookup asks the system about the one id.
class ProcessSnapshot {
public:
    // Takes the list; false when it falls back to asking per id.
    bool take();
    ProcessFact find(uint32_t process_id) const;

private:
    platform::OwnedMemory<platform::ProcessTimes> entries_;
    uint32_t count_ = 0;
    bool listed_ = false;
};

}  // namespace fenzar
