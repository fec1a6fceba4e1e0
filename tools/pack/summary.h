// The one line a packer command writes on standard error when it has
// written its output, as compressors and linkers do, and the hint it adds
// when compressing on one thread took long.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace fenzar::pack {

struct WrittenSummary {
    std::string output;  // as the user named it
    std::string kind;    // "attached data", "console launcher", "windows launcher"
    std::uint64_t output_size = 0;
    // What was compressed: absent for link, which puts in data made before.
    std::optional<std::uint64_t> files;
    std::uint64_t input_size = 0;  // the files' sizes together
    std::uint64_t data_size = 0;   // the attached data
    int level = 0;
};

// "fenzar-pack: wrote OUT (KIND, N bytes): F files, I bytes compressed to D
// (R%) at level L", or for link "...: with D bytes of attached data".
std::string summary_line(const WrittenSummary& summary);

// Compressing longer than this on the main thread earns the hint.
inline constexpr double slow_compression_seconds = 10.0;

// The hint after a compression of seconds with threads workers, or nothing.
std::optional<std::string> threads_hint(double seconds, int threads);

}  // namespace fenzar::pack
