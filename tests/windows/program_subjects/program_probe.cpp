// Test subject for launchers that run a program (fenzar-pack --exe): an
// ordinary console executable that knows nothing of Fenzar. It imports
// neighbour_lib.dll, so Windows must find that DLL beside it. It prints,
// one item per line in UTF-8, straight to the standard output handle:
//
//   raw=TEXT              GetCommandLineW(), as it is
//   argc=N, argv[I]=TEXT  the C runtime's arguments
//   module=TEXT           its own path (GetModuleFileNameW)
//   cwd=TEXT
//   neighbour=42          from neighbour_lib.dll
//   env NAME=VALUE        (or "env NAME unset") for the seven FENZAR_ variables
//
// Then, as its environment asks:
//   PROBE_DATA=NAME      prints "data=<the first line of the file NAME beside it>"
//   PROBE_STDIN=1        prints "stdin=<all of standard input>" (trailing newline cut)
//   PROBE_STDERR=TEXT    writes TEXT and a newline to standard error
//   PROBE_SPAWN=PROGRAM  starts PROGRAM (no arguments, the same standard
//                        handles) without PROBE_SPAWN in its environment and
//                        prints "spawned=<its process id>"; "self" is its own
//                        path, "argv0" the value of FENZAR_ORIGINAL_ARGV0
//   PROBE_SPAWN_WAIT=1   then waits for it
//   PROBE_SPAWN_BREAKAWAY=1  starts it with CREATE_BREAKAWAY_FROM_JOB
//   PROBE_HANDLER=exit:N a console control handler that prints "event=<type>"
//                        and ends the process with N; =none: no handler
//   PROBE_SLEEP_MS=N     prints "ready", sleeps N ms, prints "finished"
//   PROBE_EXIT=N         its exit status (decimal or 0x-hex), default 0
#include <windows.h>

#include <cwchar>
#include <string>

#include "../apps/write_line.h"

extern "C" __declspec(dllimport) int neighbour_value();

namespace {

std::wstring variable(const wchar_t* name, bool* present = nullptr) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (present != nullptr) *present = size != 0;
    if (size == 0) return {};
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

std::wstring from_utf8(const std::string& bytes) {
    int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
    return text;
}

std::string read_all(HANDLE handle) {
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(handle, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
    return bytes;
}

UINT exit_on_event = 0;

BOOL WINAPI end_on_event(DWORD type) {
    write_line(L"event=" + std::to_wstring(type));
    ExitProcess(exit_on_event);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    write_line(std::wstring(L"raw=") + GetCommandLineW());
    write_line(L"argc=" + std::to_wstring(argc));
    for (int i = 0; i < argc; ++i) write_line(L"argv[" + std::to_wstring(i) + L"]=" + argv[i]);
    wchar_t module[4096];
    DWORD length = GetModuleFileNameW(nullptr, module, 4096);
    std::wstring own(module, length);
    write_line(L"module=" + own);
    wchar_t cwd[4096];
    write_line(L"cwd=" + std::wstring(cwd, GetCurrentDirectoryW(4096, cwd)));
    write_line(L"neighbour=" + std::to_wstring(neighbour_value()));
    static const wchar_t* const names[] = {
        L"FENZAR_ONEFILE_PARENT",    L"FENZAR_ONEFILE_START",  L"FENZAR_ONEFILE_TIME_US",     L"FENZAR_ONEFILE_RANDOM",
        L"FENZAR_ONEFILE_DIRECTORY", L"FENZAR_ORIGINAL_ARGV0", L"FENZAR_ONEFILE_CACHE_FILES",
    };
    for (const wchar_t* name : names) {
        bool present = false;
        std::wstring value = variable(name, &present);
        write_line(std::wstring(L"env ") + name + (present ? L"=" + value : std::wstring(L" unset")));
    }

    bool present = false;
    std::wstring data = variable(L"PROBE_DATA", &present);
    if (present) {
        std::wstring path = own.substr(0, own.rfind(L'\\') + 1) + data;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        std::string bytes = file == INVALID_HANDLE_VALUE ? std::string("<missing>") : read_all(file);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        write_line(L"data=" + from_utf8(bytes.substr(0, bytes.find('\n'))));
    }
    if (!variable(L"PROBE_STDIN").empty()) {
        std::string bytes = read_all(GetStdHandle(STD_INPUT_HANDLE));
        while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
        write_line(L"stdin=" + from_utf8(bytes));
    }
    std::wstring to_stderr = variable(L"PROBE_STDERR");
    if (!to_stderr.empty()) {
        std::string bytes(to_stderr.begin(), to_stderr.end());
        bytes += "\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    std::wstring spawn = variable(L"PROBE_SPAWN");
    if (!spawn.empty()) {
        if (spawn == L"self") spawn = own;
        if (spawn == L"argv0") spawn = variable(L"FENZAR_ORIGINAL_ARGV0");
        SetEnvironmentVariableW(L"PROBE_SPAWN", nullptr);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION started = {};
        std::wstring line = L"\"" + spawn + L"\"";
        DWORD flags = variable(L"PROBE_SPAWN_BREAKAWAY").empty() ? 0 : CREATE_BREAKAWAY_FROM_JOB;
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, &started)) {
            write_line(L"spawned=" + std::to_wstring(started.dwProcessId));
            if (!variable(L"PROBE_SPAWN_WAIT").empty()) WaitForSingleObject(started.hProcess, INFINITE);
            CloseHandle(started.hThread);
            CloseHandle(started.hProcess);
        } else {
            write_line(L"spawn failed=" + std::to_wstring(GetLastError()));
        }
    }
    std::wstring handler = variable(L"PROBE_HANDLER");
    if (handler.rfind(L"exit:", 0) == 0) {
        exit_on_event = static_cast<UINT>(std::wcstoul(handler.c_str() + 5, nullptr, 0));
        SetConsoleCtrlHandler(end_on_event, TRUE);
    }
    std::wstring sleep = variable(L"PROBE_SLEEP_MS");
    if (!sleep.empty()) {
        write_line(L"ready");
        Sleep(static_cast<DWORD>(std::wcstoul(sleep.c_str(), nullptr, 10)));
        write_line(L"finished");
    }
    std::wstring code = variable(L"PROBE_EXIT");
    return code.empty() ? 0 : static_cast<int>(std::wcstoul(code.c_str(), nullptr, 0));
}
