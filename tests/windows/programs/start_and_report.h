// Shared by the test drivers: starts PROGRAM with COMMAND_LINE and the
// caller's standard handles, waits for it and prints
// "exit_code=<unsigned decimal>", the full 32-bit status that a Linux shell
// would cut to 8 bits. Returns 0 when the program ran, 120 when it could not
// be started (with a line on standard error naming the driver). With a token
// the program runs as that token's user (CreateProcessAsUserW).
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

// The part of the raw command line after argument 0, as CommandLineToArgvW
// splits it: quoted sections may hold spaces, and argument 0 ends at the
// first space or tab outside quotes (backslashes have no special meaning).
inline const wchar_t* skip_argument_zero(const wchar_t* line) {
    bool quoted = false;
    for (; *line; ++line) {
        if (*line == L'"')
            quoted = !quoted;
        else if (!quoted && (*line == L' ' || *line == L'\t'))
            break;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

inline int start_and_report(const char* driver, const wchar_t* program, const wchar_t* command_line,
                            HANDLE token = nullptr) {
    std::wstring line = command_line;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    BOOL started = token != nullptr ? CreateProcessAsUserW(token, program, line.data(), nullptr, nullptr, TRUE, 0,
                                                           nullptr, nullptr, &startup, &process)
                                    : CreateProcessW(program, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                                     &startup, &process);
    if (!started) {
        std::fprintf(stderr, "%s: cannot start %ls (error %lu)\n", driver, program, GetLastError());
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
