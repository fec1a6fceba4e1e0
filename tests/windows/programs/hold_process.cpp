// Test program: keeps a live process of a chosen executable until its
// standard input reaches end of file, so that a test can hand its id to a
// launcher.
//   hold_process
//       prints "pid=<its own process id>"
//   hold_process PROGRAM
//       starts PROGRAM suspended, so that it never runs a step of its own (as
//       a program that wants a live process of that file keeps one), prints
//       "pid=<its process id>", and terminates it at the end; status 120 when
//       it cannot be started
// Exit status 0.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    PROCESS_INFORMATION held = {};
    if (argc > 1) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        if (!CreateProcessW(argv[1], nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                            &held)) {
            std::fprintf(stderr, "hold_process: cannot start %ls (error %lu)\n", argv[1], GetLastError());
            return 120;
        }
    }
    DWORD shown = held.hProcess != nullptr ? held.dwProcessId : GetCurrentProcessId();
    std::printf("pid=%lu\n", static_cast<unsigned long>(shown));
    std::fflush(stdout);
    char buffer[256];
    DWORD read = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, buffer, sizeof buffer, &read, nullptr) && read != 0) {
    }
    if (held.hProcess != nullptr) {
        TerminateProcess(held.hProcess, 0);
        WaitForSingleObject(held.hProcess, INFINITE);
        CloseHandle(held.hThread);
        CloseHandle(held.hProcess);
    }
    return 0;
}
