#include "payload/reader.h"

#include <zstd.h>

#include <cstdlib>
#include <cstring>

#include "base/report.h"
#include "payload/attached_data.h"
#include "platform/platform.h"

namespace fenzar {

namespace {

constexpr size_t decoding_window_size = 131072;

// Decodes the next piece of the archive into the window. Returns whether it
// filled the window completely: the decoder may then still hold output even
// though it has consumed all its input.
bool refill_window(PayloadReader& reader) {
    ZSTD_inBuffer input = {reader.input, reader.input_size, reader.input_position};
    ZSTD_outBuffer window = {reader.decoding_window, decoding_window_size, 0};
    size_t result = ZSTD_decompressStream(reader.decoder, &window, &input);
    if (ZSTD_isError(result) || input.pos > input.size) fail_with_message(message::decode_failed);
    reader.input_position = input.pos;
    reader.window_fill = window.pos;
    reader.window_position = 0;
    return reader.window_fill == decoding_window_size;
}

}  // namespace

PayloadReader::~PayloadReader() { close_payload(*this); }

void open_payload(PayloadReader& reader, AttachedData attached_data) {
    const auto& expected = attached_data_format::magic;
    // Data shorter than the magic has no header either; nothing past its end
    // is read.
    if (attached_data.length < sizeof expected || std::memcmp(attached_data.bytes, expected, sizeof expected) != 0) {
        fail_with_message(message::header_not_found);
    }
    reader.decoding_window = static_cast<unsigned char*>(platform::allocate_memory(decoding_window_size));
    if (reader.decoding_window == nullptr) fail_with_message(message::allocation_failed);
    reader.decoder = ZSTD_createDCtx();
    if (reader.decoder == nullptr) fail_with_message(message::allocation_failed);
    reader.input = attached_data.bytes + sizeof expected;
    reader.input_size = static_cast<size_t>(attached_data.length - sizeof expected);
    reader.input_position = 0;
    reader.window_fill = 0;
    reader.window_position = 0;
    reader.window_was_filled = false;
}

void read_payload(PayloadReader& reader, void* destination, size_t count) {
    auto* out = static_cast<unsigned char*>(destination);
    for (;;) {
        if (reader.window_position < reader.window_fill) {
            size_t available = reader.window_fill - reader.window_position;
            size_t n = count < available ? count : available;
            std::memcpy(out, reader.decoding_window + reader.window_position, n);
            reader.window_position += n;
            out += n;
            count -= n;
        } else if (reader.input_position < reader.input_size || reader.window_was_filled) {
            reader.window_was_filled = refill_window(reader);
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

void close_payload(PayloadReader& reader) {
    ZSTD_freeDCtx(reader.decoder);
    platform::free_memory(reader.decoding_window);
    reader.decoder = nullptr;
    reader.decoding_window = nullptr;
}

}  // namespace fenzar
