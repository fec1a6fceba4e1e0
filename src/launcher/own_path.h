// The launcher's own executable path in the forms the other steps need, and
// the normal form by which an instance recognises a running instance of
// itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/wide.h"
#include "platform/platform.h"

namespace fenzar {

// Capacity of both paths that runs_same_executable compares, and of the
// plain path: one unit more than the longest path, to tell a path of
// path_capacity units from one the system cut.
inline constexpr size_t executable_path_capacity = path_capacity + 1;

// Each is empty at the start of a run, filled once by its first user and
// then kept.
struct OwnPaths {
    // The path the child is started from.
    WideBuffer<path_capacity> module_file_name;
    // The normal form that runs_same_executable compares.
    WideBuffer<executable_path_capacity> resolved_own_path;
    // The module path as the system gives it, which runs_same_executable
    // compares first; read once, and left empty when the read was cut.
    WideBuffer<executable_path_capacity> written_own_path;
    bool written_own_path_read = false;
    // The path whose directory the application is told.
    WideBuffer<executable_path_capacity> plain_own_path;
};

// Fill module_file_name (an unreadable or cut path is an immediate stop) or
// plain_own_path when still empty.
void fill_module_file_name(OwnPaths& own_paths);
void fill_plain_own_path(OwnPaths& own_paths);

// Final path of the file the path names, without the extended-length prefix;
// the path stays as it was where a step is impossible. A final path whose
// plain form passes the capacity is an immediate stop.
void resolve_final_path(char16_t* path, size_t capacity);
// Replaces the directory part by its short form; the last component stays.
void shorten_directory_part(char16_t* path, size_t capacity);
// What examining another process found.
enum class SameExecutable {
    yes,
    // It runs another file, or it has ended.
    no,
    // Its image cannot be read: whether it is this launcher's parent stays
    // open.
    unknown,
};
// Whether the process, opened with platform::open_process_for_query, runs
// the same executable file as this one: at once when its image path is the
// own module path as written (filling written_own_path on the first call),
// otherwise by the normal forms of both (filling resolved_own_path on first
// need); for unknown, *error holds the system's reason.
SameExecutable runs_same_executable(OwnPaths& own_paths, platform::ProcessHandle process, uint32_t* error);

}  // namespace fenzar
