// An output that appears only when it is complete: bytes go to a temporary
// file next to the destination, which is renamed over it on commit and
// removed if the output is abandoned or the packer is interrupted.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "system.h"

namespace fenzar::pack {

class output_file {
public:
    explicit output_file(const std::filesystem::path& destination);
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();

    std::FILE* stream() const { return file_.stream; }

    // Closes the file, gives it `mode` (less the umask) and renames it to the
    // destination; throws pack_error if any write failed.
    void commit(mode_t mode);

private:
    std::filesystem::path destination_;
    temporary_file file_;
    bool committed_ = false;
};

// Refuses an output that is already one of the inputs, under any of its
// names (a link, a hard link): the output replaces it.
void refuse_output_among_inputs(const std::filesystem::path& output,
                                const std::vector<std::filesystem::path>& inputs);

}  // namespace fenzar::pack
