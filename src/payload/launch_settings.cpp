#include "payload/launch_settings.h"

#include "payload/record_name.h"

namespace fenzar {

bool is_usable_application_name(const char16_t* name, size_t length) {
    if (length == 0 || length > launch_settings_format::max_name_units) return false;
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == u'\\' || name[i] == 0) return false;
    }
    if (name[length - 1] == u'.' || name[length - 1] == u' ') return false;
    return record_name_problem(name, length) == nullptr;
}

namespace {

uint32_t read_u32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool all_zero(const unsigned char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

bool read_cache_block(const unsigned char* block, LaunchSettings* settings) {
    using namespace launch_settings_format;
    size_t length = static_cast<size_t>(block[name_length_offset] | block[name_length_offset + 1] << 8);
    if (length == 0 || length > max_name_units) return false;
    if (!all_zero(block + name_length_offset + 2, name_offset - name_length_offset - 2)) return false;
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

bool read_record(uint32_t tag, const unsigned char* payload, size_t length, LaunchSettings* settings) {
    using namespace launch_settings_format;
    if (tag == program_tag) {
        if (length != 4 || read_u32(payload) != 1) return false;
        settings->runs_program = true;
        return true;
    }
    if (tag == target_base_tag) {
        if (length == 0 || length % 2 != 0 || length / 2 > max_target_base_units) return false;
        for (size_t i = 0; i < length / 2; ++i) {
            auto unit = static_cast<char16_t>(payload[2 * i] | payload[2 * i + 1] << 8);
            if (unit == 0) return false;
            settings->target_base[i] = unit;
        }
        return true;
    }
    return false;
}

bool read_extended_settings(const unsigned char* block, uint64_t size, LaunchSettings* settings) {
    using namespace launch_settings_format;
    if (size < block_bytes || size % 8 != 0) return false;
    if (!all_zero(block, block_bytes) && !read_cache_block(block, settings)) return false;
    uint64_t offset = block_bytes;
    uint32_t last_tag = 0;
    while (offset < size) {
        if (size - offset < record_header_bytes) return false;
        uint32_t tag = read_u32(block + offset);
        uint64_t length = read_u32(block + offset + 4);
        offset += record_header_bytes;
        uint64_t padded = (length + 7) / 8 * 8;
        if (tag <= last_tag || padded > size - offset) return false;
        if (!read_record(tag, block + offset, static_cast<size_t>(length), settings)) return false;
        if (!all_zero(block + offset + length, static_cast<size_t>(padded - length))) return false;
        last_tag = tag;
        offset += padded;
    }
    // The extended form says something the cache block alone cannot.
    return last_tag != 0;
}

}  // namespace

bool read_launch_settings(const unsigned char* block, uint64_t size, LaunchSettings* settings) {
    *settings = {};
    bool read =
        size == 0 || (size == launch_settings_format::block_bytes ? read_cache_block(block, settings)
                                                                  : read_extended_settings(block, size, settings));
    if (!read) *settings = {};
    return read;
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

}  // namespace fenzar
