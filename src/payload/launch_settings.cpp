#include "payload/launch_settings.h"

#include "payload/record_name.h"

bool is_usable_application_name(const char16_t* name, size_t length) {
    if (length == 0 || length > launch_settings_format::max_name_units) return false;
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == u'\\' || name[i] == 0) return false;
    }
    if (name[length - 1] == u'.' || name[length - 1] == u' ') return false;
    return record_name_problem(name, length) == nullptr;
}

bool read_launch_settings(const unsigned char* block, uint64_t size, LaunchSettings* settings) {
    using namespace launch_settings_format;
    *settings = {};
    if (size == 0) return true;
    if (size != block_bytes) return false;
    size_t length = static_cast<size_t>(block[name_length_offset] | block[name_length_offset + 1] << 8);
    if (length == 0 || length > max_name_units) return false;
    for (size_t i = name_length_offset + 2; i < name_offset; ++i) {
        if (block[i] != 0) return false;
    }
    for (size_t i = 0; i < max_name_units; ++i) {
        auto unit = static_cast<char16_t>(block[name_offset + 2 * i] | block[name_offset + 2 * i + 1] << 8);
        // After the name only zeros.
        if (i >= length && unit != 0) return false;
        settings->name[i] = unit;
    }
    if (!is_usable_application_name(settings->name, length)) return false;
    for (size_t i = 0; i < digest_bytes; ++i) settings->digest[i] = block[i];
    settings->cache = true;
    return true;
}

void format_digest(const unsigned char digest[launch_settings_format::digest_bytes],
                   char16_t text[launch_settings_format::digest_text_units + 1]) {
    constexpr char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < launch_settings_format::digest_bytes; ++i) {
        text[2 * i] = static_cast<char16_t>(hex[digest[i] >> 4]);
        text[2 * i + 1] = static_cast<char16_t>(hex[digest[i] & 0xF]);
    }
    text[launch_settings_format::digest_text_units] = 0;
}
