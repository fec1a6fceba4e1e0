#include "summary.h"

#include <cstdio>

namespace fenzar::pack {

std::string summary_line(const WrittenSummary& summary) {
    std::string line = "fenzar-pack: wrote " + summary.output + " (" + summary.kind + ", " +
                       std::to_string(summary.output_size) + " bytes): ";
    if (!summary.files) return line + "with " + std::to_string(summary.data_size) + " bytes of attached data\n";
    char ratio[32] = "-";
    if (summary.input_size > 0) {
        std::snprintf(ratio, sizeof ratio, "%.1f%%",
                      100.0 * static_cast<double>(summary.data_size) / static_cast<double>(summary.input_size));
    }
    return line + std::to_string(*summary.files) + (*summary.files == 1 ? " file, " : " files, ") +
           std::to_string(summary.input_size) + " bytes compressed to " + std::to_string(summary.data_size) + " (" +
           ratio + ") at level " + std::to_string(summary.level) + "\n";
}

std::optional<std::string> threads_hint(double seconds, int threads) {
    if (threads > 0 || seconds < slow_compression_seconds) return std::nullopt;
    return "fenzar-pack: compressing took " + std::to_string(static_cast<long long>(seconds)) +
           " s on one thread; --threads N shares it among N worker threads; every N of 1 or more gives the same "
           "bytes\n";
}

}  // namespace fenzar::pack
