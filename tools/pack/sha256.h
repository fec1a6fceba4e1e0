// SHA-256 (FIPS 180-4), for the digest that names a launcher's cache
// directory: the packer computes it once, so that the launcher never reads
// its data to know it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace fenzar::pack {

std::array<unsigned char, 32> sha256(std::span<const unsigned char> data);

}  // namespace fenzar::pack
