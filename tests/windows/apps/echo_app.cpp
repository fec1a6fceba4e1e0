// Test application: prints what it received, one item per line in UTF-8, and
// returns the number in ECHO_APP_EXIT (decimal or 0x-hex, default 0).
//
//   argc=N
//   argv[I]=TEXT
//   path=TEXT
//   cwd=TEXT
//   env NAME=VALUE        (or "env NAME unset") for the seven FENZAR_ variables
//
// Output goes straight to the standard output handle, unbuffered, so nothing
// depends on which C runtime flushes when.
#include <windows.h>

#include <cwchar>
#include <string>

#include "write_line.h"

namespace {

std::wstring environment_value(const wchar_t* name, bool* present) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    *present = size != 0;
    if (!*present) return {};
    std::wstring value(size, L'\0');
    DWORD length = GetEnvironmentVariableW(name, value.data(), size);
    value.resize(length);
    return value;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* path) {
    write_line(L"argc=" + std::to_wstring(argc));
    for (int i = 0; i < argc; ++i) write_line(L"argv[" + std::to_wstring(i) + L"]=" + (argv[i] ? argv[i] : L""));
    write_line(std::wstring(L"path=") + (path ? path : L""));

    DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring cwd(size, L'\0');
    cwd.resize(GetCurrentDirectoryW(size, cwd.data()));
    write_line(L"cwd=" + cwd);

    static const wchar_t* const names[] = {
        L"FENZAR_ONEFILE_PARENT",    L"FENZAR_ONEFILE_START",  L"FENZAR_ONEFILE_TIME_US",     L"FENZAR_ONEFILE_RANDOM",
        L"FENZAR_ONEFILE_DIRECTORY", L"FENZAR_ORIGINAL_ARGV0", L"FENZAR_ONEFILE_CACHE_FILES",
    };
    for (const wchar_t* name : names) {
        bool present = false;
        std::wstring value = environment_value(name, &present);
        write_line(std::wstring(L"env ") + name + (present ? L"=" + value : std::wstring(L" unset")));
    }

    bool present = false;
    std::wstring code = environment_value(L"ECHO_APP_EXIT", &present);
    if (!present) return 0;
    return static_cast<int>(std::wcstoul(code.c_str(), nullptr, 0));
}
