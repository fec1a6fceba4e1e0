// Fault injection for end-to-end tests, linked into a test launcher ahead of
// the launcher library. Before the launcher starts, it reads
//   FENZAR_TEST_FAULT=operation:passes:outcome[,operation:passes:outcome...]
// and wraps that operation of the platform table: the first `passes` calls go
// through, the next one fails with the Windows error code `outcome`, and later
// calls go through again. An outcome `code*N` makes the next N calls fail.
// A failing close_file closes the file all the same, as CloseHandle does
// when it reports a late write error. For create_file_for_writing the outcome may also be
// "readonly": that call's file is made read-only first and the real call then
// meets a read-only file, as if another program had changed it meanwhile.
// For create_private_directory the outcome may be "precreate": the directory
// is made first, plainly, as another program of the user could, and the real
// call then meets it.
// The outcome "stop" makes that call an immediate stop instead, which leaves
// everything on disk as it is at that moment.
//
//   FENZAR_TEST_EVENT=operation:passes[,operation:passes...]
// delivers a console interrupt (event 0) just before call number passes + 1
// of the operation, as the platform does: the registered handler runs on a
// new thread. The calling thread waits until the handler has begun the interruption
// and then makes its call, so the event falls exactly there. Not for
// start_process, which runs under the interruption's lock. Without a registered
// handler (a re-entered instance) nothing is delivered.
//
// The variables are inherited, so a launcher's child sees the same settings.
//
// FENZAR_TEST_CLOCK_AHEAD=SECONDS moves the launcher's clock (the system
// time it reads) that far ahead, so that a directory made just now looks
// that old to the sweep of dead launchers' trees; the creation times of
// directories and processes it compares with stay real.
//
// FENZAR_TEST_SLOW_CLOSE=MS_PER_FILE:MS_PER_MB makes every close of a
// written file cost what a virus scanner's reading of it would: a wait of
// MS_PER_FILE plus MS_PER_MB per megabyte written to it (slow_close.h).
//
// FENZAR_TEST_TMP=PATH (ASCII) sets TMP and TEMP before the launcher starts,
// as a parent process could; Wine replaces both from its registry when a
// program is started from Linux, so they cannot simply be passed in.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "launcher/parent_end.h"
#include "platform/platform.h"
#include "slow_close.h"

