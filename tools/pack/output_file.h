// An output that appears only when it is complete: bytes go to a temporary
// file next to the destination, which is renamed over it on commit and
// removed if the output is abandoned.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <filesystem>

namespace fenzar::pack {

class output_file {
public:
    explicit output_file(const std::filesystem::path& destination);
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();

    std::FILE* stream() const { return stream_; }

    // Closes the file, gives it `mode` (less the umask) and renames it to the
    // destination; throws pack_error if any write failed.
    void commit(mode_t mode);

private:
    std::filesystem::path destination_;
    std::filesystem::path temporary_;
    std::FILE* stream_ = nullptr;
    bool committed_ = false;
};

}  // namespace fenzar::pack
