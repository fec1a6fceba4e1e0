// Sequential reader of the archive inside the attached data: decodes the zstd
// frame on demand through a fixed 128 KiB window. Every failure ends the
// process with its message and exit status 2.
#pragma once

#include <cstddef>
#include <cstdint>

// Checks the magic of the image's attached data and sets up the decoder.
void open_payload();
// Copies exactly count bytes of the decompressed archive to destination.
void read_payload(void* destination, size_t count);
// Releases the decoder after the end marker.
void close_payload();

// open_payload over the given attached data instead of the image's own, so
// that tests can read data they made. length counts the magic and trailer.
void open_payload_from(const unsigned char* attached_data, uint64_t length);
