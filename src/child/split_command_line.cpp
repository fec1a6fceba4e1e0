#include "child/split_command_line.h"

#include <cstddef>

#include "base/wide.h"

namespace fenzar {

namespace {

bool is_blank(char16_t unit) { return unit == u' ' || unit == u'\t'; }

}  // namespace

CommandLineArguments split_command_line(const char16_t* command_line) {
    const size_t length = wide_length(command_line);
    // No argument is longer than the text it comes from, each takes one
    // terminator, and every argument after the first starts after a blank.
    const size_t most_arguments = length / 2 + 2;
    CommandLineArguments split;
    split.pointers = platform::allocate_elements<char16_t*>(most_arguments + 1);
    split.units = platform::allocate_elements<char16_t>(length + most_arguments + 1);
    if (!split.pointers.valid() || !split.units.valid()) return {};

    char16_t** arguments = split.pointers.get();
    const char16_t* s = command_line;
    char16_t* d = split.units.get();
    int n = 0;
    arguments[n++] = d;
    if (*s == u'"') {
        ++s;
        while (*s != 0) {
            if (*s == u'"') {
                ++s;
                break;
            }
            *d++ = *s++;
        }
    } else {
        while (*s != 0 && !is_blank(*s)) *d++ = *s++;
    }
    *d++ = 0;
    while (is_blank(*s)) ++s;
    if (*s != 0) arguments[n++] = d;

    // quotes: 1 inside quotes, 0 outside; backslashes: the run just copied.
    int quotes = 0;
    size_t backslashes = 0;
    while (*s != 0) {
        if (is_blank(*s) && quotes == 0) {
            *d++ = 0;
            backslashes = 0;
            while (is_blank(*s)) ++s;
            if (*s != 0) arguments[n++] = d;
        } else if (*s == u'\\') {
            *d++ = *s++;
            ++backslashes;
        } else if (*s == u'"') {
            if (backslashes % 2 == 0) {
                d -= backslashes / 2;
                ++quotes;
            } else {
                d -= backslashes / 2 + 1;
                *d++ = u'"';
            }
            ++s;
            backslashes = 0;
            while (*s == u'"') {
                if (++quotes == 3) {
                    *d++ = u'"';
                    quotes = 0;
                }
                ++s;
            }
            if (quotes == 2) quotes = 0;
        } else {
            *d++ = *s++;
            backslashes = 0;
        }
    }
    *d = 0;
    arguments[n] = nullptr;
    split.count = n;
    return split;
}

}  // namespace fenzar
