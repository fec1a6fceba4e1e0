// Little-endian fields in byte buffers, as PE images, icon files and
// resources hold them: the one reader and the one writer of the packer. Both
// check every field against the buffer, so a damaged input cannot make the
// packer read or write outside it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "error.h"

namespace fenzar::pack {

// Reads fields of an input; a field outside it throws PackError with the
// message the reader was made with ("the file ends inside its headers").
class ByteReader {
public:
    ByteReader(std::span<const unsigned char> bytes, std::string outside)
        : bytes_(bytes), outside_(std::move(outside)) {}

    std::span<const unsigned char> bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }
    bool holds(std::uint64_t at, std::uint64_t count) const {
        return at <= bytes_.size() && count <= bytes_.size() - at;
    }

    unsigned char u8(std::uint64_t at) const {
        require(at, 1);
        return bytes_[at];
    }
    std::uint16_t u16(std::uint64_t at) const {
        require(at, 2);
        return static_cast<std::uint16_t>(bytes_[at] | bytes_[at + 1] << 8);
    }
    std::uint32_t u32(std::uint64_t at) const { return u16(at) | static_cast<std::uint32_t>(u16(at + 2)) << 16; }
    std::uint64_t u64(std::uint64_t at) const { return u32(at) | static_cast<std::uint64_t>(u32(at + 4)) << 32; }
    // PNG keeps its fields big-endian.
    std::uint32_t u32_big_endian(std::uint64_t at) const {
        require(at, 4);
        return static_cast<std::uint32_t>(bytes_[at]) << 24 | static_cast<std::uint32_t>(bytes_[at + 1]) << 16 |
               static_cast<std::uint32_t>(bytes_[at + 2]) << 8 | bytes_[at + 3];
    }
    std::span<const unsigned char> span(std::uint64_t at, std::uint64_t count) const {
        require(at, count);
        return bytes_.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(count));
    }

private:
    void require(std::uint64_t at, std::uint64_t count) const {
        if (!holds(at, count)) throw PackError(outside_);
    }

    std::span<const unsigned char> bytes_;
    std::string outside_;
};

// Writes fields into a buffer the packer builds: at a place inside it, or
// appended. A place outside it is the packer's own fault (std::out_of_range).
class ByteWriter {
public:
    explicit ByteWriter(std::vector<unsigned char>& out) : out_(out) {}

    std::size_t size() const { return out_.size(); }

    void put_u16(std::size_t at, std::uint16_t value) { put_little_endian(at, value, 2); }
    void put_u32(std::size_t at, std::uint32_t value) { put_little_endian(at, value, 4); }
    void put_u64(std::size_t at, std::uint64_t value) { put_little_endian(at, value, 8); }
    void put_bytes(std::size_t at, std::span<const unsigned char> bytes) {
        require(at, bytes.size());
        std::copy(bytes.begin(), bytes.end(), out_.begin() + static_cast<std::ptrdiff_t>(at));
    }
    void fill(std::size_t at, std::size_t count, unsigned char value) {
        require(at, count);
        std::fill_n(out_.begin() + static_cast<std::ptrdiff_t>(at), count, value);
    }

    void append_u16(std::uint16_t value) {
        out_.resize(out_.size() + 2);
        put_u16(out_.size() - 2, value);
    }
    void append_bytes(std::span<const unsigned char> bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
    void append_zeros_to_multiple_of(std::size_t alignment) {
        out_.resize((out_.size() + alignment - 1) / alignment * alignment, 0);
    }

private:
    void put_little_endian(std::size_t at, std::uint64_t value, std::size_t count) {
        require(at, count);
        for (std::size_t i = 0; i < count; ++i) out_[at + i] = static_cast<unsigned char>(value >> (8 * i));
    }
    void require(std::size_t at, std::size_t count) const {
        if (at > out_.size() || count > out_.size() - at) throw std::out_of_range("a field outside the buffer");
    }

    std::vector<unsigned char>& out_;
};

}  // namespace fenzar::pack
