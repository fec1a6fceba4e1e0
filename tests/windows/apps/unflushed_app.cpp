// Test application for output at the end of a run: writes a block of 1,400
// bytes (lines of the alphabet) to stderr and leaves it in a buffer, as a
// program that never flushes does, then ends as UNFLUSHED_END says.
//
//   UNFLUSHED_BUFFER=stdio   the C runtime's stderr, fully buffered with
//                            setvbuf (the launcher's own runtime, msvcrt)
//   UNFLUSHED_BUFFER=own     a buffer of the DLL's own, written out only at
//                            DLL_PROCESS_DETACH, as a C runtime linked into
//                            the DLL does
//   UNFLUSHED_END=return     returns 1 from run_code (the default)
//   UNFLUSHED_END=exit       calls exit(1)
//   UNFLUSHED_END=exitprocess  calls ExitProcess(1)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char block[1400];
char own_buffer[sizeof block];
size_t own_buffered = 0;

bool variable_is(const char* name, const char* value) {
    char text[32];
    DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    return length > 0 && length < sizeof text && std::strcmp(text, value) == 0;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH && own_buffered > 0) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), own_buffer, static_cast<DWORD>(own_buffered), &written, nullptr);
        own_buffered = 0;
    }
    return TRUE;
}

extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t*) {
    for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<char>(i % 70 == 69 ? '\n' : 'a' + i % 70 % 26);
    if (variable_is("UNFLUSHED_BUFFER", "own")) {
        std::memcpy(own_buffer, block, sizeof block);
        own_buffered = sizeof block;
    } else {
        std::setvbuf(stderr, nullptr, _IOFBF, 4096);
        std::fwrite(block, 1, sizeof block, stderr);
    }
    if (variable_is("UNFLUSHED_END", "exit")) std::exit(1);
    if (variable_is("UNFLUSHED_END", "exitprocess")) ExitProcess(1);
    return 1;
}
