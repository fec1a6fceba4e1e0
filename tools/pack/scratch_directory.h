// A private directory below $TMPDIR or /tmp (%TEMP% on Windows) for
// intermediate files, removed with everything in it when the object goes or
// the packer is interrupted.
#pragma once

#include <filesystem>

namespace fenzar::pack {

class ScratchDirectory {
public:
    ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory();

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace fenzar::pack
