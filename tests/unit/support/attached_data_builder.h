// Attached data made by tests, byte by byte after the one description of the
// format: archives of records, and the magic, frames and trailer around them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

struct Record {
    std::u16string name;
    std::string data;
};

// The records, then the end marker.
std::string make_archive(const std::vector<Record>& records);

// The magic (any three bytes), the frames as they are, and unless left out
// the zero padding and the offset trailer.
Bytes wrap_attached_data(const Bytes& frames, bool with_trailer = true, const char* magic = "ZUQ");

// The archive as one frame with a content checksum, wrapped.
Bytes make_attached_data(const std::string& archive);

// A launch settings block (payload/launch_settings.h) for --cache: the name
// as given (its length field too, up to the block's room), and the digest
// bytes digest_byte, digest_byte + 1, ...
Bytes make_launch_settings(const std::u16string& name, unsigned char digest_byte = 0xA5);

// size bytes of file content that every seed makes different.
std::string pattern(size_t size, uint32_t seed);
