// Test program: prints "pid=<its process id>" and stays alive until its
// standard input reaches end of file, so that a test can hand a live process
// id of another executable to a launcher. Exit status 0.
#include <windows.h>

#include <cstdio>

int wmain() {
    std::printf("pid=%lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
    std::fflush(stdout);
    char buffer[256];
    DWORD read = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, buffer, sizeof buffer, &read, nullptr) && read != 0) {
    }
    return 0;
}
