// Test application for the parent's supervision: does what the PROBE_*
// variables ask, then returns PROBE_EXIT (decimal, default 0).
//
//   PROBE_OUT=TEXT         TEXT and a newline through the C runtime's stdout
//   PROBE_ERR=TEXT         TEXT and a newline through the C runtime's stderr
//   PROBE_DEEP=LENGTH      a tree below the application's directory whose
//                          deepest file has a full path of LENGTH units
//                          (extended-length form), with read-only files and
//                          directories on the way
//   PROBE_HOLD=NAME        creates NAME beside the library and has
//   PROBE_HOLDER=PROGRAM   `PROGRAM hold PATH EVENT` hold it open without
//                          delete sharing; returns once it holds the file
//   PROBE_CTRL_C=STATUS    handles console interrupts itself: prints
//                          "interrupted" and ends with STATUS
//   PROBE_SLEEP_MS=N       sleeps N ms, then prints "finished"
//   PROBE_AGAIN=1          prints "in_job=0|1" (whether it runs in a job),
//                          then starts its own launcher (argv[0]) again
//                          with the one argument "again", waits, and prints
//                          "again=<exit code>"; an instance started with
//                          "again" does not do it once more
//   PROBE_AGAIN_SET=NAME=VALUE  with PROBE_AGAIN: sets the variable NAME to
//                          VALUE for that copy, as a program between the
//                          two could
//
// It first prints "path=LIBRARY PATH"; every step prints one line on stdout
// saying what it did.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::wstring variable(const wchar_t* name) {
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    if (length == 0 || length >= 32768) return {};
    return std::wstring(value, length);
}

void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

std::wstring directory_of(const wchar_t* path) {
    std::wstring text = path;
    return text.substr(0, text.rfind(L'\\'));
}

void write_file(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        say("probe: cannot create a file (error %lu)\n", GetLastError());
        return;
    }
    DWORD written = 0;
    WriteFile(file, "probe", 5, &written, nullptr);
    CloseHandle(file);
}

// Directories of 200-unit names down to the requested length; a read-only
// file in every tenth directory, every twentieth directory read-only itself
// once it is filled.
void make_deep_tree(const std::wstring& base, size_t target_length) {
    std::wstring path = L"\\\\?\\" + base;
    std::wstring name(200, L'n');
    std::wstring read_only_directories[200];
    size_t read_only_count = 0;
    int level = 0;
    while (path.size() + 1 + name.size() + 1 + 8 <= target_length) {
        path += L'\\';
        path += name;
        if (!CreateDirectoryW(path.c_str(), nullptr)) {
            say("probe: cannot create a directory at %zu units (error %lu)\n", path.size(), GetLastError());
            return;
        }
        if (++level % 10 == 0) {
            write_file(path + L"\\ro.txt");
            SetFileAttributesW((path + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        }
        if (level % 20 == 0 && read_only_count < 200) read_only_directories[read_only_count++] = path;
    }
    size_t padding = target_length - path.size() - 1;
    std::wstring leaf = path + L'\\' + std::wstring(padding, L'f');
    write_file(leaf);
    for (size_t i = 0; i < read_only_count; ++i)
        SetFileAttributesW(read_only_directories[i].c_str(), FILE_ATTRIBUTE_READONLY);
    DWORD attributes = GetFileAttributesW(leaf.c_str());
    say("deep=%zu levels=%d exists=%d\n", leaf.size(), level, attributes != INVALID_FILE_ATTRIBUTES ? 1 : 0);
}

void hold_file(const std::wstring& path, const std::wstring& holder) {
    write_file(path);
    wchar_t event_name[64];
    std::swprintf(event_name, 64, L"fenzar_probe_held_%lu", GetCurrentProcessId());
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, event_name);
    std::wstring command = L"\"" + holder + L"\" hold \"" + path + L"\" " + event_name;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // Nothing inherited: the holder must not keep the caller's pipes open.
    if (!CreateProcessW(holder.c_str(), command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &process)) {
        say("probe: cannot start the holder (error %lu)\n", GetLastError());
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    DWORD waited = WaitForSingleObject(held, 30000);
    say("held=%d\n", waited == WAIT_OBJECT_0 ? 1 : 0);
}

DWORD interrupt_status = 0;

BOOL WINAPI end_on_interrupt(DWORD control_type) {
    if (control_type != CTRL_C_EVENT) return FALSE;
    say("interrupted\n");
    ExitProcess(interrupt_status);
}

void run_launcher_again(const wchar_t* launcher) {
    std::wstring setting = variable(L"PROBE_AGAIN_SET");
    size_t equals = setting.find(L'=');
    if (equals != std::wstring::npos) {
        SetEnvironmentVariableW(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str());
    }
    std::wstring command = L"\"" + std::wstring(launcher) + L"\" again";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(launcher, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        say("probe: cannot start the launcher again (error %lu)\n", GetLastError());
        return;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    say("again=%lu\n", code);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* path) {
    say("path=%ls\n", path);
    std::wstring ctrl_c = variable(L"PROBE_CTRL_C");
    if (!ctrl_c.empty()) {
        interrupt_status = std::wcstoul(ctrl_c.c_str(), nullptr, 10);
        SetConsoleCtrlHandler(end_on_interrupt, TRUE);
    }
    if (variable(L"PROBE_AGAIN") == L"1") {
        BOOL in_job = FALSE;
        IsProcessInJob(GetCurrentProcess(), nullptr, &in_job);
        say("in_job=%d\n", in_job ? 1 : 0);
        bool started_again = argc > 1 && std::wstring(argv[1]) == L"again";
        if (!started_again) run_launcher_again(argv[0]);
    }
    std::wstring out = variable(L"PROBE_OUT");
    if (!out.empty()) say("%ls\n", out.c_str());
    std::wstring err = variable(L"PROBE_ERR");
    if (!err.empty()) {
        std::fprintf(stderr, "%ls\n", err.c_str());
        std::fflush(stderr);
    }
    std::wstring deep = variable(L"PROBE_DEEP");
    if (!deep.empty()) make_deep_tree(directory_of(path), std::wcstoul(deep.c_str(), nullptr, 10));
    std::wstring hold = variable(L"PROBE_HOLD");
    if (!hold.empty()) hold_file(directory_of(path) + L"\\" + hold, variable(L"PROBE_HOLDER"));
    std::wstring sleep = variable(L"PROBE_SLEEP_MS");
    if (!sleep.empty()) {
        Sleep(std::wcstoul(sleep.c_str(), nullptr, 10));
        say("finished\n");
    }
    return static_cast<int>(std::wcstoul(variable(L"PROBE_EXIT").c_str(), nullptr, 10));
}
