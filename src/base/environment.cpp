#include "base/environment.h"

#include <cstdio>

#include "base/report.h"
#include "base/wide.h"
#include "platform/platform.h"

namespace fenzar {

namespace {

constexpr uint32_t value_buffer_size = 32768;
using NameBuffer = WideBuffer<40>;

void widen_name(NameBuffer& wide_name, const char* name) { append_ascii_bounded(wide_name, name); }

}  // namespace

EnvironmentCopy get_environment_copy(const char* name) {
    NameBuffer wide_name;
    widen_name(wide_name, name);
    // Room for the longest value there is, on the heap rather than in a
    // static, so that threads may read variables side by side.
    EnvironmentCopy value = platform::allocate_elements<char16_t>(value_buffer_size);
    // Taking a variable for absent when memory ran out could make a child
    // take itself for a parent.
    if (!value.valid()) fail_with_message(message::allocation_failed);
    value[0] = 0;
    uint32_t length = platform::get_environment_variable(wide_name.data(), value.get(), value_buffer_size);
    if (length < 1 || length > value_buffer_size - 1) return {};
    return value;
}

bool set_environment_value(const char* name, const char16_t* value) {
    NameBuffer wide_name;
    widen_name(wide_name, name);
    return platform::set_environment_variable(wide_name.data(), value);
}

bool unset_environment_value(const char* name) { return set_environment_value(name, nullptr); }

bool set_environment_number(const char* name, int32_t number) {
    char text[128];
    std::snprintf(text, sizeof text, "%ld", static_cast<long>(number));
    WideBuffer<128> wide_text;
    append_ascii_bounded(wide_text, text);
    return set_environment_value(name, wide_text.data());
}

}  // namespace fenzar
