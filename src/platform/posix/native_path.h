// How the POSIX layer names a file: the core's UTF-16 path with '\' as '/',
// in UTF-8 (a lone surrogate encoded as it stands). For native tests that
// must find what the layer created.
#pragma once

#include <string>

namespace posix_layer {

std::string path_to_native(const char16_t* path);

}  // namespace posix_layer
