// The C runtime's arguments as the launcher received them: read where
// argument 0 or the whole list is needed (the {PROGRAM} placeholder, the
// application's FENZAR_ORIGINAL_ARGV0 and run_code).
#pragma once

#include <cstdint>

namespace fenzar {

struct SavedArguments {
    int32_t argc = 0;
    char16_t** argv = nullptr;
};

}  // namespace fenzar
