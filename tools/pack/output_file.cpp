#include "output_file.h"

#include <algorithm>

#include "error.h"
#include "names.h"

namespace fenzar::pack {

namespace {

namespace fs = std::filesystem;

// An existing destination reached through a symlink is replaced at the link's
// target; anything but a regular file (a device, a directory) is refused.
fs::path resolve_destination(const fs::path& destination) {
    std::error_code error;
    const fs::file_status status = fs::status(destination, error);
    if (error || !fs::exists(status)) return destination;
    if (!fs::is_regular_file(status)) {
        throw PackError(display_path(destination) + ": exists and is not a regular file");
    }
    return fs::canonical(destination);
}

}  // namespace

OutputFile::OutputFile(const fs::path& destination)
    : destination_(resolve_destination(destination)), file_(create_temporary_file(destination_)) {}

OutputFile::~OutputFile() {
    if (!committed_) discard_temporary_file(file_);
}

void OutputFile::commit(mode_t mode) {
    commit_temporary_file(file_, destination_, mode);
    committed_ = true;
}

void write_output(std::FILE* out, std::span<const unsigned char> bytes, const std::string& what) {
    while (!bytes.empty()) {
        const std::size_t piece = std::min(bytes.size(), max_write_piece);
        forget_write_error();
        if (std::fwrite(bytes.data(), 1, piece, out) != piece || std::ferror(out)) {
            throw PackError(what + ": " + write_error_text());
        }
        bytes = bytes.subspan(piece);
    }
}

void refuse_output_among_inputs(const fs::path& output, const std::vector<fs::path>& inputs) {
    const auto output_identity = identify_file(output);
    if (!output_identity) return;
    for (const auto& input : inputs) {
        if (identify_file(input) == output_identity) {
            throw PackError(display_path(output) + ": the output is the input " + display_path(input) +
                            "; writing it would destroy the input");
        }
    }
}

}  // namespace fenzar::pack
