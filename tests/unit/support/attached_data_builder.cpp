#include "support/attached_data_builder.h"

#include <zstd.h>

#include <gtest/gtest.h>

#include "payload/attached_data.h"
#include "payload/launch_settings.h"

using namespace fenzar;

namespace format = attached_data_format;

namespace {

void put_unit(std::string& out, char16_t unit) {
    unsigned char bytes[format::name_unit_bytes];
    format::put_name_unit(unit, bytes);
    out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

}  // namespace

std::string make_archive(const std::vector<Record>& records) {
    std::string out;
    for (const Record& record : records) {
        for (char16_t unit : record.name) put_unit(out, unit);
        put_unit(out, 0);
        unsigned char size[format::size_field_bytes];
        format::put_size(record.data.size(), size);
        out.append(reinterpret_cast<const char*>(size), sizeof size);
        out += record.data;
    }
    put_unit(out, 0);
    return out;
}

Bytes wrap_attached_data(const Bytes& frames, bool with_trailer, const char* magic) {
    Bytes data(magic, magic + sizeof format::magic);
    data.insert(data.end(), frames.begin(), frames.end());
    if (with_trailer) {
        uint64_t offset = format::trailer_offset_after(data.size());
        data.resize(offset, 0);
        unsigned char trailer[format::trailer_bytes];
        format::put_size(offset, trailer);
        data.insert(data.end(), trailer, trailer + sizeof trailer);
    }
    return data;
}

Bytes make_attached_data(const std::string& archive) {
    Bytes frame(ZSTD_compressBound(archive.size()));
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    size_t length = ZSTD_compress2(context, frame.data(), frame.size(), archive.data(), archive.size());
    ZSTD_freeCCtx(context);
    EXPECT_FALSE(ZSTD_isError(length));
    frame.resize(ZSTD_isError(length) ? 0 : length);
    return wrap_attached_data(frame);
}

std::string pattern(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    for (char& c : out) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return out;
}

Bytes make_launch_settings(const std::u16string& name, unsigned char digest_byte) {
    using namespace launch_settings_format;
    Bytes block(block_bytes, 0);
    for (size_t i = 0; i < digest_bytes; ++i) block[i] = static_cast<unsigned char>(digest_byte + i);
    block[name_length_offset] = static_cast<unsigned char>(name.size());
    for (size_t i = 0; i < name.size() && i < max_name_units; ++i) {
        block[name_offset + 2 * i] = static_cast<unsigned char>(name[i]);
        block[name_offset + 2 * i + 1] = static_cast<unsigned char>(name[i] >> 8);
    }
    return block;
}
