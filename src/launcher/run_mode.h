// The choice between the two run modes and the environment that ties a
// parent to the instance it starts.
#pragma once

#include "launcher/own_path.h"

namespace fenzar {

enum class RunMode { parent, reentered };

// Re-entered only when FENZAR_ONEFILE_PARENT names an instance of the same
// executable that the system shows started this one: its real parent, or
// the end of a short chain of real parents that all run the same executable,
// each created before its child and, for an elevated instance, elevated.
// Parent mode otherwise. When the named process is this instance's real
// parent but cannot be examined, or this process's own parent and creation
// time cannot be read, the launcher ends with its message and status 2.
// *started_by_named, when given, tells whether the named instance is this
// one's real parent itself (not the end of a longer chain): only then is
// the environment exactly what that instance set for its child.
RunMode detect_run_mode(OwnPaths& own_paths, bool* started_by_named = nullptr);
// Clears the inherited start values and publishes the own process id.
void prepare_parent_environment();

}  // namespace fenzar
