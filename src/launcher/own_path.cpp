#include "launcher/own_path.h"

#include <cstring>

#include "platform/platform.h"

namespace fenzar {

namespace {

// The final path comes with an extended-length prefix that the normal form
// drops: "\\?\UNC\server" becomes "\\server", 6 units shorter.
constexpr size_t extended_prefix_room = 6;

// Released also when an immediate stop unwinds (as it does in tests).
using HeapText = platform::OwnedMemory<char16_t>;

// Memory that runs out here is an immediate stop, as every other failure of
// the normalisation: the stop is the rule for this step, not a failure to
// report, and the path is needed whole or not at all.
HeapText allocate_units(size_t count) { return platform::allocate_elements<char16_t>(count); }

bool starts_with(const char16_t* text, const char16_t* prefix) {
    for (size_t i = 0; prefix[i] != 0; ++i) {
        if (text[i] != prefix[i]) return false;
    }
    return true;
}

// Moves the string from position `from` on to the start, terminator included.
void drop_leading_units(char16_t* path, size_t from) {
    std::memmove(path, path + from, (wide_length(path + from) + 1) * sizeof(char16_t));
}

// The final path comes back as \\?\C:\... or \\?\UNC\server\...; the rest of
// the launcher and the paths it compares with use the plain forms. Other
// extended-length paths (volume names) have no plain form and stay.
void remove_extended_length_prefix(char16_t* path) {
    if (starts_with(path, u"\\\\?\\") && path[4] != 0 && path[5] == u':') drop_leading_units(path, 4);
    if (starts_with(path, u"\\\\?\\UNC\\")) {
        drop_leading_units(path, 6);
        path[0] = u'\\';
    }
}

uint32_t size_for(size_t capacity) { return static_cast<uint32_t>(capacity); }

void normalise(char16_t* path, size_t capacity) {
    resolve_final_path(path, capacity);
    shorten_directory_part(path, capacity);
}

}  // namespace

// A result that fills the buffer is a cut path, which could name another
// file; the child is never started from it.
void fill_module_file_name(OwnPaths& own_paths) {
    auto& module_file_name = own_paths.module_file_name;
    if (!module_file_name.empty()) return;
    uint32_t size = size_for(module_file_name.capacity);
    uint32_t length = platform::get_own_module_file_name(module_file_name.data(), size);
    if (length == 0 || length >= size) platform::stop_immediately();
}

void fill_plain_own_path(OwnPaths& own_paths) {
    auto& plain_own_path = own_paths.plain_own_path;
    if (!plain_own_path.empty()) return;
    platform::get_own_module_file_name(plain_own_path.data(), size_for(plain_own_path.capacity));
}

// The final path is read with room for its prefix, so that the capacity
// bounds the normal form: every path that fits the capacity resolves.
void resolve_final_path(char16_t* path, size_t capacity) {
    platform::OwnedQueryFile file(platform::open_file_for_query(path));
    if (!file.valid()) return;
    size_t final_capacity = capacity + extended_prefix_room;
    HeapText final_path = allocate_units(final_capacity + 1);
    if (!final_path.valid()) platform::stop_immediately();
    bool available = false;
    uint32_t size = size_for(final_capacity + 1);
    uint32_t result = platform::get_final_path_name(file.get(), final_path.get(), size, &available);
    file.reset();
    if (available && result >= size) platform::stop_immediately();
    if (available && result > 0) {
        remove_extended_length_prefix(final_path.get());
        copy_wide_bounded(path, final_path.get(), capacity);
        return;
    }
    remove_extended_length_prefix(path);
}

void shorten_directory_part(char16_t* path, size_t capacity) {
    HeapText last_component;
    char16_t* last_backslash = nullptr;
    for (char16_t* p = path; *p != 0; ++p) {
        if (*p == u'\\') last_backslash = p;
    }
    if (last_backslash != nullptr) {
        // Without the last component the path would name its directory: no
        // acceptable result, so a failed copy stops.
        size_t component_length = wide_length(last_backslash + 1);
        last_component = allocate_units(component_length + 1);
        if (!last_component.valid()) platform::stop_immediately();
        std::memcpy(last_component.get(), last_backslash + 1, (component_length + 1) * sizeof(char16_t));
        *last_backslash = 0;
    }

    uint32_t needed = platform::get_short_path_name(path, nullptr, 0);
    if (needed > 0) {
        HeapText short_form = allocate_units(size_t{needed} + 1);
        if (!short_form.valid()) platform::stop_immediately();
        short_form[0] = 0;
        short_form[needed] = 0;
        uint32_t written = platform::get_short_path_name(path, short_form.get(), needed);
        if (written > needed) platform::stop_immediately();
        // A directory that vanished between the two calls keeps its long form.
        if (written > 0) copy_wide_bounded(path, short_form.get(), capacity);
    }

    if (last_component.valid()) {
        append_wide_char_bounded(path, u'\\', capacity);
        append_wide_bounded(path, last_component.get(), capacity);
    }
}

namespace {

// After a failed read of the image path: whether the process has ended, in
// which case it names no parent any more.
bool has_ended(platform::ProcessHandle process) {
    uint32_t code = 0;
    return platform::get_process_exit_code(process, &code) && code != platform::still_active;
}

}  // namespace

// A process whose image cannot be read is no answer: taking it for "not the
// parent" would make a child that cannot see its parent unpack and start a
// child of its own, which meets the same wall, without end.
//
// A parent that started this instance from its own module path, as a
// launcher does, shows the same text as this instance's module path: equal
// texts name the same file, so the answer comes without the normalisation
// (a final path and a short form of each, about 2 ms under Wine). Any
// difference in the texts, case included, still goes through it.
SameExecutable runs_same_executable(OwnPaths& own_paths, platform::ProcessHandle process, uint32_t* error) {
    auto& resolved_own_path = own_paths.resolved_own_path;
    // The same capacity as the own path: a launcher whose path the read
    // would cut never recognises its parent and starts one parent after
    // another.
    WideBuffer<executable_path_capacity> other_path;
    uint32_t length = platform::get_process_image_path(process, other_path.data(), size_for(other_path.capacity));
    if (length == 0) {
        uint32_t code = platform::last_error();
        // A path longer than any this launcher can have is another file.
        if (code == platform::error_insufficient_buffer || has_ended(process)) return SameExecutable::no;
        *error = code;
        return SameExecutable::unknown;
    }
    auto& written_own_path = own_paths.written_own_path;
    if (!own_paths.written_own_path_read) {
        own_paths.written_own_path_read = true;
        uint32_t size = size_for(written_own_path.capacity);
        uint32_t own_length = platform::get_own_module_file_name(written_own_path.data(), size);
        // A cut path could equal another, shorter path: only a whole one counts.
        if (own_length == 0 || own_length >= size) written_own_path.units[0] = 0;
    }
    if (!written_own_path.empty() && wide_equal(other_path.data(), written_own_path.data())) return SameExecutable::yes;
    normalise(other_path.data(), other_path.capacity);

    if (resolved_own_path.empty()) {
        if (written_own_path.empty()) {
            platform::get_own_module_file_name(resolved_own_path.data(), size_for(resolved_own_path.capacity));
        } else {
            copy_wide_bounded(resolved_own_path, written_own_path.data());
        }
        normalise(resolved_own_path.data(), resolved_own_path.capacity);
    }
    return wide_equal(other_path.data(), resolved_own_path.data()) ? SameExecutable::yes : SameExecutable::no;
}

}  // namespace fenzar
