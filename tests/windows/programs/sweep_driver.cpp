// Test driver for the sweep of dead launchers' trees.
//
//   sweep_driver kill LAUNCHER
//     starts LAUNCHER (a launcher of child_probe_app) with its output on a
//     pipe, waits for the application's first line ("path=..."), ends the
//     launcher with TerminateProcess, as End task does, and waits for it;
//     prints "launcher_pid=<id>" and the application's line.
//   sweep_driver together LAUNCHER STATUS [LAUNCHER STATUS...]
//     starts every LAUNCHER at once, each with PROBE_EXIT=STATUS, waits for
//     all of them and prints "exit_code=<full 32-bit status>" for each, in
//     order.
// Exit status 0 when it could do what was asked, 120 otherwise (with a line
// on standard error).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "sweep_driver: %s (error %lu)\n", what, GetLastError());
    std::exit(120);
}

PROCESS_INFORMATION start(const wchar_t* launcher, HANDLE output) {
    std::wstring line = L"\"" + std::wstring(launcher) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(launcher, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        fail("cannot start a launcher");
    }
    CloseHandle(process.hThread);
    return process;
}

int kill_while_running(const wchar_t* launcher) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) fail("cannot make a pipe");
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    PROCESS_INFORMATION process = start(launcher, write_end);
    CloseHandle(write_end);
    std::string text;
    char buffer[512];
    DWORD read = 0;
    while (text.find('\n') == std::string::npos) {
        if (!ReadFile(read_end, buffer, sizeof buffer, &read, nullptr) || read == 0)
            fail("no line from the application");
        text.append(buffer, read);
    }
    if (!TerminateProcess(process.hProcess, 1)) fail("cannot end the launcher");
    WaitForSingleObject(process.hProcess, INFINITE);
    std::printf("launcher_pid=%lu\n%s", process.dwProcessId, text.substr(0, text.find('\n') + 1).c_str());
    return 0;
}

int start_together(int count, wchar_t** pairs) {
    std::vector<HANDLE> processes;
    for (int i = 0; i + 1 < count; i += 2) {
        SetEnvironmentVariableW(L"PROBE_EXIT", pairs[i + 1]);
        processes.push_back(start(pairs[i], GetStdHandle(STD_OUTPUT_HANDLE)).hProcess);
    }
    WaitForMultipleObjects(static_cast<DWORD>(processes.size()), processes.data(), TRUE, INFINITE);
    for (HANDLE process : processes) {
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        std::printf("exit_code=%lu\n", static_cast<unsigned long>(code));
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"kill") return kill_while_running(argv[2]);
    if (argc >= 4 && argc % 2 == 0 && std::wstring(argv[1]) == L"together") return start_together(argc - 2, argv + 2);
    std::fprintf(stderr, "usage: sweep_driver kill LAUNCHER | together LAUNCHER STATUS...\n");
    return 120;
}
