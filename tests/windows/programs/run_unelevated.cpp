// Test driver: run_unelevated.exe PROGRAM [ARGS...] does what run_and_report
// does, but starts PROGRAM with the limited token linked to its own: the
// token an administrator's programs get on Windows when they are not
// elevated. Wine gives every program an elevated token; this is how a test
// runs a launcher unelevated. Status 121 when there is no linked token. Like
// run_and_report it outlives Ctrl+C and Ctrl+Break, to report how the
// program ended.
#include <windows.h>

#include <cstdio>

#include "start_and_report.h"

namespace {

BOOL WINAPI outlive_interrupt(DWORD type) { return type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT; }

HANDLE limited_token() {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) return nullptr;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    BOOL found = GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size);
    CloseHandle(own);
    if (!found) return nullptr;
    HANDLE primary = nullptr;
    BOOL duplicated =
        DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &primary);
    CloseHandle(linked.LinkedToken);
    return duplicated ? primary : nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: run_unelevated PROGRAM [ARGS...]\n", stderr);
        return 120;
    }
    SetConsoleCtrlHandler(outlive_interrupt, TRUE);
    HANDLE token = limited_token();
    if (token == nullptr) {
        std::fprintf(stderr, "run_unelevated: no linked token (error %lu)\n", GetLastError());
        return 121;
    }
    return start_and_report("run_unelevated", argv[1], skip_argument_zero(GetCommandLineW()), token);
}
