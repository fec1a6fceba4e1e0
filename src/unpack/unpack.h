// Writing the archive's files below the target directory.
#pragma once

#include <atomic>
#include <cstdint>

#include "launcher/wide.h"

// 1 from just before the first record is read; never reset. Read by the
// console control handler on another thread.
extern std::atomic<uint8_t> extraction_started;
// Full path of the first record; empty until it has been seen.
extern WideBuffer<4096> first_entry_path;

// Parent mode: writes every record, then closes the reader. Re-entered mode:
// stops at the first record's name, leaving its path in first_entry_path.
void unpack_archive();
