// The launcher's own executable path in the forms the other steps need, and
// the normal form by which an instance recognises a running instance of
// itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/wide.h"

// Capacity of both paths that runs_same_executable compares.
inline constexpr size_t executable_path_capacity = 4097;

// Each is empty at start, filled once by its first user and then kept.
extern WideBuffer<4096> module_file_name;
extern WideBuffer<executable_path_capacity> resolved_own_path;
extern WideBuffer<4097> plain_own_path;

// Fill module_file_name (an unreadable or cut path is an immediate stop) or
// plain_own_path when still empty.
void fill_module_file_name();
void fill_plain_own_path();

// Final path of the file the path names, without the extended-length prefix;
// the path stays as it was where a step is impossible. A final path whose
// plain form passes the capacity is an immediate stop.
void resolve_final_path(char16_t* path, size_t capacity);
// Replaces the directory part by its short form; the last component stays.
void shorten_directory_part(char16_t* path, size_t capacity);
// What examining another process found.
enum class SameExecutable {
    yes,
    // It runs another file, or no process has the id (any more).
    no,
    // It exists but cannot be examined: whether it is this launcher's
    // parent stays open.
    unknown,
};
// Whether the process runs the same executable file as this one; for
// unknown, *error holds the system's reason.
SameExecutable runs_same_executable(uint32_t process_id, uint32_t* error);

// For tests: back to the empty buffers of a new process.
void reset_own_path_state();
