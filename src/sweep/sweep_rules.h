// The names of the trees beside a launcher's target directory that the sweep
// removes: launchers' own directories, named by the target directory's
// template, and the sweep's tombstones. Pure functions of a name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "leftovers/proof.h"
#include "leftovers/walk.h"
#include "platform/platform.h"

namespace fenzar {

// A claimed tree: "onefile_swept_" CLAIMER "_" followed by the launcher
// directory's name without its "onefile_", CLAIMER the claiming process's
// stamp (PID "_" CREATED). Launchers before the stamp wrote the claimer's id
// alone; such a tombstone goes once no running process has the id.
inline constexpr char16_t tombstone_name_prefix[] = u"onefile_swept_";

// The name's owner: made_entry for a launcher's directory ("onefile_" PID
// "_" six digits "_" eleven token characters, target_dir's rule), exact for
// a tombstone with a stamp, id_only for one with an id alone; none for
// anything else, one character off. kept is where the launcher part (PID
// "_" ...) begins.
LeftoverName read_sweep_name(const char16_t* name);

// The rules for remove_dead_leftovers: real directories at least a minute
// old.
extern const LeftoverShapes sweep_shapes;

}  // namespace fenzar
