#include "base/wide.h"

#include <cstdint>

#include "platform/platform.h"

namespace fenzar {

size_t wide_length(const char16_t* text) {
    size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

bool wide_equal(const char16_t* a, const char16_t* b) {
    size_t i = 0;
    for (; a[i] != 0 && a[i] == b[i]; ++i) {
    }
    return a[i] == b[i];
}

// Copies source to destination with room for capacity characters. A source
// that does not fit stops before anything is written, so the destination
// stays terminated whatever was behind its terminator.
static void copy_into_remaining(char16_t* destination, const char16_t* source, size_t capacity) {
    if (source == nullptr) platform::stop_immediately();
    size_t length = 0;
    while (source[length] != 0) {
        if (length == capacity) platform::stop_immediately();
        ++length;
    }
    for (size_t i = 0; i <= length; ++i) destination[i] = source[i];
}

void copy_wide_bounded(char16_t* destination, const char16_t* source, size_t capacity) {
    copy_into_remaining(destination, source, capacity);
}

void append_wide_bounded(char16_t* destination, const char16_t* source, size_t capacity) {
    size_t length = wide_length(destination);
    copy_into_remaining(destination + length, source, capacity - length);
}

void append_wide_char_bounded(char16_t* destination, char16_t character, size_t capacity) {
    size_t length = wide_length(destination);
    if (length >= capacity) platform::stop_immediately();
    destination[length] = character;
    destination[length + 1] = 0;
}

void append_ascii_char_bounded(char16_t* destination, char byte, size_t capacity) {
    char16_t widened[2] = {0, 0};
    if (platform::widen_byte(byte, widened) != 1) platform::stop_immediately();
    append_wide_char_bounded(destination, widened[0], capacity);
}

void append_ascii_bounded(char16_t* destination, const char* text, size_t capacity) {
    for (size_t i = 0; text[i] != 0; ++i) append_ascii_char_bounded(destination, text[i], capacity);
}

void require_decimal_digits(const char16_t* text) {
    if (text == nullptr || text[0] == 0) platform::stop_immediately();
    for (size_t i = 0; text[i] != 0; ++i) {
        if (!platform::is_decimal_digit(text[i])) platform::stop_immediately();
    }
}

bool parse_decimal_strict(const char16_t* text, int32_t* number) {
    size_t end = 0;
    bool out_of_range = false;
    int64_t value = platform::parse_long(text, &end, &out_of_range);
    if (out_of_range) return false;
    if (end == 0) return false;
    if (text[end] != 0) return false;
    *number = static_cast<int32_t>(value);
    return true;
}

void append_decimal_bounded(char16_t* destination, uint64_t value, size_t capacity) {
    char16_t reversed[20];
    size_t count = 0;
    do {
        reversed[count++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) append_wide_char_bounded(destination, reversed[--count], capacity);
}

size_t read_decimal(const char16_t* text, uint64_t max, uint64_t* value) {
    if (text[0] < u'0' || text[0] > u'9') return 0;
    if (text[0] == u'0') {
        if (text[1] >= u'0' && text[1] <= u'9') return 0;
        *value = 0;
        return 1;
    }
    uint64_t number = 0;
    size_t length = 0;
    for (; text[length] >= u'0' && text[length] <= u'9'; ++length) {
        uint64_t digit = static_cast<uint64_t>(text[length] - u'0');
        if (number > (max - digit) / 10) return 0;
        number = number * 10 + digit;
    }
    *value = number;
    return length;
}

void make_full_path_in_place(char16_t* path, size_t capacity, char16_t* scratch, size_t scratch_capacity) {
    if (scratch_capacity < capacity || capacity >= UINT32_MAX) platform::stop_immediately();
    uint32_t size = static_cast<uint32_t>(capacity);
    uint32_t result = platform::get_full_path_name(path, size, scratch);
    if (result == 0 || result >= size) platform::stop_immediately();
    copy_wide_bounded(path, scratch, capacity);
}

void cut_at_last_backslash(char16_t* path) {
    char16_t* last = nullptr;
    for (char16_t* p = path; *p != 0; ++p) {
        if (*p == u'\\') last = p;
    }
    if (last != nullptr) *last = 0;
}

}  // namespace fenzar
