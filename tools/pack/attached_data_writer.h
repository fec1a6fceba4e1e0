// Writing attached data: the magic "ZUQ", the archive as one zstd frame, zero
// padding up to a multiple of 8 bytes from the magic, and the offset trailer,
// a 64-bit little-endian value equal to its own offset.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

#include "archive.h"

namespace fenzar::pack {

struct CompressionOptions {
    int level = 19;
    int threads = 0;           // zstd workers; 0 compresses on the calling thread
    bool long_window = false;  // window log 27 with long-distance matching
};

// Called with the count of archive bytes compressed so far.
using ProgressCallback = std::function<void(std::uint64_t done)>;

// Returns the length of the attached data written to `out`. The frame carries
// the content size and a content checksum; its window is the level's choice,
// at most 2^27 and no larger than the archive.
std::uint64_t write_attached_data(const std::vector<ArchiveEntry>& entries, const CompressionOptions& options,
                                  std::FILE* out, const ProgressCallback& progress = {});

// The same into the file `destination`, which appears only when complete.
void write_attached_data_file(const std::vector<ArchiveEntry>& entries, const CompressionOptions& options,
                              const std::filesystem::path& destination, const ProgressCallback& progress = {});

}  // namespace fenzar::pack
