// The index a published content directory carries: what was unpacked into
// it, so that a later start can check the content without reading it. A
// header (the magic "FZINDEX1", the 16 digest bytes of the settings, the
// number of files, 8 bytes little-endian), then per file its size (8
// bytes), its name's length in units (2 bytes) and the name (UTF-16LE,
// relative to `files`), in the order the files were unpacked.
#pragma once

#include <cstddef>
#include <cstdint>
#include "payload/launch_settings.h"
#include "platform/platform.h"

namespace fenzar {

// The records of one unpacking, as the index lists them after its header.
struct CacheRecords {
    platform::OwnedMemory<> bytes;
    size_t length = 0;
    size_t capacity = 0;
    uint64_t count = 0;
    // Set when memory for a record ran out: such an index is no index, and
    // the run falls back instead of failing.
    bool lost = false;

    void release();
};

void add_cache_record(CacheRecords& records, const char16_t* name, uint64_t size);

// Writes the index file at index_path, flushed to the disk: what was
// unpacked and flushed is what a later start checks, so a file cut or
// zero-filled afterwards is told by its size or, failing that, by the
// child's load. False when it cannot be written whole, or when there is no
// record or one was lost.
bool write_cache_index(const char16_t* index_path, const unsigned char digest[launch_settings_format::digest_bytes],
                       const CacheRecords& records);

// Whether the index at index_path is of this digest and every file it lists
// is below files (a folder, without the trailing backslash) with its size.
// Reads only the index and the sizes; an index over 64 MiB is not read.
bool cache_index_matches(const char16_t* index_path, const unsigned char digest[launch_settings_format::digest_bytes],
                         const char16_t* files);

}  // namespace fenzar
