#include "base/environment.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/wide.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t value_buffer_size = 32768;
using NameBuffer = WideBuffer<40>;

void widen_name(NameBuffer& wide_name, const char* name) {
    append_ascii_bounded(wide_name, name);
}

}  // namespace

char16_t* get_environment_copy(const char* name) {
    NameBuffer wide_name;
    widen_name(wide_name, name);
    static char16_t value[value_buffer_size];
    value[0] = 0;
    uint32_t length = platform::get_environment_variable(wide_name.data(), value, value_buffer_size);
    if (length < 1 || length > value_buffer_size - 1) return nullptr;
    size_t bytes = (wide_length(value) + 1) * sizeof(char16_t);
    auto* copy = static_cast<char16_t*>(std::malloc(bytes));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, value, bytes);
    return copy;
}

bool set_environment_value(const char* name, const char16_t* value) {
    NameBuffer wide_name;
    widen_name(wide_name, name);
    return platform::set_environment_variable(wide_name.data(), value);
}

bool unset_environment_value(const char* name) {
    return set_environment_value(name, nullptr);
}

bool set_environment_number(const char* name, int32_t number) {
    char text[128];
    std::snprintf(text, sizeof text, "%ld", static_cast<long>(number));
    WideBuffer<128> wide_text;
    append_ascii_bounded(wide_text, text);
    return set_environment_value(name, wide_text.data());
}
