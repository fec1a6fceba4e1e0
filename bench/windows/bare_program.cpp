// Does nothing; with the argument "twice" it first runs itself once more.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || std::wcscmp(argv[1], L"twice") != 0) return 0;
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t command_line[] = L"bare_program";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information = {};
    if (!CreateProcessW(path, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &information)) {
        return 1;
    }
    WaitForSingleObject(information.hProcess, INFINITE);
    CloseHandle(information.hThread);
    CloseHandle(information.hProcess);
    return 0;
}
