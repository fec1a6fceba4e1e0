// The attached data inside the launcher image: the magic "ZUQ", one zstd
// frame holding the archive, zero padding and a 64-bit offset trailer. The
// packer writes it and its length into the image's data section
// (data_section.h); the launcher reaches both through these symbols.
#pragma once

#include <cstdint>

extern "C" const unsigned char fenzar_attached_data[];
extern "C" const uint64_t fenzar_attached_data_length;

inline constexpr unsigned char attached_data_magic[3] = {'Z', 'U', 'Q'};
