// A line in UTF-8 straight to the standard output handle, past any C
// runtime's buffer, so that the lines of several instances arrive whole.
#pragma once

#include <windows.h>

#include <string>

inline void write_line(const std::wstring& line) {
    std::wstring text = line + L"\n";
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
