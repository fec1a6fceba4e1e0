#include "target_dir/target_directory.h"

#include "target_dir/expand_spec.h"

WideBuffer<target_directory_capacity> target_directory;

bool resolve_target_directory() {
    bool expanded = expand_spec(target_directory.data(), built_in_target_spec, target_directory_capacity);
    make_full_path_in_place(target_directory.data(), target_directory_capacity);
    return expanded;
}

void reset_target_directory_state() { target_directory.units[0] = 0; }
