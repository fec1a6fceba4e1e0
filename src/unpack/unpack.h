// Writing the archive's files below the target directory.
#pragma once

#include <atomic>
#include <cstdint>

#include "launcher/wide.h"

inline constexpr size_t entry_path_capacity = 4096;
inline constexpr size_t entry_name_capacity = 1023;
inline constexpr uint32_t copy_piece_size = 32768;

// 1 from just before the first record is read; never reset. Read by the
// console control handler on another thread.
extern std::atomic<uint8_t> extraction_started;
// Full path of the first record; empty until it has been seen.
extern WideBuffer<entry_path_capacity> first_entry_path;

// Parent mode: writes every record, then closes the reader. Re-entered mode:
// stops at the first record's name, leaving its path in first_entry_path and
// the reader at the record's size field.
void unpack_archive();
