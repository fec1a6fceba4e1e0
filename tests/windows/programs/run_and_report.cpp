// Test driver: run_and_report.exe PROGRAM [ARGS...] starts PROGRAM with the
// rest of its own command line, waits for it and prints
// "exit_code=<unsigned decimal>" on its standard output, so that a test under
// Wine sees the full 32-bit status that a Linux shell cuts to 8 bits. Its own
// status is 0 when the program ran and 120 when it could not be started.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

// The part of the raw command line after argument 0, as CommandLineToArgvW
// splits it: quoted sections may hold spaces, and argument 0 ends at the
// first space or tab outside quotes (backslashes have no special meaning).
const wchar_t* skip_argument_zero(const wchar_t* line) {
    bool quoted = false;
    for (; *line; ++line) {
        if (*line == L'"') quoted = !quoted;
        else if (!quoted && (*line == L' ' || *line == L'\t')) break;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: run_and_report PROGRAM [ARGS...]\n", stderr);
        return 120;
    }
    // The child gets the caller's arguments byte for byte, including the way
    // PROGRAM itself was quoted.
    wchar_t* command_line = _wcsdup(skip_argument_zero(GetCommandLineW()));

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[1], command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "run_and_report: cannot start %ls (error %lu)\n", argv[1], GetLastError());
        return 120;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    std::printf("exit_code=%lu\n", static_cast<unsigned long>(code));
    std::fflush(stdout);
    return 0;
}
