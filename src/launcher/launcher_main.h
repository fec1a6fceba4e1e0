// The launcher's one flow, called by the platform's entry point with the C
// runtime's arguments and the attached data of the launcher's own image.
#pragma once

#include <cstdint>

int launcher_main(int argc, char16_t** argv, const unsigned char* attached_data, uint64_t attached_data_length);
