// An output that appears only when it is complete: bytes go to a temporary
// file next to the destination, which is renamed over it on commit and
// removed if the output is abandoned or the packer is interrupted.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "system.h"

namespace fenzar::pack {

class OutputFile {
public:
    explicit OutputFile(const std::filesystem::path& destination);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    std::FILE* stream() const { return file_.stream; }

    // Closes the file, gives it `mode` (less the umask) and renames it to the
    // destination; throws PackError if any write failed.
    void commit(mode_t mode);

private:
    std::filesystem::path destination_;
    TemporaryFile file_;
    bool committed_ = false;
};

// The most one write call passes on: the Windows C runtime fails a single
// write above 2 GiB.
inline constexpr std::size_t max_write_piece = std::size_t{1} << 24;

// Writes `bytes` to `out` in pieces of at most max_write_piece bytes. Throws
// PackError "`what`: " and the system's reason when a write fails.
void write_output(std::FILE* out, std::span<const unsigned char> bytes, const std::string& what);

// Refuses an output that is already one of the inputs, under any of its
// names (a link, a hard link): the output replaces it.
void refuse_output_among_inputs(const std::filesystem::path& output, const std::vector<std::filesystem::path>& inputs);

}  // namespace fenzar::pack
