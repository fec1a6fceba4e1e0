// The choice between the two run modes and the environment that ties a
// parent to the instance it starts.
#pragma once

enum class RunMode { parent, reentered };

extern RunMode run_mode;

// Re-entered when FENZAR_ONEFILE_PARENT names a running instance of the same
// executable; parent mode otherwise. A process of that id that exists but
// cannot be examined ends the launcher with its message and status 2.
RunMode detect_run_mode();
// Clears the inherited start values and publishes the own process id.
void prepare_parent_environment();
// Registers the console control handler (exit 2 when that fails) and the
// cleanup before a failure exit.
void register_parent_cleanups();

// For tests: back to the state of a new process.
void reset_run_mode_state();
