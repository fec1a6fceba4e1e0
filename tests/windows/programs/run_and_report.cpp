// Test driver: run_and_report.exe PROGRAM [ARGS...] starts PROGRAM with the
// rest of its own command line, waits for it and prints
// "exit_code=<unsigned decimal>" on its standard output, so that a test under
// Wine sees the full 32-bit status that a Linux shell cuts to 8 bits. Its own
// status is 0 when the program ran and 120 when it could not be started.
// It takes Ctrl+C and Ctrl+Break itself, so that on a terminal it outlives
// the event it shares with the program and reports how that program ended.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "start_and_report.h"

namespace {

BOOL WINAPI outlive_interrupt(DWORD type) { return type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: run_and_report PROGRAM [ARGS...]\n", stderr);
        return 120;
    }
    SetConsoleCtrlHandler(outlive_interrupt, TRUE);
    // The child gets the caller's arguments byte for byte, including the way
    // PROGRAM itself was quoted.
    return start_and_report("run_and_report", argv[1], skip_argument_zero(GetCommandLineW()));
}
