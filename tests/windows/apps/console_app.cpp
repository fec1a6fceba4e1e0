// Test application for the console tests: does what the CONSOLE_APP_*
// variables ask, in this order, then returns CONSOLE_APP_EXIT (decimal,
// default 0).
//
//   CONSOLE_APP_HANDLER=exit:N  a console control handler that prints
//                               "event=<type>" and ends the process with N
//   CONSOLE_APP_HANDLER=ignore  a handler that prints "event=<type>" and
//                               takes the event, so the application runs on
//   CONSOLE_APP_ASSERT=1        a failed assert(): the C runtime reports it
//                               as the process's kind of program does (a
//                               line on stderr in a console program, a
//                               dialog in a windowed one) and ends with 3
//   CONSOLE_APP_SLEEP_MS=N      prints "ready", sleeps N ms, prints "finished"
//
// It first prints "path=LIBRARY PATH". Lines go straight to the standard
// output handle (write_line.h).
#undef NDEBUG
#include <windows.h>

#include <cassert>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "write_line.h"

namespace {

std::wstring variable(const wchar_t* name) {
    wchar_t value[256];
    DWORD length = GetEnvironmentVariableW(name, value, 256);
    if (length == 0 || length >= 256) return {};
    return std::wstring(value, length);
}

DWORD exit_status_on_event = 0;

BOOL WINAPI end_on_event(DWORD type) {
    write_line(L"event=" + std::to_wstring(type));
    ExitProcess(exit_status_on_event);
}

BOOL WINAPI take_event(DWORD type) {
    write_line(L"event=" + std::to_wstring(type));
    return TRUE;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t* path) {
    write_line(std::wstring(L"path=") + path);
    const std::wstring handler = variable(L"CONSOLE_APP_HANDLER");
    if (handler.rfind(L"exit:", 0) == 0) {
        exit_status_on_event = std::wcstoul(handler.c_str() + 5, nullptr, 10);
        SetConsoleCtrlHandler(end_on_event, TRUE);
    } else if (handler == L"ignore") {
        SetConsoleCtrlHandler(take_event, TRUE);
    }
    if (variable(L"CONSOLE_APP_ASSERT") == L"1") {
        const int packed = 0;
        assert(packed == 1);
    }
    const std::wstring sleep = variable(L"CONSOLE_APP_SLEEP_MS");
    if (!sleep.empty()) {
        write_line(L"ready");
        Sleep(std::wcstoul(sleep.c_str(), nullptr, 10));
        write_line(L"finished");
    }
    return static_cast<int>(std::wcstoul(variable(L"CONSOLE_APP_EXIT").c_str(), nullptr, 10));
}
