// Ending the child and removing the target directory, after a normal end or on
// a console control event.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Stores the child's handle once it has started.
void set_child_process(platform::ProcessHandle process);
// Takes the handle out of the slot in one step; invalid when it is empty.
platform::ProcessHandle take_child_process();

int console_control_handler(uint32_t control_type);
void cleanup_child_and_directory();
void stop_child();
void remove_target_directory();
