// Reading what the loader reads first of a PE file: its kind (a 64-bit
// x86-64 image or not) and the names of the DLLs its import directory
// names. Everything is checked against the bytes given: a crafted or
// damaged file gives "not an image" or fewer names, never a read outside.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fenzar {

// The bytes from the start of the file that read_image_kind wants: the
// headers and section tables of every real image fit.
inline constexpr size_t image_head_size = 64 * 1024;
// The most of the import directory's section that is read; names beyond it
// are not seen.
inline constexpr uint32_t import_section_limit = 16 * 1024 * 1024;
inline constexpr size_t import_name_capacity = 255;

struct ImageKind {
    bool is_image = false;  // MZ and PE signatures, file and optional header in place
    bool is_x64 = false;    // machine x86-64 and a PE32+ optional header
    // Where the import directory lies: inside the raw data of one section,
    // read from section_offset in the file, section_size bytes (at most
    // import_section_limit). No imports when section_size is 0.
    uint64_t section_offset = 0;
    uint32_t section_size = 0;
    uint32_t section_rva = 0;
    uint32_t import_rva = 0;
    // Where the sections' raw data ends: a file shorter than that is cut.
    uint64_t raw_end = 0;
};

// The kind of the image whose first head_size bytes (the whole file when it
// is shorter) are head.
ImageKind read_image_kind(const unsigned char* head, size_t head_size);

// The import names of an image of kind, whose import section's bytes (as
// read from section_offset, size bytes, possibly fewer than section_size)
// are section, in their order. *cursor starts at 0; each call stores the
// next name that lies wholly inside the bytes (ASCII, at most
// import_name_capacity characters) in name and returns true, false at the
// end of the directory. Names outside the bytes are passed over.
bool next_import_name(const ImageKind& kind, const unsigned char* section, size_t size, uint32_t* cursor,
                      char name[import_name_capacity + 1]);

}  // namespace fenzar
