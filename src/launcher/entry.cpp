// The launcher executable's wide entry, for both subsystems: the C runtime's
// windows or console start-up (attached_data_section.S) calls mingw-w64's
// wmain, which calls this. The launcher reads argc and the wide argv from the
// C runtime; none of the four entry values is used, so they are declared by
// their kinds alone and nothing of the system's headers is needed here. The
// attached data, its length and the launch settings' size are part of this
// image: the packer puts them in, so only the executable knows them.
#include <cstdint>
#include <cstdlib>
#include <new>

#include "launcher/launcher_main.h"

extern "C" const unsigned char fenzar_attached_data[];
extern "C" const uint64_t fenzar_attached_data_length;
extern "C" const uint32_t fenzar_launch_settings_size;

namespace fenzar {

namespace {

// The process's one run, in static storage and never destroyed: the console
// handler's thread may still use it while the process ends.
alignas(Run) unsigned char run_storage[sizeof(Run)];

}  // namespace

}  // namespace fenzar

using namespace fenzar;

extern "C" int wWinMain(void* instance, void* previous_instance, wchar_t* command_line, int show) {
    static_cast<void>(instance);
    static_cast<void>(previous_instance);
    static_cast<void>(command_line);
    static_cast<void>(show);
    Run* run = new (run_storage) Run;
    return launcher_main(*run, __argc, reinterpret_cast<char16_t**>(__wargv), fenzar_attached_data,
                         fenzar_attached_data_length, fenzar_launch_settings_size);
}
