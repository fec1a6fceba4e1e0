// How the POSIX layer names a file: the core's UTF-16 path with '\' as '/',
// in UTF-8 (a lone surrogate encoded as it stands), and back. For native
// tests and benchmarks that hand the core a path of theirs or must find what
// the layer created.
#pragma once

#include <string>

namespace fenzar {

namespace posix_layer {

std::string path_to_native(const char16_t* path);
std::u16string path_from_native(const std::string& native);

}  // namespace posix_layer

}  // namespace fenzar
