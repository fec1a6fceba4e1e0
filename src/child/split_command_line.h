// Splits a raw command line into arguments by the rules of the system's
// CommandLineToArgvW. The launcher does it itself rather than load SHELL32,
// which brings USER32, GDI32 and COM with it: under Wine that cost each
// start about 35 ms.
#pragma once

#include "platform/platform.h"

namespace fenzar {

// Argument 0 is the program name: up to the next double quote when the line
// starts with one, otherwise up to the first space or tab, taken as it
// stands. The others are separated by spaces and tabs outside quotes;
// backslashes are literal unless a double quote follows them, 2n backslashes
// and a quote give n backslashes and open or close quoting, 2n+1 give n
// backslashes and a literal quote; in a run of quotes every third one is
// literal.
struct CommandLineArguments {
    platform::OwnedMemory<char16_t*> pointers;  // count arguments, then null
    platform::OwnedMemory<char16_t> units;      // the arguments' text
    int count = 0;

    // False when memory ran out.
    bool valid() const { return pointers.valid(); }
};

CommandLineArguments split_command_line(const char16_t* command_line);

}  // namespace fenzar
