// Test application that starts its own launcher again, as programs that
// start workers from their own executable, or restart themselves, do. Packed
// with a file data.txt beside it.
//
//   start-copy keep|drop wait|exit
//       prints "first path=LIBRARY PATH", then starts argv[0] (the launcher)
//       as "copy FIRST_LIBRARY_PATH EVENT LAUNCHER_ID now|after-first" with
//       the caller's standard handles; LAUNCHER_ID is the first launcher's
//       process id (FENZAR_ONEFILE_PARENT). keep leaves FENZAR_ONEFILE_PARENT
//       in the copy's environment, drop removes it. With wait it waits for
//       the copy, prints "copy exit=N" and returns 0; with exit it waits
//       only until the copy's application runs (it signals the named event
//       EVENT) and returns 5, as a program that restarts itself.
//   copy FIRST_LIBRARY_PATH EVENT LAUNCHER_ID now|after-first
//       signals EVENT; with after-first then waits (up to 30 s) for the
//       first launcher to end and prints "first launcher ended=0|1" and
//       "first library exists=0|1"; then prints "copy path=LIBRARY PATH",
//       "copy parent=VALUE" (FENZAR_ONEFILE_PARENT) and "copy data
//       exists=0|1" (its data.txt), and returns 7.
#include <windows.h>

#include <cwchar>
#include <string>

#include "write_line.h"

namespace {

std::wstring exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES ? L"1" : L"0";
}

std::wstring parent_variable() {
    wchar_t value[64] = L"";
    DWORD length = GetEnvironmentVariableW(L"FENZAR_ONEFILE_PARENT", value, 64);
    return length < 64 ? value : L"";
}

int start_copy(const wchar_t* launcher, const wchar_t* path, bool keep, bool wait) {
    write_line(std::wstring(L"first path=") + path);
    std::wstring event_name = L"fenzar_restart_" + std::to_wstring(GetCurrentProcessId());
    HANDLE running = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
    std::wstring command = std::wstring(L"\"") + launcher + L"\" copy \"" + path + L"\" " + event_name + L" " +
                           parent_variable() + (wait ? L" now" : L" after-first");
    if (!keep) SetEnvironmentVariableW(L"FENZAR_ONEFILE_PARENT", nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(launcher, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        write_line(L"cannot start the copy, error " + std::to_wstring(GetLastError()));
        return 1;
    }
    CloseHandle(process.hThread);
    if (!wait) {
        CloseHandle(process.hProcess);
        if (WaitForSingleObject(running, 30000) != WAIT_OBJECT_0) write_line(L"the copy did not run");
        return 5;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    write_line(L"copy exit=" + std::to_wstring(code));
    return 0;
}

int copy(const wchar_t* first_path, const wchar_t* event_name, const wchar_t* launcher_id, bool after_first,
         const wchar_t* path) {
    HANDLE running = OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name);
    if (running != nullptr) SetEvent(running);
    if (after_first) {
        HANDLE first = OpenProcess(SYNCHRONIZE, FALSE, std::wcstoul(launcher_id, nullptr, 10));
        bool ended = first == nullptr || WaitForSingleObject(first, 30000) == WAIT_OBJECT_0;
        write_line(std::wstring(L"first launcher ended=") + (ended ? L"1" : L"0"));
        write_line(L"first library exists=" + exists(first_path));
    }
    std::wstring directory = path;
    directory.resize(directory.rfind(L'\\'));
    write_line(std::wstring(L"copy path=") + path);
    write_line(L"copy parent=" + parent_variable());
    write_line(L"copy data exists=" + exists(directory + L"\\data.txt"));
    return 7;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* path) {
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"start-copy" && argc == 4) {
        return start_copy(argv[0], path, std::wstring(argv[2]) == L"keep", std::wstring(argv[3]) == L"wait");
    }
    if (command == L"copy" && argc == 6) {
        return copy(argv[2], argv[3], argv[4], std::wstring(argv[5]) == L"after-first", path);
    }
    write_line(L"usage: start-copy keep|drop wait|exit | copy FIRST_LIBRARY_PATH EVENT LAUNCHER_ID now|after-first");
    return 1;
}
