// Writing the archive's files below a directory.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/wide.h"
#include "payload/attached_data.h"

inline constexpr size_t entry_path_capacity = attached_data_format::max_path_units;
inline constexpr size_t entry_name_capacity = attached_data_format::max_name_units;
inline constexpr uint32_t copy_piece_size = 32768;

// 1 from just before the first record is read; never reset. Read by the
// console control handler on another thread.
extern std::atomic<uint8_t> extraction_started;
// Full path of the first record; empty until it has been seen.
extern WideBuffer<entry_path_capacity> first_entry_path;

// Writes every record of the open payload below directory, then closes the
// reader. Once a stop has begun (base/stop.h) it writes nothing more and ends
// through the stop.
void unpack_all_entries(const char16_t* directory);
// Parent mode: the same into a directory that it creates first, privately,
// refusing one that exists (create_target_directory); extraction_started is
// set only once the directory is this process's own, so that no cleanup
// removes a directory it did not create.
void unpack_into_new_directory(const char16_t* directory);
// Main thread, before a failure exit or on a stop: closes the file being
// written, if any, and marks the unpacking as left.
void abandon_unpacking();
// Re-entered mode: reads only the first record's name and returns its full
// path below directory (first_entry_path, empty for an archive without
// records), leaving the reader at the record's size field.
const char16_t* find_first_entry_path(const char16_t* directory);

// Opens the given attached data and writes all of it below directory, as a
// parent does; for every program that unpacks data it was given.
void unpack_attached_data(AttachedData attached_data, const char16_t* directory);

// For tests: back to the state of a new process.
void reset_unpack_state();
