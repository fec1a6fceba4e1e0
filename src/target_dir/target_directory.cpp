#include "target_dir/target_directory.h"

#include "target_dir/expand_spec.h"

namespace fenzar {

bool is_random_token_character(char16_t unit) {
    return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z') || (unit >= u'0' && unit <= u'9') ||
           unit == u'-' || unit == u'_';
}

bool read_launcher_name_part(const char16_t* text, uint32_t* process_id) {
    uint64_t id = 0;
    size_t position = read_decimal(text, UINT32_MAX, &id);
    if (position == 0 || id == 0 || text[position++] != u'_') return false;
    for (size_t i = 0; i < time_us_digits; ++i) {
        if (text[position] < u'0' || text[position] > u'9') return false;
        ++position;
    }
    if (text[position++] != u'_') return false;
    for (size_t i = 0; i < random_token_length; ++i) {
        if (!is_random_token_character(text[position++])) return false;
    }
    if (text[position] != 0) return false;
    *process_id = static_cast<uint32_t>(id);
    return true;
}

void make_target_spec(TargetSpec& spec, const char16_t* base) {
    if (base[0] == 0) {
        copy_wide_bounded(spec, built_in_target_spec);
        return;
    }
    copy_wide_bounded(spec, base);
    append_wide_bounded(spec, launcher_name_spec);
}

bool resolve_target_directory(TargetDirectory& target_directory, const SavedArguments& arguments,
                              const char16_t* target_spec) {
    bool expanded = expand_spec(target_directory.data(), target_spec, target_directory_capacity, arguments);
    make_full_path_in_place(target_directory);
    return expanded;
}

bool resolve_target_directory(TargetDirectory& target_directory, const SavedArguments& arguments) {
    return resolve_target_directory(target_directory, arguments, built_in_target_spec);
}

}  // namespace fenzar
