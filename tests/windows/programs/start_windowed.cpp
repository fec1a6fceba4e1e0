// Test driver: start_windowed.exe detached|inherited TITLE PROGRAM [ARGS...]
// starts PROGRAM with the rest of its command line and watches for a
// top-level window titled TITLE while the program runs.
//   detached:  no inherited handles, no standard handles, DETACHED_PROCESS:
//              no console either, as a windowed program started from Explorer.
//   inherited: the driver's own standard handles (a test's pipes).
// When such a window shows, it prints "window=TITLE", one "text=..." line for
// each static text in it (UTF-8; a line break inside shows as "\n"), then
// "shown", and waits for a line on its standard input (the test looks at the
// screen meanwhile) before it presses the window's OK button. Without a
// window it prints "window=none". Then it waits for the program and prints
// "exit_code=<unsigned decimal>". Status 0 when all of that ran, 120 when
// the program could not be started.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "start_and_report.h"

namespace {

struct Search {
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK match_title(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    wchar_t title[512] = {};
    GetWindowTextW(window, title, 511);
    if (IsWindowVisible(window) && std::wcscmp(title, search->title) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

std::string utf8(const std::wstring& text) {
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                            nullptr);
    }
    return bytes;
}

BOOL CALLBACK print_static_text(HWND child, LPARAM) {
    wchar_t class_name[64] = {};
    GetClassNameW(child, class_name, 63);
    if (_wcsicmp(class_name, L"Static") != 0) return TRUE;
    int length = GetWindowTextLengthW(child);
    if (length <= 0) return TRUE;
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(child, text.data(), length + 1)));
    std::wstring escaped;
    for (wchar_t unit : text) {
        if (unit == L'\r') continue;
        if (unit == L'\n')
            escaped += L"\\n";
        else
            escaped += unit;
    }
    std::printf("text=%s\n", utf8(escaped).c_str());
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4 || (std::wcscmp(argv[1], L"detached") != 0 && std::wcscmp(argv[1], L"inherited") != 0)) {
        std::fputs("usage: start_windowed detached|inherited TITLE PROGRAM [ARGS...]\n", stderr);
        return 120;
    }
    bool detached = std::wcscmp(argv[1], L"detached") == 0;
    const wchar_t* title = argv[2];
    // The program's command line is the driver's after its first two arguments.
    std::wstring line = skip_argument_zero(skip_argument_zero(skip_argument_zero(GetCommandLineW())));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!detached) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[3], line.data(), nullptr, nullptr, detached ? FALSE : TRUE,
                        detached ? DETACHED_PROCESS : 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "start_windowed: cannot start %ls (error %lu)\n", argv[3], GetLastError());
        return 120;
    }
    CloseHandle(process.hThread);
    Search search{title, nullptr};
    // The window belongs to whichever process of the program shows it; it
    // is looked for until the program ends.
    while (search.found == nullptr && WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
        EnumWindows(match_title, reinterpret_cast<LPARAM>(&search));
    }
    if (search.found != nullptr) {
        std::printf("window=%s\n", utf8(title).c_str());
        EnumChildWindows(search.found, print_static_text, 0);
        std::puts("shown");
        std::fflush(stdout);
        char go_ahead[16];
        std::fgets(go_ahead, sizeof go_ahead, stdin);
        PostMessageW(search.found, WM_COMMAND, IDOK, 0);
    } else {
        std::puts("window=none");
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    std::printf("exit_code=%lu\n", static_cast<unsigned long>(code));
    std::fflush(stdout);
    return 0;
}
