// Starting the second instance and waiting for it.
#pragma once

#include <cstdint>

#include "base/arguments.h"
#include "base/callback.h"
#include "base/interruption.h"
#include "child/child_slot.h"
#include "child/command_line.h"
#include "child/load_failure.h"

namespace fenzar {

// Sets FENZAR_ONEFILE_DIRECTORY (the directory of plain_own_path) and
// FENZAR_ORIGINAL_ARGV0 for the application.
void set_child_environment(const SavedArguments& arguments, const char16_t* plain_own_path);
// Work that runs beside the wait for the child: begun once the child has
// started, ended as soon as the wait has returned (before the target
// directory is removed, and whether or not an interruption has begun).
struct BesideWait {
    // Returns what end is called with, as its context.
    Callback<void*()> begin;
    void (*end)(void* begun) = nullptr;
};

// A packed program started in place of a second instance.
struct ProgramChild {
    // Where its files were unpacked: where the explanation of a failed
    // start looks for the DLLs it imports.
    const char16_t* target_directory = nullptr;
};

// Starts the launcher's own executable with the command line, tied to a job
// that ends it with the launcher, and waits for it; the child's exit status.
// Ends through the interruption once one has begun.
//
// With program, application is the packed program instead. Its job holds
// the processes it starts too (unless they break away), so that a launcher
// that ends takes them with it. A failed start is explained as for a
// library (load_failure.h); so is an end with a status the loader gives a
// program it could not start (a DLL not found), after which the status is
// still returned unchanged. The explanation is built in the caller's room.
int32_t start_child_and_wait(ChildSlot& child, Interruption& interruption, const char16_t* application,
                             ChildCommandLine& child_command_line, FailureExplanation& explanation,
                             BesideWait beside = {}, const ProgramChild* program = nullptr);

}  // namespace fenzar
