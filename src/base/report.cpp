#include "base/report.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace fenzar {

namespace {

Callback<void()> failure_cleanup;

// What the lines of this run said, for a person who cannot see the streams:
// shown once, just before the process ends. A longer text is cut, never
// refused: the streams got it whole.
constexpr size_t said_capacity = 8192;
char16_t said[said_capacity + 1];
size_t said_length = 0;

void remember_unit(char16_t unit) {
    if (said_length < said_capacity) said[said_length++] = unit;
    said[said_length] = 0;
}

// Narrow text as the platform gave it; its messages in English are ASCII.
void remember_narrow(const char* text) {
    for (size_t i = 0; text[i] != 0; ++i) remember_unit(static_cast<unsigned char>(text[i]));
}

void remember_wide(const char16_t* text) {
    for (size_t i = 0; text[i] != 0; ++i) remember_unit(text[i]);
}

// The format of print_error_with_wide with its argument in place.
void remember_formatted(const char* format, const char16_t* argument) {
    for (size_t i = 0; format[i] != 0; ++i) {
        if (format[i] == '%' && format[i + 1] == 'l' && format[i + 2] == 's') {
            remember_wide(argument);
            i += 2;
        } else {
            remember_unit(static_cast<unsigned char>(format[i]));
        }
    }
}

void show_what_was_said() {
    // The last line's break would only add an empty line to a box.
    while (said_length > 0 && said[said_length - 1] == '\n') said[--said_length] = 0;
    if (said_length > 0) platform::show_unseen_message(said);
}

[[noreturn]] void exit_after_failure() {
    // Taken out first: a failure inside the cleanup must not run it again.
    Callback<void()> cleanup = failure_cleanup;
    failure_cleanup = {};
    if (cleanup.is_set()) cleanup();
    show_what_was_said();
    platform::exit_process(failure_exit_status);
}

// The platform's text for code without its line ending; empty when it has
// none.
const char* system_text_of(uint32_t code) {
    char* system_text = nullptr;
    uint32_t length = platform::format_system_message(code, &system_text);
    if (length == 0 || system_text == nullptr) return "";
    // Strip the line ending only; inner line breaks stay.
    while (length > 0 && (system_text[length - 1] == '\r' || system_text[length - 1] == '\n')) {
        system_text[--length] = 0;
    }
    return system_text;
}

}  // namespace

void set_failure_cleanup(Callback<void()> cleanup) { failure_cleanup = cleanup; }

void report_system_error(const char* text, uint32_t code) {
    const char* shown = system_text_of(code);
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, " ([Error %ld] ", static_cast<long>(static_cast<int32_t>(code)));
    std::fprintf(stderr, "%s%s%s)\n", text, prefix, shown);
    remember_narrow(text);
    remember_narrow(prefix);
    remember_narrow(shown);
    remember_narrow(")\n");
}

void report_system_error_about(const char* text, uint32_t code, const char16_t* file) {
    const char* shown = system_text_of(code);
    const char* insert = std::strstr(shown, "%1");
    if (insert == nullptr || file == nullptr) {
        report_system_error(text, code);
        return;
    }
    // The name in the middle is written as the platform writes wide text,
    // so that it keeps the characters the reader can see; the texts around
    // it are written as they are, '%' and all.
    char number[32];
    std::snprintf(number, sizeof number, " ([Error %ld] ", static_cast<long>(static_cast<int32_t>(code)));
    std::string before = std::string(text) + number;
    before.append(shown, insert);
    std::string after = std::string(insert + 2) + ")\n";
    DisplayablePath buffer;
    const char16_t* name = displayable_path(file, buffer);
    std::fputs(before.c_str(), stderr);
    std::fflush(stderr);
    platform::print_error_with_wide("%ls", name);
    std::fputs(after.c_str(), stderr);
    std::fflush(stderr);
    remember_narrow(before.c_str());
    remember_wide(name);
    remember_narrow(after.c_str());
}

void report_explanation(const char16_t* line) {
    std::fflush(stderr);
    platform::print_error_with_wide("%ls\n", line);
    remember_wide(line);
    remember_unit('\n');
}

void fail_with_message(const char* text) {
    std::puts(text);
    remember_narrow(text);
    remember_unit('\n');
    exit_after_failure();
}

void fail_after_reports() { exit_after_failure(); }

void fail_with_system_error(const char* text, uint32_t code) {
    report_system_error(text, code);
    exit_after_failure();
}

const char16_t* displayable_path(const char16_t* path, DisplayablePath& buffer) {
    char16_t* shown = buffer.data();
    size_t length = 0;
    for (size_t i = 0; path[i] != 0 && length < displayable_path_capacity; ++i) {
        char16_t unit = path[i];
        bool high = unit >= 0xD800 && unit <= 0xDBFF;
        bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (high && path[i + 1] >= 0xDC00 && path[i + 1] <= 0xDFFF) {
            if (length + 2 > displayable_path_capacity) break;
            shown[length++] = unit;
            shown[length++] = path[++i];
        } else {
            shown[length++] = high || low ? replacement_character : unit;
        }
    }
    shown[length] = 0;
    return shown;
}

void report_open_failure(const char16_t* entry_path) {
    DisplayablePath buffer;
    const char16_t* shown = displayable_path(entry_path, buffer);
    platform::print_error_with_wide(message::open_for_writing_failed, shown);
    remember_formatted(message::open_for_writing_failed, shown);
    exit_after_failure();
}

void report_target_exists(const char16_t* directory) {
    DisplayablePath buffer;
    const char16_t* shown = displayable_path(directory, buffer);
    platform::print_error_with_wide(message::target_exists, shown);
    remember_formatted(message::target_exists, shown);
    show_what_was_said();
    platform::exit_process(failure_exit_status);
}

void report_target_base_refused(const char16_t* base) {
    DisplayablePath buffer;
    const char16_t* shown = displayable_path(base, buffer);
    platform::print_error_with_wide(message::target_base_refused, shown);
    remember_formatted(message::target_base_refused, shown);
    exit_after_failure();
}

void report_unpack_failure() {
    uint32_t code = platform::last_error();
    fail_with_system_error(message::unpack_failed, code);
}

void report_spec_failure(const char16_t* template_text) {
    platform::print_error_with_wide(message::spec_expansion_failed, template_text);
    std::fflush(stderr);
    remember_formatted(message::spec_expansion_failed, template_text);
    show_what_was_said();
    platform::stop_immediately();
}

}  // namespace fenzar
