// hello.dll: an example application for Fenzar.
//
// A Fenzar application is a DLL that exports run_code. The launcher unpacks
// it with its files into a fresh directory, loads it there and calls
//
//   int run_code(int argc, wchar_t** argv, const wchar_t* library_path)
//
// with the arguments the user gave (argv[0] is the launcher's full path) and
// the full path of the DLL itself; files packed with it lie beside it. What
// run_code returns is the exit status of the launcher the user started.
//
// This one greets, shows what it received and where it runs, reads
// greeting.txt from its own directory and returns the number given with
// --exit=N (0 without it).
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

// The standard output handle is whatever the launcher was given (the
// console of a console launcher, a file or a pipe). A console takes wide
// text; files and pipes get UTF-8.
void say(const std::wstring& line) {
    std::wstring text = line + L"\n";
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(output, &mode)) {
        WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring variable(const wchar_t* name) {
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    if (length == 0 || length >= 32768) return L"(not set)";
    return std::wstring(value, length);
}

std::wstring directory_of(const wchar_t* path) {
    std::wstring text = path;
    return text.substr(0, text.rfind(L'\\'));
}

// The packed data file, read as UTF-8 text.
std::wstring read_greeting(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return L"(cannot read " + path + L")";
    char bytes[4096];
    DWORD read = 0;
    ReadFile(file, bytes, sizeof bytes, &read, nullptr);
    CloseHandle(file);
    while (read > 0 && (bytes[read - 1] == '\n' || bytes[read - 1] == '\r')) --read;
    std::wstring text(read, L'\0');
    text.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(read), text.data(), static_cast<int>(read))));
    return text;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* library_path) {
    say(L"Hello from a packed application!");
    say(L"I received " + std::to_wstring(argc) + L" arguments:");
    int exit_code = 0;
    for (int i = 0; i < argc; ++i) {
        say(L"  argv[" + std::to_wstring(i) + L"] = [" + argv[i] + L"]");
        if (std::wcsncmp(argv[i], L"--exit=", 7) == 0)
            exit_code = static_cast<int>(std::wcstol(argv[i] + 7, nullptr, 10));
    }

    wchar_t current[4096];
    DWORD length = GetCurrentDirectoryW(4096, current);
    say(L"I run from:                " + directory_of(library_path));
    say(L"Current directory:         " + std::wstring(current, length < 4096 ? length : 0));
    say(L"FENZAR_ONEFILE_DIRECTORY = " + variable(L"FENZAR_ONEFILE_DIRECTORY"));
    say(L"FENZAR_ORIGINAL_ARGV0    = " + variable(L"FENZAR_ORIGINAL_ARGV0"));
    say(L"greeting.txt says:         " + read_greeting(directory_of(library_path) + L"\\greeting.txt"));
    say(L"Returning exit code " + std::to_wstring(exit_code) + L".");
    return exit_code;
}
