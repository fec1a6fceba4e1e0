#include "base/report.h"

#include <cstdio>

#include "platform/platform.h"

namespace {

void (*failure_cleanup)(void*) = nullptr;
void* failure_cleanup_context = nullptr;

[[noreturn]] void exit_after_failure() {
    // Taken out first: a failure inside the cleanup must not run it again.
    void (*cleanup)(void*) = failure_cleanup;
    failure_cleanup = nullptr;
    if (cleanup != nullptr) cleanup(failure_cleanup_context);
    platform::exit_process(failure_exit_status);
}

}  // namespace

void set_failure_cleanup(void (*cleanup)(void*), void* context) {
    failure_cleanup = cleanup;
    failure_cleanup_context = context;
}

void report_system_error(const char* text, uint32_t code) {
    char* system_text = nullptr;
    uint32_t length = platform::format_system_message(code, &system_text);
    const char* shown = "";
    if (length > 0 && system_text != nullptr) {
        // Strip the line ending only; inner line breaks stay.
        while (length > 0 && (system_text[length - 1] == '\r' || system_text[length - 1] == '\n')) {
            system_text[--length] = 0;
        }
        shown = system_text;
    }
    std::fprintf(stderr, "%s ([Error %ld] %s)\n", text, static_cast<long>(static_cast<int32_t>(code)), shown);
}

void fail_with_message(const char* text) {
    std::puts(text);
    exit_after_failure();
}

void fail_with_system_error(const char* text, uint32_t code) {
    report_system_error(text, code);
    exit_after_failure();
}

const char16_t* displayable_path(const char16_t* path) {
    static char16_t shown[displayable_path_capacity + 1];
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
    platform::print_error_with_wide(message::open_for_writing_failed, displayable_path(entry_path));
    exit_after_failure();
}

void report_target_exists(const char16_t* directory) {
    platform::print_error_with_wide(message::target_exists, displayable_path(directory));
    platform::exit_process(failure_exit_status);
}

void report_unpack_failure() {
    uint32_t code = platform::last_error();
    fail_with_system_error(message::unpack_failed, code);
}

void report_spec_failure(const char16_t* template_text) {
    platform::print_error_with_wide(message::spec_expansion_failed, template_text);
    std::fflush(stderr);
    platform::stop_immediately();
}
