// Bounded wide buffers: an array of capacity + 1 UTF-16 units holding a
// terminated string of at most capacity units. Every write is checked before
// it happens; passing a capacity is an immediate stop, never an error result.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fenzar {

// The longest path the launcher's buffers take, in UTF-16 units: the target
// directory, the own path, a folder walked for leftovers, a path shown in a
// message.
inline constexpr size_t path_capacity = 4096;

template <size_t Capacity>
struct WideBuffer {
    static constexpr size_t capacity = Capacity;
    char16_t units[Capacity + 1] = {};

    char16_t* data() { return units; }
    const char16_t* data() const { return units; }
    bool empty() const { return units[0] == 0; }
};

size_t wide_length(const char16_t* text);
bool wide_equal(const char16_t* a, const char16_t* b);

void copy_wide_bounded(char16_t* destination, const char16_t* source, size_t capacity);
void append_wide_bounded(char16_t* destination, const char16_t* source, size_t capacity);
void append_wide_char_bounded(char16_t* destination, char16_t character, size_t capacity);
void append_ascii_char_bounded(char16_t* destination, char byte, size_t capacity);
void append_ascii_bounded(char16_t* destination, const char* text, size_t capacity);

// Returns only if text is present, non-empty and all decimal digits.
void require_decimal_digits(const char16_t* text);
// Whole text one base-10 number in the 32-bit signed range; *number is
// stored only on success.
bool parse_decimal_strict(const char16_t* text, int32_t* number);

// The decimal digits of value (at most 20) at the end of destination.
void append_decimal_bounded(char16_t* destination, uint64_t value, size_t capacity);
// Reads a decimal number at text: ASCII digits without a leading zero (a
// lone "0" is zero), at most max; the number of units read, 0 when there is
// no such number. Stops at the first unit that is no digit.
size_t read_decimal(const char16_t* text, uint64_t max, uint64_t* value);

// Makes path full, in place; a result that does not fit is an immediate
// stop, as is one of capacity units. The scratch buffer is the caller's, at
// least capacity + 1 units.
void make_full_path_in_place(char16_t* path, size_t capacity, char16_t* scratch, size_t scratch_capacity);

template <size_t N>
void make_full_path_in_place(WideBuffer<N>& path) {
    WideBuffer<N> scratch;
    make_full_path_in_place(path.data(), N, scratch.data(), N);
}
void cut_at_last_backslash(char16_t* path);

template <size_t N>
void copy_wide_bounded(WideBuffer<N>& destination, const char16_t* source) {
    copy_wide_bounded(destination.units, source, N);
}
template <size_t N>
void append_wide_bounded(WideBuffer<N>& destination, const char16_t* source) {
    append_wide_bounded(destination.units, source, N);
}
template <size_t N>
void append_wide_char_bounded(WideBuffer<N>& destination, char16_t character) {
    append_wide_char_bounded(destination.units, character, N);
}
template <size_t N>
void append_decimal_bounded(WideBuffer<N>& destination, uint64_t value) {
    append_decimal_bounded(destination.units, value, N);
}
template <size_t N>
void append_ascii_bounded(WideBuffer<N>& destination, const char* text) {
    append_ascii_bounded(destination.units, text, N);
}

}  // namespace fenzar
