// One run of the launcher: everything it holds from the start to the end of
// the process, in one place. The flow passes each operation the parts it
// uses. Exactly two pointers to it are registered, for the two callers that
// get no context of ours, and no function keeps state of its own besides:
// - the console handler's run (launcher/parent_end.cpp): the system calls
//   the handler on a thread of its own, with nothing but the event;
// - the failure cleanup's context (base/report.cpp): every exit with status
//   2 ends the process wherever the failure is found, at any depth of the
//   flow, so it cannot be handed the run and must find it there.
//
// The buffers are fixed-size and live as long as the run: the executable's
// one run lasts until the process ends (launcher/entry.cpp); a test makes a
// new run for every case. State that a new step of the flow needs goes here
// as a field of its own, and is passed to that step.
#pragma once

#include "base/arguments.h"
#include "base/interruption.h"
#include "cache/cache.h"
#include "child/child_slot.h"
#include "child/command_line.h"
#include "child/load_failure.h"
#include "launcher/own_path.h"
#include "launcher/run_mode.h"
#include "payload/reader.h"
#include "payload/launch_settings.h"
#include "removal/tree_removal.h"
#include "sweep/sweep.h"
#include "target_dir/target_directory.h"
#include "unpack/unpack.h"

namespace fenzar {

struct Run {
    SavedArguments arguments;
    RunMode run_mode = RunMode::parent;
    // Re-entered, and the named instance started this one itself.
    bool started_by_named_parent = false;
    // module_file_name, resolved_own_path, plain_own_path.
    OwnPaths own_paths;
    // Final before the console handler exists; read by it afterwards.
    TargetDirectory target_directory;
    // The console event's state and the lock shared with the handler.
    Interruption interruption;
    PayloadReader reader;
    // extraction_started, entry_name, entry_path, known_directories, the
    // writer that makes the file calls and target_owner, which alone decides
    // whether the target directory may be removed.
    Unpacking unpacking;
    ChildCommandLine child_command_line;
    // child_process and what is known of its end.
    ChildSlot child;
    TreeRemoval removal;
    // Read beside the attached data; cache is false without --cache.
    LaunchSettings launch_settings;
    // In cache mode, the cache's paths and the lock that marks its content
    // as in use.
    CacheRun cache;
    // For a launcher whose first record is a program: its name, read before
    // unpacking, and its full path below the target directory, which is
    // final only after unpacking.
    WideBuffer<entry_name_capacity> program_name;
    WideBuffer<path_capacity + 1 + entry_name_capacity> program_path;
    // Reads that name with a reader of its own, so that the run's reader
    // stays at the start for the unpacking.
    Unpacking program_probe;
    // What the sweep beside the wait reads; it need only last until the
    // wait has begun.
    SweepRequest sweep_request{};
    // What the files tell of a failed start of the child or load of the
    // library, built just before the process ends with it.
    FailureExplanation failure_explanation;
};

}  // namespace fenzar
