#include "target_dir/expand_spec.h"

#include <cstdio>
#include <cstdlib>

#include "base/environment.h"
#include "base/wide.h"
#include "target_dir/target_directory.h"
#include "platform/platform.h"

namespace fenzar {

namespace {

constexpr size_t name_buffer_size = 1024;
constexpr size_t value_buffer_size = platform::folder_path_capacity;

enum class Placeholder { temp, program, program_base, program_dir, pid, home, cache_dir, random, time_us, time };

struct NamedPlaceholder {
    const char16_t* name;
    Placeholder placeholder;
};

// In the order a name is compared with them.
constexpr NamedPlaceholder placeholders[] = {
    {u"TEMP", Placeholder::temp},
    {u"PROGRAM", Placeholder::program},
    {u"PROGRAM_BASE", Placeholder::program_base},
    {u"PROGRAM_DIR", Placeholder::program_dir},
    {u"PID", Placeholder::pid},
    {u"HOME", Placeholder::home},
    {u"CACHE_DIR", Placeholder::cache_dir},
    {u"RANDOM", Placeholder::random},
    {u"TIME_US", Placeholder::time_us},
    {u"TIME", Placeholder::time},
};

constexpr char base64url_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

bool is_ascii_digit(char16_t unit) { return unit >= u'0' && unit <= u'9'; }

// Exactly `length` units (any length from 1 when it is 0), each accepted.
bool has_form(const char16_t* text, size_t length, bool (*accepted)(char16_t)) {
    size_t i = 0;
    for (; text[i] != 0; ++i) {
        if (!accepted(text[i])) return false;
    }
    return length == 0 ? i > 0 : i == length;
}

// The inherited values name the directory a re-entered instance loads its
// library from, so only the forms a parent writes are taken: anything else
// (a "..\", a separator, a drive) would move that directory elsewhere.
bool is_random_token(const char16_t* text) { return has_form(text, random_token_length, is_random_token_character); }
bool is_time_us(const char16_t* text) { return has_form(text, time_us_digits, is_ascii_digit); }
// "%lld" of a count of 100-ns intervals since 1601: never negative, at most
// 19 digits.
bool is_time(const char16_t* text) { return wide_length(text) <= 19 && has_form(text, 0, is_ascii_digit); }

// One expansion's output: the caller's buffer and its capacity, and the
// arguments that {PROGRAM} reads.
struct Output {
    char16_t* text;
    size_t capacity;
    const SavedArguments& arguments;

    size_t length() const { return wide_length(text); }
    size_t remaining() const { return capacity - length(); }
    void append_value(const char16_t* value) { append_wide_bounded(text, value, capacity); }

    // Drops trailing backslashes of the whole output, never before its start.
    void drop_trailing_backslashes() {
        size_t end = length();
        while (end > 0 && text[end - 1] == u'\\') text[--end] = 0;
    }
};

const Placeholder* find_placeholder(const char16_t* name) {
    for (const NamedPlaceholder& entry : placeholders) {
        if (platform::equal_ignoring_case(name, entry.name)) return &entry.placeholder;
    }
    return nullptr;
}

void append_temp(Output& output) {
    size_t length = output.length();
    size_t remaining = output.capacity - length;
    uint32_t size = remaining > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(remaining);
    platform::get_temp_path(size, output.text + length);
    // A call that did not fit may leave its units unterminated; the last
    // element of the buffer is the terminator's in any case.
    output.text[output.capacity] = 0;
    output.drop_trailing_backslashes();
}

void append_program(Output& output) {
    char16_t** argv = output.arguments.argv;
    if (argv == nullptr || argv[0] == nullptr) platform::stop_immediately();
    output.append_value(argv[0]);
}

// Expands "{PROGRAM}" at the output's end; the appended text, or null when
// the nested expansion fails.
char16_t* append_nested_program(Output& output) {
    char16_t* start = output.text + output.length();
    if (!expand_spec(start, u"{PROGRAM}", output.remaining(), output.arguments)) return nullptr;
    return start;
}

bool append_program_base(Output& output) {
    char16_t* program = append_nested_program(output);
    if (program == nullptr) return false;
    size_t length = wide_length(program);
    if (length >= 4) {
        char16_t* suffix = program + length - 4;
        if (platform::equal_ignoring_case(suffix, u".exe")) *suffix = 0;
    }
    return true;
}

bool append_program_dir(Output& output) {
    char16_t* program = append_nested_program(output);
    if (program == nullptr) return false;
    cut_at_last_backslash(program);
    return true;
}

void append_pid(Output& output) {
    EnvironmentCopy parent = get_environment_copy(variable::parent);
    if (parent.valid()) {
        require_decimal_digits(parent.get());
        output.append_value(parent.get());
        return;
    }
    char text[128];
    std::snprintf(text, sizeof text, "%ld", static_cast<long>(platform::current_process_id()));
    append_ascii_bounded(output.text, text, output.capacity);
}

bool append_folder(Output& output, int csidl) {
    char16_t value[value_buffer_size] = {};
    if (platform::get_folder_path(csidl, value) != 0) return false;
    value[value_buffer_size - 1] = 0;
    output.append_value(value);
    output.drop_trailing_backslashes();
    return true;
}

uint32_t make_random_seed() {
    int64_t counter = 0;
    platform::query_performance_counter(&counter);
    // The counter's own stack address adds what differs between processes
    // started within the same tick.
    uint64_t mixed = static_cast<uint64_t>(counter) ^ static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&counter));
    return platform::current_process_id() ^ static_cast<uint32_t>(mixed) ^ static_cast<uint32_t>(mixed >> 32);
}

