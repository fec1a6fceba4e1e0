#include "cache_settings.h"

#include <algorithm>

#include "byte_io.h"
#include "error.h"
#include "names.h"
#include "payload/launch_settings.h"
#include "sha256.h"

namespace fenzar::pack {

std::u16string cache_application_name(std::u16string_view first_record_name) {
    using launch_settings_format::max_name_units;
    std::u16string_view name = first_record_name;
    if (const auto slash = name.rfind(u'\\'); slash != std::u16string_view::npos) name.remove_prefix(slash + 1);
    if (const auto dot = name.rfind(u'.'); dot != std::u16string_view::npos && dot > 0) name = name.substr(0, dot);
    std::u16string folder(name);
    if (!is_usable_application_name(folder.c_str(), folder.size())) {
        throw PackError("--cache: the application's name '" + utf16_to_display(folder) +
                        "' (its library's name without the extension) must be a usable folder name of 1 to " +
                        std::to_string(max_name_units) + " characters");
    }
    return folder;
}

std::u16string cache_folder_name(std::u16string_view application_name, std::u16string_view launcher_file_name) {
    constexpr std::size_t key_units = 8;
    std::vector<unsigned char> bytes;
    for (char16_t unit : launcher_file_name) {
        if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    const auto digest = sha256(bytes);
    static const char16_t hex[] = u"0123456789abcdef";
    std::u16string folder(application_name.substr(
        0, std::min(application_name.size(), launch_settings_format::max_name_units - 1 - key_units)));
    // A shortened name must not end in what Windows drops from a folder's name.
    while (!folder.empty() && (folder.back() == u'.' || folder.back() == u' ')) folder.pop_back();
    folder += u'-';
    for (std::size_t i = 0; i < key_units / 2; ++i) {
        folder += hex[digest[i] >> 4];
        folder += hex[digest[i] & 15];
    }
    return folder;
}

std::vector<unsigned char> cache_settings(std::span<const unsigned char> attached_data,
                                          std::u16string_view first_record_name,
                                          std::u16string_view launcher_file_name) {
    using namespace launch_settings_format;
    const std::u16string folder = cache_folder_name(cache_application_name(first_record_name), launcher_file_name);
    std::vector<unsigned char> block(block_bytes, 0);
    ByteWriter fields(block);
    const auto digest = sha256(attached_data);
    fields.put_bytes(0, std::span(digest).first(digest_bytes));
    fields.put_u16(name_length_offset, static_cast<std::uint16_t>(folder.size()));
    for (std::size_t i = 0; i < folder.size(); ++i) fields.put_u16(name_offset + 2 * i, folder[i]);
    return block;
}

}  // namespace fenzar::pack
