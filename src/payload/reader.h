// Sequential reader of the archive inside the attached data: decodes the zstd
// frame on demand through a fixed 128 KiB window. Every failure ends the
// process with its message and exit status 2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "payload/attached_data.h"

struct ZSTD_DCtx_s;

namespace fenzar {

// One reader per run. The window and the decoder are on the heap from
// open_payload until close_payload, or until a reader that ends before the
// process (a test's, a tool's) is destroyed.
struct PayloadReader {
    PayloadReader() = default;
    PayloadReader(const PayloadReader&) = delete;
    PayloadReader& operator=(const PayloadReader&) = delete;
    ~PayloadReader();

    unsigned char* decoding_window = nullptr;
    ZSTD_DCtx_s* decoder = nullptr;
    // The frame still to decode.
    const unsigned char* input = nullptr;
    size_t input_size = 0;
    size_t input_position = 0;
    // The window's fill, and the next byte of it to hand out; both 0 at the
    // start, so the first read refills.
    size_t window_fill = 0;
    size_t window_position = 0;
    // Whether the last refill filled the window: the decoder may then hold
    // more output with its input consumed. Kept across requests, so that the
    // answer to the same data does not depend on how the reads are split.
    bool window_was_filled = false;
};

// Checks the magic of the attached data and sets up the decoder.
void open_payload(PayloadReader& reader, AttachedData attached_data);
// Copies exactly count bytes of the decompressed archive to destination.
void read_payload(PayloadReader& reader, void* destination, size_t count);
// Releases the decoder after the end marker; a second call does nothing.
void close_payload(PayloadReader& reader);

}  // namespace fenzar
