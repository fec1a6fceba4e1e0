#include "cache/cache_index.h"

#include <cstring>
#include <utility>

#include "base/wide.h"
#include "payload/attached_data.h"
#include "platform/platform.h"

namespace fenzar {

namespace {

constexpr unsigned char index_magic[8] = {'F', 'Z', 'I', 'N', 'D', 'E', 'X', '1'};
constexpr size_t index_header_bytes = 8 + launch_settings_format::digest_bytes + 8;
// Far above any real archive's index; a bigger file is not read.
constexpr uint64_t index_size_limit = 64ull << 20;
// Per record: its size and its name's length.
constexpr size_t record_header_bytes = 10;

void put_le(unsigned char* bytes, uint64_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t get_le(const unsigned char* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = count; i > 0; --i) value = value << 8 | bytes[i - 1];
    return value;
}

// Buffered writing of the index file.
struct IndexWriter {
    platform::FileHandle file{nullptr};
    unsigned char buffer[32768];
    size_t used = 0;
    bool failed = false;

    void put(const void* data, size_t length) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        while (length > 0 && !failed) {
            if (used == sizeof buffer) flush();
            size_t piece = sizeof buffer - used < length ? sizeof buffer - used : length;
            std::memcpy(buffer + used, bytes, piece);
            used += piece;
            bytes += piece;
            length -= piece;
        }
    }
    void flush() {
        if (used > 0 && !platform::write_file(file, buffer, static_cast<uint32_t>(used))) failed = true;
        used = 0;
    }
};

// Reads the whole index into memory; not valid when it is missing, too big
// or cannot be read. Memory that runs out counts as an index that does not
// match: the content is unpacked again, which costs time and changes
// nothing the application sees.
platform::OwnedMemory<> read_index(const char16_t* path, uint64_t* size) {
    if (!platform::get_file_size(path, size) || *size < index_header_bytes || *size > index_size_limit) return {};
    auto bytes = platform::allocate_elements<unsigned char>(static_cast<size_t>(*size));
    if (!bytes.valid()) return {};
    platform::OwnedQueryFile file(platform::open_file_for_reading(path));
    if (!file.valid()) return {};
    for (uint64_t done = 0; done < *size;) {
        uint64_t rest = *size - done;
        uint32_t piece = rest < (1u << 20) ? static_cast<uint32_t>(rest) : (1u << 20);
        uint32_t read = 0;
        if (!platform::read_file(file.get(), bytes.get() + done, piece, &read) || read == 0) return {};
        done += read;
    }
    return bytes;
}

bool index_matches(const unsigned char* digest, const char16_t* files, const unsigned char* bytes, uint64_t size) {
    if (std::memcmp(bytes, index_magic, sizeof index_magic) != 0) return false;
    if (std::memcmp(bytes + 8, digest, launch_settings_format::digest_bytes) != 0) return false;
    uint64_t count = get_le(bytes + 8 + launch_settings_format::digest_bytes, 8);
    uint64_t at = index_header_bytes;
    // files, a backslash and a record's name.
    WideBuffer<path_capacity + 8 + 1 + attached_data_format::max_name_units> path;
    size_t files_length = wide_length(files);
    if (files_length > path_capacity + 8) return false;
    copy_wide_bounded(path, files);
    path.units[files_length] = u'\\';
    char16_t* name = path.units + files_length + 1;
    for (uint64_t i = 0; i < count; ++i) {
        if (size - at < record_header_bytes) return false;
        uint64_t expected = get_le(bytes + at, 8);
        size_t length = static_cast<size_t>(get_le(bytes + at + 8, 2));
        at += record_header_bytes;
        if (length == 0 || length > attached_data_format::max_name_units || (size - at) / 2 < length) return false;
        for (size_t u = 0; u < length; ++u) name[u] = static_cast<char16_t>(get_le(bytes + at + 2 * u, 2));
        name[length] = 0;
        at += 2 * length;
        uint64_t actual = 0;
        if (!platform::get_file_size(path.data(), &actual) || actual != expected) return false;
    }
    return at == size && count > 0;
}

}  // namespace

void CacheRecords::release() {
    bytes.reset();
    length = capacity = 0;
    count = 0;
    lost = false;
}

void add_cache_record(CacheRecords& records, const char16_t* name, uint64_t size) {
    size_t length = wide_length(name);
    size_t bytes = record_header_bytes + 2 * length;
    if (records.capacity - records.length < bytes) {
        size_t capacity = records.capacity * 2 + bytes + 8192;
        auto grown = platform::allocate_elements<unsigned char>(capacity);
        if (!grown.valid()) {
            records.lost = true;
            return;
        }
        if (records.length > 0) std::memcpy(grown.get(), records.bytes.get(), records.length);
        records.bytes = std::move(grown);
        records.capacity = capacity;
    }
    unsigned char* at = records.bytes.get() + records.length;
    put_le(at, size, 8);
    put_le(at + 8, length, 2);
    for (size_t i = 0; i < length; ++i) put_le(at + record_header_bytes + 2 * i, name[i], 2);
    records.length += bytes;
    ++records.count;
}

bool write_cache_index(const char16_t* index_path, const unsigned char digest[launch_settings_format::digest_bytes],
                       const CacheRecords& records) {
    platform::FileHandle file = platform::create_file_for_writing(index_path);
    if (!file.valid()) return false;
    IndexWriter writer;
    writer.file = file;
    unsigned char header[index_header_bytes] = {};
    std::memcpy(header, index_magic, sizeof index_magic);
    std::memcpy(header + 8, digest, launch_settings_format::digest_bytes);
    put_le(header + 8 + launch_settings_format::digest_bytes, records.count, 8);
    writer.put(header, sizeof header);
    writer.put(records.bytes.get(), records.length);
    writer.flush();
    bool flushed = !writer.failed && platform::flush_file(file);
    // A late write error surfaces at the close: such an index is no index.
    bool closed = platform::close_file(file);
    return flushed && closed && records.count > 0 && !records.lost;
}

bool cache_index_matches(const char16_t* index_path, const unsigned char digest[launch_settings_format::digest_bytes],
                         const char16_t* files) {
    uint64_t size = 0;
    platform::OwnedMemory<> bytes = read_index(index_path, &size);
    return bytes.valid() && index_matches(digest, files, bytes.get(), size);
}

}  // namespace fenzar
