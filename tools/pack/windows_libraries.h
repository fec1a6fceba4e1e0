// The DLLs every Windows 10 and 11 x86-64 installation has in its system
// directory, as far as the packer knows: a list written down by hand, not
// read from any machine. A DLL not on it may still be there; the C and C++
// runtimes of compilers (vcruntime140.dll, msvcp140.dll, libstdc++-6.dll,
// libgcc_s_seh-1.dll, ...) are not, which is why they are not on it.
#pragma once

#include <string_view>

namespace fenzar::pack {

// Whether name (a DLL's file name, any case) is on the list, or names an
// API set ("api-ms-win-..." or "ext-ms-win-..."), which Windows resolves
// itself.
bool is_windows_library(std::string_view name);

}  // namespace fenzar::pack
