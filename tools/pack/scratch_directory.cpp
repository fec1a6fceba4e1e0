#include "scratch_directory.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "error.h"

namespace fenzar::pack {

scratch_directory::scratch_directory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/fenzar-pack-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        throw pack_error("cannot create a temporary directory: " +
                         std::string(std::strerror(errno)));
    }
    path_ = pattern;
}

scratch_directory::~scratch_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace fenzar::pack
