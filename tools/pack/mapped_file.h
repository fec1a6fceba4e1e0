// A whole file mapped read-only into memory.
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>

namespace fenzar::pack {

class mapped_file {
public:
    // Throws pack_error naming `path` when it cannot be opened or mapped.
    explicit mapped_file(const std::filesystem::path& path);
    mapped_file(const mapped_file&) = delete;
    mapped_file& operator=(const mapped_file&) = delete;
    ~mapped_file();

    std::span<const unsigned char> bytes() const { return {address_, size_}; }

private:
    const unsigned char* address_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace fenzar::pack
