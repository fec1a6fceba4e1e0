#include "sweep/sweep_rules.h"

namespace {

bool is_digit(char16_t unit) { return unit >= u'0' && unit <= u'9'; }

bool is_token_character(char16_t unit) {
    return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z') || is_digit(unit) || unit == u'-' ||
           unit == u'_';
}

// Reads a process id at text; its length, or 0 when there is none: no
// digits, a leading zero, more than 4294967295.
size_t read_process_id(const char16_t* text, uint32_t* process_id) {
    if (!is_digit(text[0]) || text[0] == u'0') return 0;
    uint64_t value = 0;
    size_t length = 0;
    while (is_digit(text[length])) {
        value = value * 10 + static_cast<uint64_t>(text[length] - u'0');
        if (value > UINT32_MAX) return 0;
        ++length;
    }
    *process_id = static_cast<uint32_t>(value);
    return length;
}

// The length of the prefix at text, or 0 when text does not start with it.
template <size_t N>
size_t match_prefix(const char16_t* text, const char16_t (&prefix)[N]) {
    for (size_t i = 0; i + 1 < N; ++i) {
        if (text[i] != prefix[i]) return 0;
    }
    return N - 1;
}

// PID "_" six digits "_" eleven token characters, and the end.
bool is_launcher_part(const char16_t* text, uint32_t* process_id) {
    size_t position = read_process_id(text, process_id);
    if (position == 0 || text[position++] != u'_') return false;
    for (int i = 0; i < 6; ++i) {
        if (!is_digit(text[position++])) return false;
    }
    if (text[position++] != u'_') return false;
    for (int i = 0; i < 11; ++i) {
        if (!is_token_character(text[position++])) return false;
    }
    return text[position] == 0;
}

}  // namespace

NameFacts read_name(const char16_t* name) {
    NameFacts facts;
    uint32_t launcher_id = 0;
    if (size_t prefix = match_prefix(name, tombstone_name_prefix); prefix != 0) {
        uint32_t sweeper_id = 0;
        size_t length = read_process_id(name + prefix, &sweeper_id);
        if (length == 0 || name[prefix + length] != u'_') return facts;
        size_t part = prefix + length + 1;
        if (!is_launcher_part(name + part, &launcher_id)) return facts;
        return {NameForm::tombstone, sweeper_id, part};
    }
    size_t prefix = match_prefix(name, launcher_name_prefix);
    if (prefix == 0 || !is_launcher_part(name + prefix, &launcher_id)) return facts;
    return {NameForm::launcher, launcher_id, prefix};
}

bool is_plain_directory(uint32_t attributes) {
    return (attributes & platform::file_attribute_directory) != 0 &&
           (attributes & platform::file_attribute_reparse_point) == 0;
}

bool is_old_enough(uint64_t directory_created, uint64_t now) {
    return directory_created <= now && now - directory_created >= sweep_minimum_age;
}

bool has_owner_ended(NameForm form, platform::ProcessState state, uint64_t process_created,
                     uint64_t directory_created) {
    switch (state) {
        case platform::ProcessState::none:
        case platform::ProcessState::ended:
            return form != NameForm::other;
        case platform::ProcessState::running:
            return form == NameForm::launcher && process_created > directory_created;
        case platform::ProcessState::unknown:
            return false;
    }
    return false;
}
