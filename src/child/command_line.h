// The child's command line: the launcher's own arguments, argument 0 replaced
// by its executable path, quoted so that the platform's splitter undoes it.
#pragma once

#include "base/wide.h"

namespace fenzar {

inline constexpr size_t child_command_line_capacity = 32768;
using ChildCommandLine = WideBuffer<child_command_line_capacity>;

// Splits the process's raw command line and writes it into
// child_command_line, argument 0 replaced by module_file_name.
void build_child_command_line(ChildCommandLine& child_command_line, const char16_t* module_file_name);
// Appends one argument, quoted where the splitter needs it.
void append_argument(ChildCommandLine& child_command_line, const char16_t* argument);

// Where argument 0 of a raw command line ends, by the splitter's rule: after
// the closing double quote when the line starts with one, otherwise at the
// first space or tab. What follows is the user's own command line.
const char16_t* command_line_tail(const char16_t* raw_command_line);
// A program's command line: its path in double quotes, then the tail of
// the launcher's raw command line exactly as it stands, so that a program
// that parses its command line itself sees what it would have seen started
// directly. False, with the buffer emptied, when it does not fit.
bool build_program_command_line(ChildCommandLine& child_command_line, const char16_t* program_path,
                                const char16_t* raw_command_line);

}  // namespace fenzar
