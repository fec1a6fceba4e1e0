// Test program: keeps a live process of a chosen executable until its
// standard input reaches end of file, so that a test can hand its id to a
// launcher.
//   hold_process
//       prints "pid=<its own process id>"
//   hold_process created
//       prints "pid=<id> created=<its creation time>" (GetProcessTimes, in
//       100-ns units since 1601)
//   hold_process PROGRAM
//       starts PROGRAM suspended, so that it never runs a step of its own (as
//       a program that wants a live process of that file keeps one), prints
//       "pid=<its process id>", and terminates it at the end; status 120 when
//       it cannot be started
// Exit status 0.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    PROCESS_INFORMATION held = {};
    bool show_created = argc == 2 && std::wcscmp(argv[1], L"created") == 0;
    if (argc > 1 && !show_created) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        if (!CreateProcessW(argv[1], nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                            &held)) {
            std::fprintf(stderr, "hold_process: cannot start %ls (error %lu)\n", argv[1], GetLastError());
            return 120;
        }
    }
    DWORD shown = held.hProcess != nullptr ? held.dwProcessId : GetCurrentProcessId();
    std::printf("pid=%lu", static_cast<unsigned long>(shown));
    if (show_created) {
        FILETIME created, exited, kernel, user;
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
        std::printf(" created=%llu",
                    (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime);
    }
    std::printf("\n");
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
