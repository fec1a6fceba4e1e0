// The least a decoder of attached data does: one context with the library's
// defaults, ZSTD_decompressStream into a 128 KiB window until the frame ends.
// Shared by the native and the Windows benchmark, so both time the same loop
// against their own zstd build.
#pragma once

#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "payload/attached_data.h"

namespace fenzar {

// The decoded size, or 0 when the frame is damaged. `attached` starts with
// the magic.
inline uint64_t decode_attached_data(const unsigned char* attached, size_t size) {
    static unsigned char window[131072];
    ZSTD_DCtx* decoder = ZSTD_createDCtx();
    constexpr size_t magic_size = sizeof attached_data_format::magic;
    ZSTD_inBuffer input = {attached + magic_size, size - magic_size, 0};
    uint64_t total = 0;
    for (;;) {
        ZSTD_outBuffer output = {window, sizeof window, 0};
        size_t result = ZSTD_decompressStream(decoder, &output, &input);
        if (ZSTD_isError(result)) {
            total = 0;
            break;
        }
        total += output.pos;
        if (result == 0) break;
    }
    ZSTD_freeDCtx(decoder);
    return total;
}

}  // namespace fenzar
