// The graphical-subsystem wide entry. The launcher reads argc and the wide
// argv from the C runtime; none of the four entry values is used.
#include <windows.h>

#include <cstdlib>

#include "launcher/state.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return launcher_main(__argc, reinterpret_cast<char16_t**>(__wargv));
}