namespace fenzar {

namespace {

platform::ConsoleControlHandler registered_handler = nullptr;

thread_local bool on_background_thread = false;

void deliver_interrupt() {
    if (registered_handler == nullptr) return;
    std::thread([] { registered_handler(0); }).detach();
    while (!registered_run_interrupted_for_testing()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

struct Operation {
    const char* name;
    long passes = -1;  // no fault
    unsigned long error = 0;
    // The outcome is a change made before the real call ("readonly",
    // "precreate"), not an error code.
    bool changes_first = false;
    bool stop = false;
    long failures = 1;       // consecutive calls that fail
    long event_passes = -1;  // no event
    // The writer and the closing threads of an unpacking count at once.
    std::atomic<long> calls{0};

    // Counts the call, delivers a due event, stops when asked to; true when
    // this call is the one to fail, with the error set unless the outcome is
    // a change made first. Calls on a background thread (the sweep of dead
    // launchers' trees) are neither counted nor failed, so that a setting
    // lands in the launcher's own steps whatever the sweep finds.
    bool strikes() {
        if (on_background_thread) return false;
        long call = calls++;
        if (call == event_passes) deliver_interrupt();
        if (passes < 0 || call < passes || call >= passes + failures) return false;
        if (stop) platform::stop_immediately();
        if (!changes_first) platform::set_last_error(static_cast<uint32_t>(error));
        return true;
    }
};

Operation write_file_operation{"write_file"};
Operation create_file_operation{"create_file_for_writing"};
Operation create_directory_operation{"create_directory"};
Operation delete_file_operation{"delete_file"};
Operation remove_directory_operation{"remove_directory"};
Operation start_process_operation{"start_process"};
Operation add_handler_operation{"add_console_control_handler"};
Operation allocate_operation{"allocate_memory"};
Operation command_line_operation{"get_raw_command_line"};
Operation wait_operation{"wait_for_process"};
Operation create_private_directory_operation{"create_private_directory"};
Operation close_file_operation{"close_file"};
Operation open_process_operation{"open_process_for_query"};
Operation create_job_operation{"create_kill_on_close_job"};
Operation delete_entry_operation{"delete_entry_relative"};
Operation load_library_operation{"load_library"};
Operation* const operations[] = {
    &write_file_operation,
    &create_file_operation,
    &create_directory_operation,
    &delete_file_operation,
    &remove_directory_operation,
    &start_process_operation,
    &add_handler_operation,
    &allocate_operation,
    &command_line_operation,
    &wait_operation,
    &create_private_directory_operation,
    &close_file_operation,
    &open_process_operation,
    &create_job_operation,
    &delete_entry_operation,
    &load_library_operation,
};

platform::Table real;

bool failing_write_file(platform::FileHandle file, const void* data, uint32_t length) {
    if (write_file_operation.strikes()) return false;
    return real.write_file(file, data, length);
}

platform::FileHandle failing_create_file_for_writing(const char16_t* path) {
    if (create_file_operation.strikes()) {
        if (!create_file_operation.changes_first) return {nullptr};
        real.set_file_attributes(path, platform::file_attribute_readonly);
    }
    return real.create_file_for_writing(path);
}

bool failing_create_private_directory(const char16_t* path) {
    if (create_private_directory_operation.strikes()) {
        if (!create_private_directory_operation.changes_first) return false;
        real.create_directory(path);
    }
    return real.create_private_directory(path);
}

bool failing_create_directory(const char16_t* path) {
    if (create_directory_operation.strikes()) return false;
    return real.create_directory(path);
}

bool failing_delete_file(const char16_t* path) {
    if (delete_file_operation.strikes()) return false;
    return real.delete_file(path);
}

bool failing_remove_directory(const char16_t* path) {
    if (remove_directory_operation.strikes()) return false;
    return real.remove_directory(path);
}

bool failing_delete_entry_relative(platform::DirectoryHandle parent, const char16_t* name,
                                   const platform::EntryFacts* expected) {
    if (delete_entry_operation.strikes()) return false;
    return real.delete_entry_relative(parent, name, expected);
}

platform::ProcessHandle failing_start_process(const char16_t* application, char16_t* command_line,
                                              platform::JobHandle job) {
    if (start_process_operation.strikes()) return {nullptr};
    return real.start_process(application, command_line, job);
}

bool failing_add_console_control_handler(platform::ConsoleControlHandler handler) {
    if (add_handler_operation.strikes()) return false;
    registered_handler = handler;
    return real.add_console_control_handler(handler);
}

void* failing_allocate_memory(size_t size) {
    if (allocate_operation.strikes()) return nullptr;
    return real.allocate_memory(size);
}

const char16_t* counted_get_raw_command_line() {
    command_line_operation.strikes();
    return real.get_raw_command_line();
}

bool failing_close_file(platform::FileHandle file) {
    bool closed = real.close_file(file);
    if (close_file_operation.strikes()) return false;
    return closed;
}

platform::ProcessHandle failing_open_process_for_query(uint32_t process_id) {
    if (open_process_operation.strikes()) return {nullptr};
    return real.open_process_for_query(process_id);
}

platform::JobHandle counted_create_kill_on_close_job() {
    create_job_operation.strikes();
    return real.create_kill_on_close_job();
}

platform::ModuleHandle failing_load_library(const char16_t* path) {
    if (load_library_operation.strikes()) return {nullptr};
    return real.load_library(path);
}

struct BackgroundStart {
    void (*routine)(void*);
    void* argument;
};

void run_marked_background_thread(void* start) {
    BackgroundStart started = *static_cast<BackgroundStart*>(start);
    delete static_cast<BackgroundStart*>(start);
    on_background_thread = true;
    started.routine(started.argument);
}

bool marked_start_background_thread(void (*routine)(void*), void* argument) {
    auto* start = new BackgroundStart{routine, argument};
    if (real.start_background_thread(run_marked_background_thread, start)) return true;
    delete start;
    return false;
}

uint32_t failing_wait_for_process(platform::ProcessHandle process, uint32_t milliseconds) {
    if (wait_operation.strikes()) return platform::wait_failed;
    return real.wait_for_process(process, milliseconds);
}

// A malformed setting ends the test program at once, so that a typo cannot
// pass as a run without faults.
[[noreturn]] void reject_setting(const char* setting) {
    std::fprintf(stderr, "FENZAR_TEST_FAULT/EVENT: cannot use '%s'\n", setting);
    std::fflush(stderr);
    std::_Exit(99);
}

Operation* find_operation(const char* name) {
    for (Operation* operation : operations) {
        if (std::strcmp(operation->name, name) == 0) return operation;
    }
    reject_setting(name);
}

long parse_passes(const char* text) {
    char* end = nullptr;
    long passes = std::strtol(text, &end, 10);
    if (*text == 0 || *end != 0 || passes < 0) reject_setting(text);
    return passes;
}

void parse_fault(char* setting) {
    char* passes = std::strchr(setting, ':');
    char* outcome = passes != nullptr ? std::strchr(passes + 1, ':') : nullptr;
    if (outcome == nullptr) reject_setting(setting);
    *passes++ = 0;
    *outcome++ = 0;
    Operation* operation = find_operation(setting);
    operation->passes = parse_passes(passes);
    if ((operation == &create_file_operation && std::strcmp(outcome, "readonly") == 0) ||
        (operation == &create_private_directory_operation && std::strcmp(outcome, "precreate") == 0)) {
        operation->changes_first = true;
        return;
    }
    if (std::strcmp(outcome, "stop") == 0) {
        operation->stop = true;
        return;
    }
    char* end = nullptr;
    operation->error = std::strtoul(outcome, &end, 10);
    if (*end == '*')
        operation->failures = parse_passes(end + 1);
    else if (*end != 0)
        reject_setting(outcome);
    if (*outcome == 0 || operation->failures < 1) reject_setting(outcome);
}

void parse_event(char* setting) {
    char* passes = std::strchr(setting, ':');
    if (passes == nullptr) reject_setting(setting);
    *passes++ = 0;
    Operation* operation = find_operation(setting);
    if (operation == &start_process_operation) reject_setting(setting);
    operation->event_passes = parse_passes(passes);
}

// Splits the variable's value at commas and hands each setting to parse.
bool read_settings(const char* variable, void (*parse)(char*)) {
    const char* value = std::getenv(variable);
    if (value == nullptr || *value == 0) return false;
    char settings[1024];
    if (std::strlen(value) >= sizeof settings) reject_setting(value);
    std::strcpy(settings, value);
    for (char* setting = std::strtok(settings, ","); setting != nullptr; setting = std::strtok(nullptr, ",")) {
        parse(setting);
    }
    return true;
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

uint64_t clock_ahead = 0;
uint64_t (*real_system_time)() = nullptr;

uint64_t system_time_ahead() { return real_system_time() + clock_ahead; }

void slow_closes_down() {
    const char* value = std::getenv("FENZAR_TEST_SLOW_CLOSE");
    if (value == nullptr || *value == 0) return;
    if (!slow_close::install(value)) reject_setting(value);
}

void move_clock_ahead() {
    const char* value = std::getenv("FENZAR_TEST_CLOCK_AHEAD");
    if (value == nullptr || *value == 0) return;
    clock_ahead = static_cast<uint64_t>(parse_passes(value)) * 10'000'000ull;
    real_system_time = platform::table.system_time_as_file_time;
    platform::table.system_time_as_file_time = system_time_ahead;
}

struct InstallFaults {
    InstallFaults() {
        set_temporary_directory();
        move_clock_ahead();
        slow_closes_down();
        bool faults = read_settings("FENZAR_TEST_FAULT", parse_fault);
        bool events = read_settings("FENZAR_TEST_EVENT", parse_event);
        if (!faults && !events) return;
        real = platform::table;
        platform::table.write_file = failing_write_file;
        platform::table.create_file_for_writing = failing_create_file_for_writing;
        platform::table.create_directory = failing_create_directory;
        platform::table.delete_file = failing_delete_file;
        platform::table.remove_directory = failing_remove_directory;
        platform::table.delete_entry_relative = failing_delete_entry_relative;
        platform::table.start_process = failing_start_process;
        platform::table.add_console_control_handler = failing_add_console_control_handler;
        platform::table.allocate_memory = failing_allocate_memory;
        platform::table.get_raw_command_line = counted_get_raw_command_line;
        platform::table.wait_for_process = failing_wait_for_process;
        platform::table.create_private_directory = failing_create_private_directory;
        platform::table.close_file = failing_close_file;
        platform::table.open_process_for_query = failing_open_process_for_query;
        platform::table.create_kill_on_close_job = counted_create_kill_on_close_job;
        platform::table.start_background_thread = marked_start_background_thread;
        platform::table.load_library = failing_load_library;
    }
};

InstallFaults install_faults;

}  // namespace

}  // namespace fenzar
