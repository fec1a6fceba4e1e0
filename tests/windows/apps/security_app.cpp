// Test application: prints the security of its own target directory as the
// system reports it, one line each in UTF-8:
//
//   elevated=0|1          whether the process's token is elevated
//   user=SID              the process's user
//   sd PATH=SDDL          owner, DACL and mandatory label of PATH, a path
//                         relative to the library's directory given as an
//                         argument ("." for the directory itself), or
//                         "sd PATH error=N" when it cannot be read
//
// It returns 0.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "write_line.h"

namespace {

void print_token() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        write_line(L"token error=" + std::to_wstring(GetLastError()));
        return;
    }
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                    elevation.TokenIsElevated != 0;
    write_line(std::wstring(L"elevated=") + (elevated ? L"1" : L"0"));
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    wchar_t* sid = nullptr;
    if (GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid)) {
        write_line(std::wstring(L"user=") + sid);
        LocalFree(sid);
    }
    CloseHandle(token);
}

void print_descriptor(const std::wstring& directory, const wchar_t* relative) {
    std::wstring path = directory;
    if (std::wstring(relative) != L".") path += L"\\" + std::wstring(relative);
    const SECURITY_INFORMATION wanted =
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error =
        GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, wanted, nullptr, nullptr, nullptr, nullptr, &descriptor);
    wchar_t* text = nullptr;
    if (error == ERROR_SUCCESS &&
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, wanted, &text, nullptr)) {
        error = GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        write_line(std::wstring(L"sd ") + relative + L" error=" + std::to_wstring(error));
    } else {
        write_line(std::wstring(L"sd ") + relative + L"=" + text);
        LocalFree(text);
    }
    if (descriptor != nullptr) LocalFree(descriptor);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* path) {
    print_token();
    std::wstring directory = path;
    directory.resize(directory.rfind(L'\\'));
    for (int i = 1; i < argc; ++i) print_descriptor(directory, argv[i]);
    return 0;
}
