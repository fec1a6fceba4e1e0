#include "payload/reader.h"

#include <zstd.h>

#include <cstdlib>
#include <cstring>

#include "base/report.h"
#include "payload/attached_data.h"
#include "platform/platform.h"

namespace {

constexpr size_t decoding_window_size = 131072;

const unsigned char* cursor = nullptr;
unsigned char* decoding_window = nullptr;
ZSTD_DCtx* decoder = nullptr;
ZSTD_inBuffer input = {nullptr, 0, 0};
// size is the window fill, pos the next byte to hand out; both 0 at the
// start, so the first read refills.
ZSTD_outBuffer window = {nullptr, 0, 0};
// Whether the last refill filled the window: the decoder may then hold more
// output with its input consumed. Kept across requests, so that the answer
// to the same data does not depend on how the reads are split.
bool window_was_filled = false;

// Decodes the next piece of the archive into the window. Returns whether it
// filled the window completely: the decoder may then still hold output even
// though it has consumed all its input.
bool refill_window() {
    window.dst = decoding_window;
    window.size = decoding_window_size;
    window.pos = 0;
    size_t result = ZSTD_decompressStream(decoder, &window, &input);
    if (ZSTD_isError(result) || input.pos > input.size) fail_with_message(message::decode_failed);
    window.size = window.pos;
    window.pos = 0;
    return window.size == decoding_window_size;
}

}  // namespace

void open_payload(AttachedData attached_data) {
    const auto& expected = attached_data_format::magic;
    // Data shorter than the magic has no header either; nothing past its end
    // is read.
    if (attached_data.length < sizeof expected || std::memcmp(attached_data.bytes, expected, sizeof expected) != 0) {
        fail_with_message(message::header_not_found);
    }
    cursor = attached_data.bytes + sizeof expected;
    decoding_window = static_cast<unsigned char*>(platform::allocate_memory(decoding_window_size));
    if (decoding_window == nullptr) fail_with_message(message::allocation_failed);
    decoder = ZSTD_createDCtx();
    if (decoder == nullptr) fail_with_message(message::allocation_failed);
    input = {cursor, static_cast<size_t>(attached_data.length - sizeof expected), 0};
    window = {decoding_window, 0, 0};
    window_was_filled = false;
}

void read_payload(void* destination, size_t count) {
    auto* out = static_cast<unsigned char*>(destination);
    for (;;) {
        if (window.pos < window.size) {
            size_t n = count < window.size - window.pos ? count : window.size - window.pos;
            std::memcpy(out, decoding_window + window.pos, n);
            window.pos += n;
            out += n;
            count -= n;
        } else if (input.pos < input.size || window_was_filled) {
            window_was_filled = refill_window();
        } else {
            // All input is consumed and the decoder holds nothing more, yet
            // bytes are still wanted: asking again would never make progress.
            // Only a damaged archive gets here (data without the trailer, or a
            // frame cut inside a block that swallowed the trailer), so it ends
            // like every other damage, with the decode error and status 2.
            fail_with_message(message::decode_failed);
        }
        if (count == 0) return;
    }
}

void close_payload() {
    ZSTD_freeDCtx(decoder);
    std::free(decoding_window);
    decoder = nullptr;
    decoding_window = nullptr;
}
