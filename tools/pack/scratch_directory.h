// A private directory below $TMPDIR or /tmp (%TEMP% on Windows) for
// intermediate files, removed with everything in it when the object goes or
// the packer is interrupted.
#pragma once

#include <filesystem>

namespace fenzar::pack {

class scratch_directory {
public:
    scratch_directory();
    scratch_directory(const scratch_directory&) = delete;
    scratch_directory& operator=(const scratch_directory&) = delete;
    ~scratch_directory();

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace fenzar::pack
