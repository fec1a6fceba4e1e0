#include "target_dir/target_directory.h"

#include "target_dir/expand_spec.h"

bool resolve_target_directory(TargetDirectory& target_directory, const SavedArguments& arguments) {
    bool expanded = expand_spec(target_directory.data(), built_in_target_spec, target_directory_capacity, arguments);
    make_full_path_in_place(target_directory.data(), target_directory_capacity);
    return expanded;
}
