// Fault injection for end-to-end tests, linked into a test launcher ahead of
// the launcher library. Before the launcher starts, it reads
//   FENZAR_TEST_FAULT=operation:passes:outcome[,operation:passes:outcome...]
// and wraps that operation of the platform table: the first `passes` calls go
// through, the next one fails with the Windows error code `outcome`, and later
// calls go through again. For create_file_for_writing the outcome may also be
// "readonly": that call's file is made read-only first and the real call then
// meets a read-only file, as if another program had changed it meanwhile.
// The variable is inherited, so a launcher's child sees the same faults.
//
// FENZAR_TEST_TMP=PATH (ASCII) sets TMP and TEMP before the launcher starts,
// as a parent process could; Wine replaces both from its registry when a
// program is started from Linux, so they cannot simply be passed in.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

struct Fault {
    const char* operation;
    long passes = -1;  // no fault
    unsigned long error = 0;
    bool make_read_only = false;
    long calls = 0;

    // Counts the call; true when this is the one to fail.
    bool strikes() { return passes >= 0 && calls++ == passes; }
};

Fault write_file_fault{"write_file"};
Fault create_file_fault{"create_file_for_writing"};
Fault create_directory_fault{"create_directory"};
Fault delete_file_fault{"delete_file"};
Fault remove_directory_fault{"remove_directory"};
Fault start_process_fault{"start_process"};
Fault* const faults[] = {&write_file_fault,       &create_file_fault,      &create_directory_fault,
                         &delete_file_fault,      &remove_directory_fault, &start_process_fault};

platform::Table real;

bool failing_write_file(platform::FileHandle file, const void* data, uint32_t length) {
    if (write_file_fault.strikes()) {
        platform::set_last_error(static_cast<uint32_t>(write_file_fault.error));
        return false;
    }
    return real.write_file(file, data, length);
}

platform::FileHandle failing_create_file_for_writing(const char16_t* path) {
    if (create_file_fault.strikes()) {
        if (create_file_fault.make_read_only) {
            real.set_file_attributes(path, platform::file_attribute_readonly);
            return real.create_file_for_writing(path);
        }
        platform::set_last_error(static_cast<uint32_t>(create_file_fault.error));
        return {nullptr};
    }
    return real.create_file_for_writing(path);
}

bool failing_create_directory(const char16_t* path) {
    if (create_directory_fault.strikes()) {
        platform::set_last_error(static_cast<uint32_t>(create_directory_fault.error));
        return false;
    }
    return real.create_directory(path);
}

bool failing_delete_file(const char16_t* path) {
    if (delete_file_fault.strikes()) {
        platform::set_last_error(static_cast<uint32_t>(delete_file_fault.error));
        return false;
    }
    return real.delete_file(path);
}

bool failing_remove_directory(const char16_t* path) {
    if (remove_directory_fault.strikes()) {
        platform::set_last_error(static_cast<uint32_t>(remove_directory_fault.error));
        return false;
    }
    return real.remove_directory(path);
}

platform::ProcessHandle failing_start_process(const char16_t* application, char16_t* command_line,
                                              platform::JobHandle job) {
    if (start_process_fault.strikes()) {
        platform::set_last_error(static_cast<uint32_t>(start_process_fault.error));
        return {nullptr};
    }
    return real.start_process(application, command_line, job);
}

// A malformed setting ends the test program at once, so that a typo cannot
// pass as a run without faults.
[[noreturn]] void reject_setting(const char* setting) {
    std::fprintf(stderr, "FENZAR_TEST_FAULT: cannot use '%s'\n", setting);
    std::fflush(stderr);
    std::_Exit(99);
}

void parse_fault(char* setting) {
    char* passes = std::strchr(setting, ':');
    char* outcome = passes != nullptr ? std::strchr(passes + 1, ':') : nullptr;
    if (outcome == nullptr) reject_setting(setting);
    *passes++ = 0;
    *outcome++ = 0;
    for (Fault* fault : faults) {
        if (std::strcmp(fault->operation, setting) != 0) continue;
        char* end = nullptr;
        fault->passes = std::strtol(passes, &end, 10);
        if (*passes == 0 || *end != 0 || fault->passes < 0) reject_setting(passes);
        if (fault == &create_file_fault && std::strcmp(outcome, "readonly") == 0) {
            fault->make_read_only = true;
            return;
        }
        fault->error = std::strtoul(outcome, &end, 10);
        if (*outcome == 0 || *end != 0) reject_setting(outcome);
        return;
    }
    reject_setting(setting);
}

void set_temporary_directory() {
    const char* value = std::getenv("FENZAR_TEST_TMP");
    if (value == nullptr || *value == 0) return;
    static char16_t wide[32768];
    size_t length = std::strlen(value);
    if (length >= sizeof wide / sizeof wide[0]) reject_setting(value);
    for (size_t i = 0; i <= length; ++i) wide[i] = static_cast<unsigned char>(value[i]);
    platform::set_environment_variable(u"TMP", wide);
    platform::set_environment_variable(u"TEMP", wide);
}

struct InstallFaults {
    InstallFaults() {
        set_temporary_directory();
        const char* value = std::getenv("FENZAR_TEST_FAULT");
        if (value == nullptr || *value == 0) return;
        static char settings[1024];
        if (std::strlen(value) >= sizeof settings) reject_setting(value);
        std::strcpy(settings, value);
        for (char* setting = std::strtok(settings, ","); setting != nullptr; setting = std::strtok(nullptr, ",")) {
            parse_fault(setting);
        }
        real = platform::table;
        platform::table.write_file = failing_write_file;
        platform::table.create_file_for_writing = failing_create_file_for_writing;
        platform::table.create_directory = failing_create_directory;
        platform::table.delete_file = failing_delete_file;
        platform::table.remove_directory = failing_remove_directory;
        platform::table.start_process = failing_start_process;
    }
};

InstallFaults install_faults;

}  // namespace
