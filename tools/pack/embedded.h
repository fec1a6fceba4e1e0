// The files that fenzar-pack carries inside itself, so that installing it is
// copying one file: the launcher template of the Windows build, and the
// manifest and icon that every launcher gets unless told otherwise.
#pragma once

#include <span>

namespace fenzar::pack::embedded {

std::span<const unsigned char> launcher_template();
std::span<const unsigned char> manifest();
std::span<const unsigned char> icon();

}  // namespace fenzar::pack::embedded
