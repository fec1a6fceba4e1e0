// Windows-side check of the descriptor that a launcher gives its target
// directory. Wine keeps of a directory's descriptor only what its mode bits
// can hold, so the descriptor is also given to a named event, whose
// descriptor the wineserver keeps whole, and read back from there. Prints
//   user=SID
//   elevated=0|1
//   descriptor=SDDL       the DACL as the launcher builds it
//   descriptor label=TYPE;FLAGS;MASK;SID   each ACE of its SACL
//   event=SDDL            the same, read back from an event created with it
//   event label=...
// and returns 0, or 1 on a failure. The label is written out here: Wine's
// ConvertSecurityDescriptorToStringSecurityDescriptorW leaves it out.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

namespace win32_layer {
bool make_private_descriptor(PSECURITY_DESCRIPTOR* descriptor);
}

namespace {

constexpr SECURITY_INFORMATION shown = DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;

bool print_labels(const char* what, PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL sacl = nullptr;
    if (!GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted)) return false;
    for (DWORD i = 0; present && sacl != nullptr && i < sacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(sacl, i, reinterpret_cast<void**>(&ace))) return false;
        if (ace->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE) {
            std::printf("%s label=type %d\n", what, ace->AceType);
            continue;
        }
        auto* label = reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace);
        wchar_t* sid = nullptr;
        if (!ConvertSidToStringSidW(&label->SidStart, &sid)) return false;
        std::printf("%s label=ML;%s%s;%s;%ls\n", what, (ace->AceFlags & OBJECT_INHERIT_ACE) != 0 ? "OI" : "",
                    (ace->AceFlags & CONTAINER_INHERIT_ACE) != 0 ? "CI" : "",
                    label->Mask == SYSTEM_MANDATORY_LABEL_NO_WRITE_UP ? "NW" : "other", sid);
        LocalFree(sid);
    }
    return true;
}

bool print_descriptor(const char* what, PSECURITY_DESCRIPTOR descriptor) {
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, shown, &text, nullptr)) {
        std::printf("%s: cannot convert (error %lu)\n", what, GetLastError());
        return false;
    }
    std::printf("%s=%ls\n", what, text);
    LocalFree(text);
    return print_labels(what, descriptor);
}

bool print_token() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    wchar_t* sid = nullptr;
    bool read = GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
                ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid) &&
                GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    if (!read) return false;
    std::printf("user=%ls\nelevated=%d\n", sid, elevation.TokenIsElevated != 0 ? 1 : 0);
    LocalFree(sid);
    return true;
}

}  // namespace

int wmain() {
    if (!print_token()) return 1;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!win32_layer::make_private_descriptor(&descriptor)) {
        std::printf("descriptor: cannot make it (error %lu)\n", GetLastError());
        return 1;
    }
    if (!print_descriptor("descriptor", descriptor)) return 1;

    wchar_t name[64];
    std::swprintf(name, 64, L"fenzar_private_descriptor_%lu", GetCurrentProcessId());
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    HANDLE event = CreateEventW(&attributes, TRUE, FALSE, name);
    if (event == nullptr) {
        std::printf("event: cannot create it (error %lu)\n", GetLastError());
        return 1;
    }
    PSECURITY_DESCRIPTOR read_back = nullptr;
    DWORD error = GetSecurityInfo(event, SE_KERNEL_OBJECT, shown, nullptr, nullptr, nullptr, nullptr, &read_back);
    if (error != ERROR_SUCCESS) {
        std::printf("event: cannot read it back (error %lu)\n", error);
        return 1;
    }
    bool printed = print_descriptor("event", read_back);
    LocalFree(read_back);
    CloseHandle(event);
    LocalFree(descriptor);
    return printed ? 0 : 1;
}
