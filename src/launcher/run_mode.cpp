#include "launcher/run_mode.h"

#include <cstdlib>

#include "base/environment.h"
#include "platform/platform.h"

RunMode detect_run_mode(OwnPaths& own_paths) {
    char16_t* value = get_environment_copy(variable::parent);
    if (value == nullptr) return RunMode::parent;
    int32_t process_id = 0;
    bool parsed = parse_decimal_strict(value, &process_id);
    std::free(value);
    if (!parsed) return RunMode::parent;
    if (runs_same_executable(own_paths, static_cast<uint32_t>(process_id))) return RunMode::reentered;
    return RunMode::parent;
}

void prepare_parent_environment() {
    unset_environment_value(variable::start);
    unset_environment_value(variable::time_us);
    unset_environment_value(variable::random);
    set_environment_number(variable::parent, static_cast<int32_t>(platform::current_process_id()));
}
