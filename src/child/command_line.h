// The child's command line: the launcher's own arguments, argument 0 replaced
// by its executable path, quoted so that the platform's splitter undoes it.
#pragma once

#include "base/wide.h"

inline constexpr size_t child_command_line_capacity = 32768;
extern WideBuffer<child_command_line_capacity> child_command_line;

void build_child_command_line();
void append_argument(const char16_t* argument);

// For tests: back to the empty line of a new process.
void reset_command_line_state();
