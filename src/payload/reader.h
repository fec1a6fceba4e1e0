// Sequential reader of the archive inside the attached data: decodes the zstd
// frame on demand through a fixed 128 KiB window. Every failure ends the
// process with its message and exit status 2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "payload/attached_data.h"

// Checks the magic of the attached data and sets up the decoder.
void open_payload(AttachedData attached_data);
// Copies exactly count bytes of the decompressed archive to destination.
void read_payload(void* destination, size_t count);
// Releases the decoder after the end marker; a second call does nothing.
void close_payload();
