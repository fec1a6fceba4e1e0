// The child's command line: the launcher's own arguments, argument 0 replaced
// by its executable path, quoted so that the platform's splitter undoes it.
#pragma once

#include "base/wide.h"

inline constexpr size_t child_command_line_capacity = 32768;
using ChildCommandLine = WideBuffer<child_command_line_capacity>;

// Splits the process's raw command line and writes it into
// child_command_line, argument 0 replaced by module_file_name.
void build_child_command_line(ChildCommandLine& child_command_line, const char16_t* module_file_name);
// Appends one argument, quoted where the splitter needs it.
void append_argument(ChildCommandLine& child_command_line, const char16_t* argument);
