#include "child/command_line.h"

#include "base/report.h"
#include "child/split_command_line.h"
#include "platform/platform.h"

namespace fenzar {

namespace {

// An empty argument is quoted too: written as nothing, the splitter would
// never see it.
bool needs_quoting(const char16_t* argument) {
    if (argument[0] == 0) return true;
    for (const char16_t* p = argument; *p != 0; ++p) {
        switch (*p) {
            case u' ':
            case u'\t':
            case u'\n':
            case u'\v':
            case u'"':
                return true;
            default:
                break;
        }
    }
    return false;
}

// Appends one unit at position *length, which the caller keeps, so that a
// long quoted argument is not rescanned from the start for every unit. The
// bound is the same: what is left of the line's capacity.
void put_unit(ChildCommandLine& child_command_line, size_t* length, char16_t unit) {
    append_wide_char_bounded(child_command_line.data() + *length, unit, child_command_line.capacity - *length);
    ++*length;
}

void put_backslashes(ChildCommandLine& child_command_line, size_t* length, size_t count) {
    for (size_t i = 0; i < count; ++i) put_unit(child_command_line, length, u'\\');
}

}  // namespace

void append_argument(ChildCommandLine& child_command_line, const char16_t* argument) {
    if (!needs_quoting(argument)) {
        append_wide_bounded(child_command_line, argument);
        return;
    }
    size_t length = wide_length(child_command_line.data());
    put_unit(child_command_line, &length, u'"');
    // Backslashes are held back until the next character shows whether they
    // stand before a quote, where the splitter halves them.
    size_t pending_backslashes = 0;
    for (const char16_t* p = argument; *p != 0; ++p) {
        if (*p == u'\\') {
            ++pending_backslashes;
        } else if (*p == u'"') {
            put_backslashes(child_command_line, &length, 2 * pending_backslashes + 1);
            put_unit(child_command_line, &length, u'"');
            pending_backslashes = 0;
        } else {
            put_backslashes(child_command_line, &length, pending_backslashes);
            put_unit(child_command_line, &length, *p);
            pending_backslashes = 0;
        }
    }
    put_backslashes(child_command_line, &length, 2 * pending_backslashes);
    put_unit(child_command_line, &length, u'"');
}

// When the raw command line cannot be split (only when memory runs out), the
// child cannot be given the user's arguments. Starting it with a guess, such
// as the C runtime's argv split by other rules, would hand the application
// arguments the user did not give without telling anyone; so the launcher
// ends as when the start itself fails: the launch message with the reason,
// the unpacked directory removed, status 2.
void build_child_command_line(ChildCommandLine& child_command_line, const char16_t* module_file_name) {
    CommandLineArguments split = split_command_line(platform::get_raw_command_line());
    if (!split.valid()) fail_with_system_error(message::launch_child_failed, platform::error_not_enough_memory);
    char16_t** arguments = split.pointers.get();
    int count = split.count;
    child_command_line.units[0] = 0;
    for (int i = 0; i < count; ++i) {
        if (i > 0) append_wide_char_bounded(child_command_line, u' ');
        append_argument(child_command_line, i == 0 ? module_file_name : arguments[i]);
    }
}

const char16_t* command_line_tail(const char16_t* raw_command_line) {
    const char16_t* p = raw_command_line;
    if (*p == u'"') {
        ++p;
        while (*p != 0 && *p != u'"') ++p;
        if (*p == u'"') ++p;
        return p;
    }
    while (*p != 0 && *p != u' ' && *p != u'\t') ++p;
    return p;
}

bool build_program_command_line(ChildCommandLine& child_command_line, const char16_t* program_path,
                                const char16_t* raw_command_line) {
    const char16_t* tail = command_line_tail(raw_command_line);
    child_command_line.units[0] = 0;
    // A path holds no double quote, so quoting it needs no escapes.
    if (wide_length(program_path) + 2 + wide_length(tail) > child_command_line.capacity) return false;
    append_wide_char_bounded(child_command_line, u'"');
    append_wide_bounded(child_command_line, program_path);
    append_wide_char_bounded(child_command_line, u'"');
    append_wide_bounded(child_command_line, tail);
    return true;
}

}  // namespace fenzar
