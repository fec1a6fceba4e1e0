#include "mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "error.h"

namespace fenzar::pack {

mapped_file::mapped_file(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        const int saved = errno;
        if (fd >= 0) ::close(fd);
        throw pack_error(path.string() + ": cannot read: " + std::strerror(saved));
    }
    size_ = static_cast<std::size_t>(info.st_size);
    if (size_ != 0) {
        void* address = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (address == MAP_FAILED) {
            const int saved = errno;
            ::close(fd);
            throw pack_error(path.string() + ": cannot read: " + std::strerror(saved));
        }
        address_ = static_cast<const unsigned char*>(address);
    }
    ::close(fd);
}

mapped_file::~mapped_file() {
    if (address_) ::munmap(const_cast<unsigned char*>(address_), size_);
}

}  // namespace fenzar::pack
