#include "windows_libraries.h"

#include <algorithm>
#include <string>

namespace fenzar::pack {

namespace {

// Lower case, sorted.
constexpr std::string_view libraries[] = {
    "advapi32.dll", "authz.dll",    "bcrypt.dll",     "cabinet.dll",   "cfgmgr32.dll",       "clbcatq.dll",
    "comctl32.dll", "comdlg32.dll", "crypt32.dll",    "cryptbase.dll", "cryptnet.dll",       "cryptui.dll",
    "d2d1.dll",     "d3d11.dll",    "d3d12.dll",      "d3d9.dll",      "d3dcompiler_47.dll", "dbghelp.dll",
    "dhcpcsvc.dll", "dnsapi.dll",   "dsound.dll",     "dwmapi.dll",    "dwrite.dll",         "dxgi.dll",
    "gdi32.dll",    "gdiplus.dll",  "glu32.dll",      "hid.dll",       "imagehlp.dll",       "imm32.dll",
    "iphlpapi.dll", "kernel32.dll", "kernelbase.dll", "mpr.dll",       "msacm32.dll",        "msi.dll",
    "msimg32.dll",  "msvcrt.dll",   "mswsock.dll",    "ncrypt.dll",    "netapi32.dll",       "normaliz.dll",
    "ntdll.dll",    "ole32.dll",    "oleacc.dll",     "oleaut32.dll",  "opengl32.dll",       "pdh.dll",
    "powrprof.dll", "propsys.dll",  "psapi.dll",      "rpcrt4.dll",    "rstrtmgr.dll",       "secur32.dll",
    "setupapi.dll", "shcore.dll",   "shell32.dll",    "shlwapi.dll",   "sspicli.dll",        "ucrtbase.dll",
    "urlmon.dll",   "user32.dll",   "userenv.dll",    "usp10.dll",     "uxtheme.dll",        "version.dll",
    "winhttp.dll",  "wininet.dll",  "winmm.dll",      "winspool.drv",  "wintrust.dll",       "wldap32.dll",
    "ws2_32.dll",   "wsock32.dll",  "wtsapi32.dll",   "xinput1_4.dll",
};

}  // namespace

bool is_windows_library(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (lower.starts_with("api-ms-win-") || lower.starts_with("ext-ms-win-")) return true;
    return std::binary_search(std::begin(libraries), std::end(libraries), lower);
}

}  // namespace fenzar::pack
