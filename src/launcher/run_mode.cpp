#include "launcher/run_mode.h"

#include <cstdlib>

#include "base/environment.h"
#include "base/report.h"
#include "platform/platform.h"

RunMode detect_run_mode(OwnPaths& own_paths) {
    char16_t* value = get_environment_copy(variable::parent);
    if (value == nullptr) return RunMode::parent;
    int32_t process_id = 0;
    bool parsed = parse_decimal_strict(value, &process_id);
    std::free(value);
    if (!parsed) return RunMode::parent;
    uint32_t error = 0;
    switch (runs_same_executable(own_paths, static_cast<uint32_t>(process_id), &error)) {
        case SameExecutable::yes: return RunMode::reentered;
        case SameExecutable::no: return RunMode::parent;
        case SameExecutable::unknown: break;
    }
    // Neither mode is safe: as a parent it would unpack and start a child
    // that may meet the same wall, one after another.
    fail_with_system_error(message::examine_parent_failed, error);
}

void prepare_parent_environment() {
    unset_environment_value(variable::start);
    unset_environment_value(variable::time_us);
    unset_environment_value(variable::random);
    set_environment_number(variable::parent, static_cast<int32_t>(platform::current_process_id()));
}
