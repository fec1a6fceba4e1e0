// Process-wide state of the launcher's flow. Each item is written at one step
// of launcher_main and lives until the process ends.
#pragma once

#include <atomic>
#include <cstdint>

#include "launcher/wide.h"

enum class RunMode { parent, reentered };

struct SavedArguments {
    int32_t argc = 0;
    char16_t** argv = nullptr;
};

inline constexpr size_t target_directory_capacity = 4096;

extern SavedArguments saved_arguments;
extern RunMode run_mode;
// Final before the console control handler exists; read by it afterwards.
extern WideBuffer<target_directory_capacity> target_directory;

// The template the target directory is computed from.
inline constexpr const char16_t* built_in_target_spec = u"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

int launcher_main(int argc, char16_t** argv);
RunMode detect_run_mode();
void prepare_parent_environment();
bool resolve_target_directory();
