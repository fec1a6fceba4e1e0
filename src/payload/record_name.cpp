#include "payload/record_name.h"

#include <initializer_list>

namespace fenzar {

namespace {

char16_t lower_ascii(char16_t unit) { return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + 32) : unit; }

bool equals_ignoring_ascii_case(const char16_t* text, size_t length, const char* word) {
    size_t i = 0;
    for (; i < length && word[i] != 0; ++i) {
        if (lower_ascii(text[i]) != static_cast<unsigned char>(word[i])) return false;
    }
    return i == length && word[i] == 0;
}

bool is_port_digit(char16_t unit) {
    return (unit >= u'0' && unit <= u'9') || unit == u'\u00B9' || unit == u'\u00B2' || unit == u'\u00B3';
}

bool is_dots_and_spaces(const char16_t* component, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (component[i] != u'.' && component[i] != u' ') return false;
    }
    return true;
}

}  // namespace

bool is_device_component(const char16_t* component, size_t length) {
    size_t stem = 0;
    while (stem < length && component[stem] != u'.') ++stem;
    while (stem > 0 && component[stem - 1] == u' ') --stem;
    for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$", "clock$"}) {
        if (equals_ignoring_ascii_case(component, stem, device)) return true;
    }
    if (stem != 4) return false;
    bool port = equals_ignoring_ascii_case(component, 3, "com") || equals_ignoring_ascii_case(component, 3, "lpt");
    return port && is_port_digit(component[3]);
}

const char* record_name_problem(const char16_t* name, size_t length) {
    if (length == 0) return "the name is empty";
    if (name[0] == u'\\') return "the name is absolute";
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == u':') return "the name holds a drive or colon";
        if (name[i] == u'/') return "the name holds a forward slash";
    }
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && name[i] != u'\\') continue;
        const char16_t* component = name + start;
        size_t component_length = i - start;
        if (component_length == 0) return "the name has an empty component";
        if (is_dots_and_spaces(component, component_length)) return "the name has a \".\" or \"..\" component";
        if (is_device_component(component, component_length)) return "a component of the name is a Windows device name";
        start = i + 1;
    }
    return nullptr;
}

}  // namespace fenzar