void append_random(Output& output) {
    EnvironmentCopy published = get_environment_copy(variable::random);
    if (published.valid() && is_random_token(published.get())) {
        output.append_value(published.get());
        return;
    }
    char16_t token[12];
    make_random_token(make_random_seed(), token);
    set_environment_value(variable::random, token);
    output.append_value(token);
}

// Appends the variable's published text; when it is absent or not of the
// form a parent writes, formats a fresh number and publishes it first, so
// that a child started later reuses it.
void append_published_number(Output& output, const char* variable_name, bool (*well_formed)(const char16_t*),
                             void (*format_fresh)(char (&text)[128])) {
    EnvironmentCopy published = get_environment_copy(variable_name);
    if (published.valid() && well_formed(published.get())) {
        output.append_value(published.get());
        return;
    }
    char text[128];
    format_fresh(text);
    WideBuffer<value_buffer_size - 1> value;
    append_ascii_bounded(value, text);
    set_environment_value(variable_name, value.data());
    output.append_value(value.data());
}

static_assert(time_us_digits == 6, "format_time_us writes six digits");

void format_time_us(char (&text)[128]) {
    long microseconds = static_cast<long>((platform::system_time_as_file_time() / 10) % 1000000);
    std::snprintf(text, sizeof text, "%06ld", microseconds);
}

void format_time(char (&text)[128]) {
    long long count = static_cast<long long>(platform::system_time_as_file_time());
    std::snprintf(text, sizeof text, "%lld", count);
}

bool append_placeholder(Output& output, const char16_t* name) {
    const Placeholder* placeholder = find_placeholder(name);
    if (placeholder == nullptr) return false;
    switch (*placeholder) {
        case Placeholder::temp:
            append_temp(output);
            return true;
        case Placeholder::program:
            append_program(output);
            return true;
        case Placeholder::program_base:
            return append_program_base(output);
        case Placeholder::program_dir:
            return append_program_dir(output);
        case Placeholder::pid:
            append_pid(output);
            return true;
        case Placeholder::home:
            return append_folder(output, platform::folder_profile);
        case Placeholder::cache_dir:
            return append_folder(output, platform::folder_local_app_data);
        case Placeholder::random:
            append_random(output);
            return true;
        case Placeholder::time_us:
            append_published_number(output, variable::time_us, is_time_us, format_time_us);
            return true;
        case Placeholder::time:
            append_published_number(output, variable::start, is_time, format_time);
            return true;
    }
    return false;
}

}  // namespace

void make_random_bytes(uint32_t seed, uint8_t bytes[8]) {
    uint32_t x = seed == 0 ? 1 : seed;
    for (int i = 0; i < 8; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<uint8_t>(x);
    }
}

void make_random_token(uint32_t seed, char16_t token[12]) {
    uint8_t bytes[8];
    make_random_bytes(seed, bytes);
    size_t position = 0;
    auto put = [&](uint32_t six_bits) { token[position++] = static_cast<char16_t>(base64url_alphabet[six_bits & 63]); };
    for (int group = 0; group < 2; ++group) {
        const uint8_t* b = bytes + 3 * group;
        uint32_t bits = (uint32_t{b[0]} << 16) | (uint32_t{b[1]} << 8) | b[2];
        put(bits >> 18);
        put(bits >> 12);
        put(bits >> 6);
        put(bits);
    }
    uint32_t tail = (uint32_t{bytes[6]} << 8) | bytes[7];
    put(tail >> 10);
    put(tail >> 4);
    put(tail << 2);
    token[11] = 0;
}

bool expand_spec(char16_t* output_buffer, const char16_t* template_text, uint64_t capacity,
                 const SavedArguments& arguments) {
    Output output{output_buffer, static_cast<size_t>(capacity), arguments};
    output.text[0] = 0;
    char16_t name[name_buffer_size];
    size_t name_length = 0;
    bool name_too_long = false;
    bool inside = false;
    for (const char16_t* p = template_text; *p != 0; ++p) {
        char16_t character = *p;
        if (character == u'{') {
            inside = true;
            name_length = 0;
            name_too_long = false;
        } else if (inside && character == u'}') {
            inside = false;
            if (name_too_long) return false;
            name[name_length] = 0;
            if (!append_placeholder(output, name)) return false;
        } else if (inside) {
            if (name_length == name_buffer_size - 1) {
                name_too_long = true;
            } else {
                name[name_length++] = character;
            }
        } else {
            size_t length = output.length();
            if (length == output.capacity) return false;
            output.text[length] = character;
            output.text[length + 1] = 0;
        }
    }
    return true;
}

}  // namespace fenzar
