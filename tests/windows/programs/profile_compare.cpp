// Windows-side helper: a folder as the launcher reads it against the shell's
// SHGetFolderPathW: the profile folder (the value of "{HOME}",
// CSIDL_PROFILE), or with the argument local_app_data the local application
// data folder (the value of "{CACHE_DIR}" and the cache's root,
// CSIDL_LOCAL_APPDATA). Prints both as "launcher=..." and "shell=...";
// status 1 when they differ or either fails.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>

#include "platform/platform.h"

using namespace fenzar;

int wmain(int argc, wchar_t** argv) {
    int csidl = argc > 1 && std::wcscmp(argv[1], L"local_app_data") == 0 ? CSIDL_LOCAL_APPDATA : CSIDL_PROFILE;
    char16_t launcher[platform::folder_path_capacity] = {};
    wchar_t shell[MAX_PATH] = {};
    int32_t launcher_result = platform::get_folder_path(csidl, launcher);
    using Function = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
    auto function = reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"shell32.dll"), "SHGetFolderPathW")));
    HRESULT shell_result = function(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, shell);
    std::printf("launcher=%ls\nshell=%ls\n", reinterpret_cast<const wchar_t*>(launcher), shell);
    bool same = launcher_result == 0 && shell_result == S_OK &&
                std::wcscmp(reinterpret_cast<const wchar_t*>(launcher), shell) == 0;
    return same ? 0 : 1;
}
