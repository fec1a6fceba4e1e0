// Creating the directories above a file, remembering those known to exist.
#pragma once

// Afterwards the directory containing path exists unless the system refused.
void create_containing_directories(const char16_t* path);
// True when the directory is known to exist or was created.
bool ensure_directory(const char16_t* path);
