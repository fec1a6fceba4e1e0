// The attached data linked into the launcher image: the magic "ZUQ", one zstd
// frame holding the archive, zero padding and a 64-bit offset trailer. Its
// start address and length are fixed when the launcher is linked.
#pragma once

#include <cstdint>

extern "C" const unsigned char fenzar_attached_data[];
extern "C" const uint64_t fenzar_attached_data_length;

inline constexpr unsigned char attached_data_magic[3] = {'Z', 'U', 'Q'};
