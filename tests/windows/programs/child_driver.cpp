// Windows-side helper for the supervision tests:
//   child_driver raw PROGRAM COMMAND_LINE
//       starts PROGRAM with exactly COMMAND_LINE (argument 0 included) and
//       the caller's standard handles, waits and prints
//       "exit_code=<unsigned decimal>"; status 120 when it cannot start it
//   child_driver raw-named PROGRAM COMMAND_LINE
//       like raw, with FENZAR_ONEFILE_PARENT set to the driver's own id: the
//       program's real parent is the process the variable names
//   child_driver raw-env PROGRAM VARIABLE
//       like raw, with the command line taken from the environment variable
//       VARIABLE: a line near the system's 32,767 characters does not fit
//       into the driver's own command line beside the other arguments
//   child_driver code-pages
//       prints "acp=N oemcp=N" (GetACP, GetOEMCP)
//   child_driver print-args [ARGS...]
//       prints its own arguments as the C runtime split them, "argv[I]=TEXT"
//       in UTF-8, so that a test can compare them with what an application
//       behind a launcher receives from the same command line
//   child_driver hold PATH EVENT
//       opens PATH without delete sharing, signals the named event EVENT and
//       keeps the file open for 6 seconds
//   child_driver terminate-on-input PROGRAM COMMAND_LINE
//       starts PROGRAM like raw, then on a line (or end of file) on its own
//       standard input ends it with TerminateProcess, as Task Manager's End
//       task does, and prints "terminated=<result>"
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "start_and_report.h"

namespace {

void print_utf8(const std::wstring& text) {
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

int hold(const wchar_t* path, const wchar_t* event_name) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name);
    if (file == INVALID_HANDLE_VALUE || event == nullptr) return 1;
    SetEvent(event);
    Sleep(6000);
    CloseHandle(file);
    return 0;
}

int terminate_on_input(const wchar_t* program, const wchar_t* command_line) {
    std::wstring line = command_line;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "child_driver: cannot start %ls (error %lu)\n", program, GetLastError());
        return 120;
    }
    CloseHandle(process.hThread);
    char buffer[16];
    DWORD read = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr);
    BOOL terminated = TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    std::printf("terminated=%d\n", terminated ? 1 : 0);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"raw" && argc == 4) return start_and_report("child_driver", argv[2], argv[3]);
    if (command == L"raw-named" && argc == 4) {
        SetEnvironmentVariableW(L"FENZAR_ONEFILE_PARENT", std::to_wstring(GetCurrentProcessId()).c_str());
        return start_and_report("child_driver", argv[2], argv[3]);
    }
    if (command == L"raw-env" && argc == 4) {
        static wchar_t line[32768];
        DWORD length = GetEnvironmentVariableW(argv[3], line, 32768);
        if (length == 0 || length >= 32768) return 120;
        return start_and_report("child_driver", argv[2], line);
    }
    if (command == L"code-pages") {
        std::printf("acp=%u oemcp=%u\n", GetACP(), GetOEMCP());
        return 0;
    }
    if (command == L"hold" && argc == 4) return hold(argv[2], argv[3]);
    if (command == L"terminate-on-input" && argc == 4) return terminate_on_input(argv[2], argv[3]);
    if (command == L"print-args") {
        for (int i = 0; i < argc; ++i) print_utf8(L"argv[" + std::to_wstring(i) + L"]=" + argv[i] + L"\n");
        return 0;
    }
    std::fputs(
        "usage: child_driver raw PROGRAM COMMAND_LINE | raw-named PROGRAM COMMAND_LINE"
        " | raw-env PROGRAM VARIABLE | code-pages"
        " | print-args [ARGS...] | hold PATH EVENT"
        " | terminate-on-input PROGRAM COMMAND_LINE\n",
        stderr);
    return 120;
}
