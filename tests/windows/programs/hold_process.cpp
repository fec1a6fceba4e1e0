// Test program: prints "pid=<its process id>" (with the argument "created",
// "pid=<id> created=<its creation time>", GetProcessTimes in 100-ns units
// since 1601) and stays alive until its standard input reaches end of file,
// so that a test can hand a live process id of another executable to a
// launcher. Exit status 0.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    std::printf("pid=%lu", static_cast<unsigned long>(GetCurrentProcessId()));
    if (argc == 2 && std::wcscmp(argv[1], L"created") == 0) {
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
    return 0;
}
