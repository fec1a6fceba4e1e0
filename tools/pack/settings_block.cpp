#include "settings_block.h"

#include <cstdint>

#include "byte_io.h"
#include "cache_settings.h"
#include "payload/launch_settings.h"

namespace fenzar::pack {

namespace {

void add_record(std::vector<unsigned char>& block, std::uint32_t tag, std::span<const unsigned char> payload) {
    using launch_settings_format::record_header_bytes;
    const std::size_t at = block.size();
    block.resize(at + record_header_bytes + (payload.size() + 7) / 8 * 8, 0);
    ByteWriter fields(block);
    fields.put_u32(at, tag);
    fields.put_u32(at + 4, static_cast<std::uint32_t>(payload.size()));
    fields.put_bytes(at + record_header_bytes, payload);
}

}  // namespace

std::vector<unsigned char> settings_block(const SettingsRequest& request, std::span<const unsigned char> attached_data,
                                          std::u16string_view first_record_name,
                                          std::u16string_view launcher_file_name) {
    using namespace launch_settings_format;
    std::vector<unsigned char> block;
    if (request.cache) block = cache_settings(attached_data, first_record_name, launcher_file_name);
    if (!request.runs_program && request.target_base.empty()) return block;
    block.resize(block_bytes, 0);
    if (request.runs_program) {
        const unsigned char one[4] = {1, 0, 0, 0};
        add_record(block, program_tag, one);
    }
    if (!request.target_base.empty()) {
        std::vector<unsigned char> text;
        for (char16_t unit : request.target_base) {
            text.push_back(static_cast<unsigned char>(unit & 0xFF));
            text.push_back(static_cast<unsigned char>(unit >> 8));
        }
        add_record(block, target_base_tag, text);
    }
    return block;
}

}  // namespace fenzar::pack
