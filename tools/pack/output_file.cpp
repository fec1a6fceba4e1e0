#include "output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "error.h"

namespace fenzar::pack {

namespace {

// An existing destination reached through a symlink is replaced at the link's
// target; anything but a regular file (a device, a directory) is refused.
std::filesystem::path resolve_destination(const std::filesystem::path& destination) {
    struct stat info;
    if (::stat(destination.c_str(), &info) != 0) return destination;
    if (!S_ISREG(info.st_mode)) {
        throw pack_error(destination.string() + ": exists and is not a regular file");
    }
    return std::filesystem::canonical(destination);
}

}  // namespace

output_file::output_file(const std::filesystem::path& destination)
    : destination_(resolve_destination(destination)) {
    const auto directory = destination_.parent_path().empty() ? std::filesystem::path(".")
                                                              : destination_.parent_path();
    std::string hidden_name = ".";
    hidden_name += destination_.filename().string();
    hidden_name += ".XXXXXX";
    std::string pattern = (directory / hidden_name).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        throw pack_error(destination_.string() + ": cannot create: " + std::strerror(errno));
    }
    temporary_ = pattern;
    stream_ = ::fdopen(fd, "wb");
    if (!stream_) {
        ::close(fd);
        ::unlink(temporary_.c_str());
        throw pack_error(destination_.string() + ": cannot create: " + std::strerror(errno));
    }
}

output_file::~output_file() {
    if (committed_) return;
    if (stream_) std::fclose(stream_);
    ::unlink(temporary_.c_str());
}

void output_file::commit(mode_t mode) {
    const bool written = std::fflush(stream_) == 0 && !std::ferror(stream_);
    const int saved_errno = errno;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    if (!written || !closed) {
        throw pack_error(destination_.string() +
                         ": cannot write: " + std::strerror(written ? errno : saved_errno));
    }
    if (::chmod(temporary_.c_str(), mode & ~mask) != 0 ||
        ::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        throw pack_error(destination_.string() + ": cannot write: " + std::strerror(errno));
    }
    committed_ = true;
}

}  // namespace fenzar::pack
