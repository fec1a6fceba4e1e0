// The choice between the two run modes and the environment that ties a
// parent to the instance it starts.
#pragma once

#include "launcher/own_path.h"

enum class RunMode { parent, reentered };

// Re-entered when FENZAR_ONEFILE_PARENT names a running instance of the same
// executable; parent mode otherwise. A process of that id that exists but
// cannot be examined ends the launcher with its message and status 2.
RunMode detect_run_mode(OwnPaths& own_paths);
// Clears the inherited start values and publishes the own process id.
void prepare_parent_environment();
