// The launcher executable's wide entry, for both subsystems: the C runtime's
// windows or console start-up (attached_data_section.S) calls mingw-w64's
// wmain, which calls this. The launcher reads argc and the wide argv from the
// C runtime; none of the four entry values is used. The attached data and
// its length constant are part of this image: the packer puts them in, so
// only the executable knows them.
#include <windows.h>

#include <cstdint>
#include <cstdlib>

#include "launcher/launcher_main.h"

extern "C" const unsigned char fenzar_attached_data[];
extern "C" const uint64_t fenzar_attached_data_length;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return launcher_main(__argc, reinterpret_cast<char16_t**>(__wargv), fenzar_attached_data,
                         fenzar_attached_data_length);
}
