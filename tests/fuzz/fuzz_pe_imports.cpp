// The launcher's reader of a PE file's kind and import names, on arbitrary
// files: it reads only the bytes it is given, and every name it gives is
// whole (1 to 255 ASCII characters, no zero) and read from inside them.
//
// Input: the file's bytes, read as the launcher reads a DLL: the head, then
// the import section from its offset.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "child/pe_imports.h"

using namespace fenzar;

// The reader needs no platform and nothing set up.
extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t head_size = size < image_head_size ? size : image_head_size;
    // Copies, so that a read past either is the sanitizer's to see.
    std::vector<unsigned char> head(data, data + head_size);
    ImageKind kind = read_image_kind(head.data(), head.size());
    if (kind.is_x64 && !kind.is_image) std::abort();
    if (kind.section_size > import_section_limit) std::abort();
    if (kind.section_size == 0) return 0;
    std::vector<unsigned char> section;
    if (kind.section_offset < size) {
        size_t available = size - kind.section_offset;
        section.assign(data + kind.section_offset,
                       data + kind.section_offset + (available < kind.section_size ? available : kind.section_size));
    }
    uint32_t cursor = 0;
    size_t names = 0;
    char name[import_name_capacity + 1];
    while (next_import_name(kind, section.data(), section.size(), &cursor, name)) {
        size_t length = std::strlen(name);
        if (length == 0 || length > import_name_capacity) std::abort();
        for (size_t i = 0; i < length; ++i) {
            if (static_cast<unsigned char>(name[i]) >= 0x80) std::abort();
        }
        // Each descriptor gives at most one name.
        if (++names > section.size() / 20) std::abort();
    }
    return 0;
}
