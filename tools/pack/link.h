// Linking attached data into a launcher executable with the mingw-w64
// toolchain: the data becomes a read-only object beside the launcher library
// and the resources.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

namespace fenzar::pack {

struct link_request {
    std::filesystem::path attached_data;
    std::filesystem::path output;
    std::optional<std::filesystem::path> icon;
    // Linked before the launcher library, so that they can replace its parts.
    std::vector<std::filesystem::path> extra_libraries;
};

// Refuses a request whose icon, extra libraries or launcher library cannot
// be read, so that pack fails before it compresses anything.
void check_link_inputs(const link_request& request);

// Any attached data file is accepted as it is. The output appears only when
// the link succeeded; the same inputs give the same bytes.
void link_launcher(const link_request& request);

}  // namespace fenzar::pack
