// Test subject for a windowed program packed with fenzar-pack --exe: a
// windows-subsystem executable that prints its raw command line and its
// arguments to its standard output handle (a file or pipe, when it has one)
// and ends with WINDOWED_PROBE_EXIT (decimal or 0x-hex), default 0. It opens
// no window, so that nobody has to close one.
#include <windows.h>

#include <cwchar>
#include <string>

#include "../apps/write_line.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
    write_line(std::wstring(L"raw=") + GetCommandLineW());
    write_line(L"argc=" + std::to_wstring(__argc));
    for (int i = 0; i < __argc; ++i) write_line(L"argv[" + std::to_wstring(i) + L"]=" + __wargv[i]);
    wchar_t code[64];
    DWORD length = GetEnvironmentVariableW(L"WINDOWED_PROBE_EXIT", code, 64);
    return length == 0 || length >= 64 ? 0 : static_cast<int>(std::wcstoul(code, nullptr, 0));
}
