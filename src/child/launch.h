// Starting the second instance and waiting for it.
#pragma once

#include <cstdint>

// Sets FENZAR_ONEFILE_DIRECTORY and FENZAR_ORIGINAL_ARGV0 for the application.
void set_child_environment();
// Starts the launcher's own executable, waits, removes the target directory;
// the child's exit status. Ends through the stop once one has begun.
int32_t start_child_and_wait();
