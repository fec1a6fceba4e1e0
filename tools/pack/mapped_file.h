// A whole file mapped read-only into memory.
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>

namespace fenzar::pack {

class MappedFile {
public:
    // Throws PackError naming `path` when it cannot be opened or mapped.
    explicit MappedFile(const std::filesystem::path& path);
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    std::span<const unsigned char> bytes() const { return {address_, size_}; }

private:
    const unsigned char* address_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace fenzar::pack
