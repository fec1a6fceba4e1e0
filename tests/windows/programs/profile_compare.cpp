// Windows-side helper: the launcher's profile folder (the value of "{HOME}")
// against the shell's SHGetFolderPathW(CSIDL_PROFILE). Prints both as
// "launcher=..." and "shell=..."; status 1 when they differ or either fails.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>

#include "platform/platform.h"

int wmain() {
    char16_t launcher[platform::folder_path_capacity] = {};
    wchar_t shell[MAX_PATH] = {};
    int32_t launcher_result = platform::get_folder_path(CSIDL_PROFILE, launcher);
    using Function = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
    auto function = reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"shell32.dll"), "SHGetFolderPathW")));
    HRESULT shell_result = function(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, shell);
    std::printf("launcher=%ls\nshell=%ls\n", reinterpret_cast<const wchar_t*>(launcher), shell);
    bool same = launcher_result == 0 && shell_result == S_OK &&
                std::wcscmp(reinterpret_cast<const wchar_t*>(launcher), shell) == 0;
    return same ? 0 : 1;
}
