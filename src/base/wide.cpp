#include "base/wide.h"

#include "platform/platform.h"

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

void make_full_path_in_place(char16_t* path, size_t capacity) {
    // Large enough for every path capacity the launcher uses.
    static char16_t full_path[4098];
    if (capacity >= sizeof full_path / sizeof full_path[0]) platform::stop_immediately();
    uint32_t size = static_cast<uint32_t>(capacity);
    uint32_t result = platform::get_full_path_name(path, size, full_path);
    if (result == 0 || result >= size) platform::stop_immediately();
    copy_wide_bounded(path, full_path, capacity);
}

void cut_at_last_backslash(char16_t* path) {
    char16_t* last = nullptr;
    for (char16_t* p = path; *p != 0; ++p) {
        if (*p == u'\\') last = p;
    }
    if (last != nullptr) *last = 0;
}
