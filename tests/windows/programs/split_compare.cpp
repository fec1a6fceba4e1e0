// Windows-side helper: compares the launcher's command line splitter with
// the system's CommandLineToArgvW on a table of lines and on random lines
// made of blanks, quotes, backslashes and letters (a fixed seed, so every
// run checks the same lines). Prints every line on which they differ and
// "compared=N differing=M"; status 1 when any differs.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "child/split_command_line.h"

namespace fenzar {

namespace {

using SystemSplitter = LPWSTR*(WINAPI*)(LPCWSTR, int*);

std::string shown(const std::wstring& text) {
    std::string out = "<";
    for (wchar_t unit : text) {
        if (unit == L'\t') {
            out += "\\t";
        } else if (unit >= 0x20 && unit < 0x7F) {
            out += static_cast<char>(unit);
        } else {
            char escaped[12];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
            out += escaped;
        }
    }
    return out + ">";
}

std::vector<std::wstring> system_split(SystemSplitter splitter, const std::wstring& line) {
    int count = 0;
    LPWSTR* arguments = splitter(line.c_str(), &count);
    std::vector<std::wstring> out(arguments, arguments + count);
    LocalFree(arguments);
    return out;
}

std::vector<std::wstring> own_split(const std::wstring& line) {
    CommandLineArguments split = split_command_line(reinterpret_cast<const char16_t*>(line.c_str()));
    std::vector<std::wstring> out;
    for (int i = 0; i < split.count; ++i) out.emplace_back(reinterpret_cast<const wchar_t*>(split.pointers[i]));
    return out;
}

std::string shown(const std::vector<std::wstring>& arguments) {
    std::string out;
    for (const std::wstring& argument : arguments) out += shown(argument) + " ";
    return out;
}

}  // namespace

}  // namespace fenzar

using namespace fenzar;

int wmain() {
    auto splitter = reinterpret_cast<SystemSplitter>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"shell32.dll"), "CommandLineToArgvW")));
    if (splitter == nullptr) return 2;
    std::vector<std::wstring> lines = {
        L"app",
        L"app   a\tb  ",
        L"  a",
        L"\"C:\\my dir\\app.exe\" x",
        L"\"a b\"c d",
        L"C:\\a\"b c\" d",
        L"\"unclosed program",
        L"p a\\b \\\\server",
        L"p a\\\"b",
        L"p a\\\\\"b c\"",
        L"p a\\\\\\\"b",
        L"p \"dir\\\\\" x",
        L"p \"\" x",
        L"p \"open to the end",
        L"p \"a\"\"b\" c",
        L"p \"a\"\"\"b\" c",
        L"p \"\"\"x\"\"\"",
        L"p a\"\"\"b c",
        L"p \"a b\"c",
        L"p \"\"\"\" x",
        L"p a\"\"b c",
        L"p \u00e9 \"\u4e2d \u6587\"",
    };
    const wchar_t alphabet[] = {L'a', L'b', L' ', L'\t', L'"', L'"', L'\\', L'\\', L'\u00e9'};
    uint32_t state = 0x2545F491;
    for (int i = 0; i < 20000; ++i) {
        std::wstring line;
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        size_t length = state % 24;
        for (size_t k = 0; k < length; ++k) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            line += alphabet[state % (sizeof alphabet / sizeof alphabet[0])];
        }
        if (!line.empty()) lines.push_back(line);
    }
    int differing = 0;
    for (const std::wstring& line : lines) {
        std::vector<std::wstring> expected = system_split(splitter, line);
        std::vector<std::wstring> got = own_split(line);
        if (got != expected) {
            ++differing;
            std::printf("line %s: system %s launcher %s\n", shown(line).c_str(), shown(expected).c_str(),
                        shown(got).c_str());
        }
    }
    std::printf("compared=%zu differing=%d\n", lines.size(), differing);
    return differing == 0 ? 0 : 1;
}
