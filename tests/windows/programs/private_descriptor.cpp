// Windows-side check of the descriptor that a launcher gives its target
// directory. Wine keeps of a directory's descriptor only what its mode bits
// can hold, so the descriptor is also given to a named event, whose
// descriptor the wineserver keeps whole, and read back from there. The
// launcher writes the descriptor by hand; the SDDL text it stands for,
// converted by ADVAPI32, is the reference it must equal. Prints
//   user=SID
//   elevated=0|1
//   descriptor=SDDL       the DACL as the launcher builds it
//   descriptor label=TYPE;FLAGS;MASK;SID   each ACE of its SACL
//   event=SDDL            the same, read back from an event created with it
//   event label=...
//   reference=SDDL        the DACL of the converted text, and its labels
//   reference label=...
//   differences=LIST      what differs between the two in control flags,
//                         owner, group, DACL and SACL bytes ("none")
//   directory made=SDDL   owner and DACL read back from a directory created
//                         with the launcher's descriptor (in DIRECTORY, the
//                         first argument, when given)
//   directory reference=SDDL   the same for one made with the reference
// and returns 0, or 1 on a failure. The label is written out here: Wine's
// ConvertSecurityDescriptorToStringSecurityDescriptorW leaves it out.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace fenzar {

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

// The parts of a descriptor, whatever its layout (absolute or
// self-relative, in any order): control flags, owner, group, and the ACLs
// byte for byte as far as their own size says.
struct Parts {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    PACL sacl = nullptr;
};

bool read_parts(PSECURITY_DESCRIPTOR descriptor, Parts* parts) {
    DWORD revision = 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorControl(descriptor, &parts->control, &revision) ||
        !GetSecurityDescriptorOwner(descriptor, &parts->owner, &defaulted) ||
        !GetSecurityDescriptorGroup(descriptor, &parts->group, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &parts->dacl, &defaulted)) {
        return false;
    }
    if (!present) parts->dacl = nullptr;
    if (!GetSecurityDescriptorSacl(descriptor, &present, &parts->sacl, &defaulted)) return false;
    if (!present) parts->sacl = nullptr;
    return true;
}

bool same_acl(const ACL* a, const ACL* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return a->AclSize == b->AclSize && std::memcmp(a, b, a->AclSize) == 0;
}

bool same_sid(PSID a, PSID b) {
    if (a == nullptr || b == nullptr) return a == b;
    return EqualSid(a, b) != 0;
}

void print_differences(PSECURITY_DESCRIPTOR made, PSECURITY_DESCRIPTOR reference) {
    Parts a;
    Parts b;
    if (!read_parts(made, &a) || !read_parts(reference, &b)) {
        std::printf("differences=unreadable\n");
        return;
    }
    std::string differences;
    if (a.control != b.control) differences += " control";
    if (!same_sid(a.owner, b.owner)) differences += " owner";
    if (!same_sid(a.group, b.group)) differences += " group";
    if (!same_acl(a.dacl, b.dacl)) differences += " dacl";
    if (!same_acl(a.sacl, b.sacl)) differences += " sacl";
    std::printf("control=%04x reference control=%04x\n", a.control, b.control);
    std::printf("differences=%s\n", differences.empty() ? "none" : differences.c_str() + 1);
}

// Creates DIRECTORY with the descriptor and prints its owner and DACL as
// they read back, then removes it.
bool print_directory(const char* what, const wchar_t* directory, PSECURITY_DESCRIPTOR descriptor) {
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    if (!CreateDirectoryW(directory, &attributes)) {
        std::printf("directory %s: cannot create it (error %lu)\n", what, GetLastError());
        return false;
    }
    PSECURITY_DESCRIPTOR read_back = nullptr;
    constexpr SECURITY_INFORMATION read = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD error =
        GetNamedSecurityInfoW(directory, SE_FILE_OBJECT, read, nullptr, nullptr, nullptr, nullptr, &read_back);
    wchar_t* text = nullptr;
    bool printed = error == ERROR_SUCCESS && ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                                 read_back, SDDL_REVISION_1, read, &text, nullptr);
    if (printed) std::printf("directory %s=%ls\n", what, text);
    LocalFree(text);
    LocalFree(read_back);
    RemoveDirectoryW(directory);
    return printed;
}

// The process token's user as SID text (LocalFree it) and its elevation.
bool read_token(wchar_t** sid, bool* elevated) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    *sid = nullptr;
    bool read = GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
                ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, sid) &&
                GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    if (!read) {
        if (*sid != nullptr) LocalFree(*sid);
        return false;
    }
    *elevated = elevation.TokenIsElevated != 0;
    return true;
}

bool print_token() {
    wchar_t* sid = nullptr;
    bool elevated = false;
    if (!read_token(&sid, &elevated)) return false;
    std::printf("user=%ls\nelevated=%d\n", sid, elevated ? 1 : 0);
    LocalFree(sid);
    return true;
}

}  // namespace

// The text the launcher's descriptor stands for, converted by ADVAPI32.
bool make_reference(PSECURITY_DESCRIPTOR* descriptor) {
    wchar_t* sid = nullptr;
    bool elevated = false;
    if (!read_token(&sid, &elevated)) return false;
    wchar_t text[512];
    std::swprintf(text, sizeof text / sizeof text[0], L"D:P(A;OICI;FA;;;%ls)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)%ls", sid,
                  elevated ? L"S:(ML;OICI;NW;;;HI)" : L"");
    LocalFree(sid);
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, descriptor, nullptr) != 0;
}

}  // namespace fenzar

using namespace fenzar;

int wmain(int argc, wchar_t** argv) {
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

    PSECURITY_DESCRIPTOR reference = nullptr;
    if (!make_reference(&reference)) {
        std::printf("reference: cannot make it (error %lu)\n", GetLastError());
        return 1;
    }
    printed = print_descriptor("reference", reference) && printed;
    print_differences(descriptor, reference);
    if (argc > 1) {
        std::wstring made = std::wstring(argv[1]) + L"\\made";
        std::wstring referred = std::wstring(argv[1]) + L"\\reference";
        printed = print_directory("made", made.c_str(), descriptor) && printed;
        printed = print_directory("reference", referred.c_str(), reference) && printed;
    }
    LocalFree(reference);
    LocalFree(descriptor);
    return printed ? 0 : 1;
}
