// The launcher's one flow, called by the executable's entry point with the
// run, the C runtime's arguments and the attached data of the launcher's own
// image, with the size of the launch settings that follow the data (0 for
// none: payload/launch_settings.h).
#pragma once

#include <cstdint>

#include "launcher/run.h"

namespace fenzar {

int launcher_main(Run& run, int argc, char16_t** argv, const unsigned char* attached_data,
                  uint64_t attached_data_length, uint32_t launch_settings_size);

}  // namespace fenzar
