// Creating the directories above a file, remembering those known to exist.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace fenzar {

inline constexpr int32_t known_directories_limit = 1024;

// Directories known to exist, in the order they became known, and the
// user's home directory once a climb needed it. Only grows during a run; the
// copies live until the process ends.
struct KnownDirectories {
    platform::OwnedMemory<char16_t> entries[known_directories_limit];
    int32_t count = 0;
    // The expanded "{HOME}", not valid before the first failed creation.
    platform::OwnedMemory<char16_t> home;
};

// Afterwards the directory containing path exists unless the system refused;
// the caller finds out when it opens the file.
void create_containing_directories(KnownDirectories& known_directories, const char16_t* path);
// True when the directory is known to exist or was created. The first
// creation that fails (a climb begins) expands "{HOME}", which counts as
// existing from then on, and stops the process if that cannot be expanded.
bool ensure_directory(KnownDirectories& known_directories, const char16_t* path);

// Parent mode, before the first record: creates the target directory, open
// only to the user, Administrators and SYSTEM, and remembers it. A directory
// that exists already, or one that cannot be created, ends the process with
// its message and status 2.
void create_target_directory(KnownDirectories& known_directories, const char16_t* directory);
// The same, returning false instead of ending the process (last_error()
// tells why): for the cache's private directory, whose failure is no error.
bool try_create_target_directory(KnownDirectories& known_directories, const char16_t* directory);

}  // namespace fenzar
