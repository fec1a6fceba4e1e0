// The one interface between the launcher core and the operating system.
//
// The core never includes <windows.h>. Each operation keeps exactly the
// results the launcher relies on (a returned length, a success flag, the
// last-error value); win32/ implements them with the Windows calls, posix/
// for native tests. Strings are UTF-16 in char16_t buffers; sizes count
// UTF-16 units and include the terminator where the Windows call does.
//
// Every operation goes through one replaceable table of function pointers, so
// that a test can record the calls or make the Nth one fail, natively and in
// test launchers under Wine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>

namespace fenzar {

namespace platform {

// Opaque handles; a null value means "none". Distinct types so that a file
// cannot be passed where a process is expected.
struct FileHandle {
    void* value;
    bool valid() const { return value != nullptr; }
};
struct ProcessHandle {
    void* value;
    bool valid() const { return value != nullptr; }
};
struct ModuleHandle {
    void* value;
    bool valid() const { return value != nullptr; }
};
struct DirectoryListing {
    void* value;
    bool valid() const { return value != nullptr; }
};
struct JobHandle {
    void* value;
    bool valid() const { return value != nullptr; }
};
// A directory opened by a removal.
struct DirectoryHandle {
    void* value;
    bool valid() const { return value != nullptr; }
};
// A thread that start_thread started, until join_thread.
struct ThreadHandle {
    void* value;
    bool valid() const { return value != nullptr; }
};

// One entry of a directory listing, without "." and "..".
struct DirectoryEntry {
    char16_t name[260];
    uint32_t attributes;
    // When the entry was created, as the listing reports it, in the units of
    // system_time_as_file_time.
    uint64_t creation_time;
};

// What a removal compares of an entry, as its directory lists it and as it
// was opened: its attributes and its file id, which is unique on its volume
// (the file reference number; on POSIX the inode number).
struct EntryFacts {
    uint32_t attributes;
    uint64_t file_id;
};
// One entry of a listing by handle, without "." and "..".
struct RemovalEntry {
    char16_t name[260];
    EntryFacts facts;
};

// What can be told of the process that has an id.
enum class ProcessState : uint8_t {
    none,     // no process has the id
    running,  // with its creation time
    ended,    // its object still exists, but it has ended
    unknown,  // the question could not be answered (access denied, any error)
};

// A process as a list of all processes shows it.
struct ProcessTimes {
    uint32_t process_id;
    // It has no threads left: ended, its object kept only by a handle.
    bool ended;
    // In the units of system_time_as_file_time.
    uint64_t creation_time;
};

// How the owner of a directory relates to this process's token.
struct DirectoryOwner {
    bool owner_is_user;           // the token's user
    bool owner_is_default_owner;  // the owner the token gives new objects
    bool default_owner_is_user;   // which are the same
    bool elevated;                // the token is elevated
};

inline constexpr uint32_t error_file_not_found = 2;
inline constexpr uint32_t error_path_not_found = 3;
inline constexpr uint32_t error_access_denied = 5;
inline constexpr uint32_t error_not_enough_memory = 8;
inline constexpr uint32_t error_bad_format = 11;
inline constexpr uint32_t error_outofmemory = 14;
inline constexpr uint32_t error_gen_failure = 31;
inline constexpr uint32_t error_sharing_violation = 32;
inline constexpr uint32_t error_lock_violation = 33;
inline constexpr uint32_t error_invalid_parameter = 87;
inline constexpr uint32_t error_disk_full = 112;
inline constexpr uint32_t error_insufficient_buffer = 122;
inline constexpr uint32_t error_mod_not_found = 126;
inline constexpr uint32_t error_dir_not_empty = 145;
inline constexpr uint32_t error_already_exists = 183;
inline constexpr uint32_t error_bad_exe_format = 193;
inline constexpr uint32_t error_filename_too_long = 206;
inline constexpr uint32_t error_exe_machine_type_mismatch = 216;
inline constexpr uint32_t error_directory = 267;
inline constexpr uint32_t error_internal_error = 1359;
inline constexpr uint32_t error_no_system_resources = 1450;
inline constexpr uint32_t error_commitment_limit = 1455;

// GetExitCodeProcess's code for a process that has not ended.
inline constexpr uint32_t still_active = 259;

inline constexpr uint32_t folder_path_capacity = 1024;

inline constexpr uint32_t invalid_file_attributes = 0xFFFFFFFFu;
inline constexpr uint32_t file_attribute_readonly = 0x1;
inline constexpr uint32_t file_attribute_directory = 0x10;
inline constexpr uint32_t file_attribute_normal = 0x80;
inline constexpr uint32_t file_attribute_reparse_point = 0x400;

inline constexpr uint32_t wait_object_0 = 0;
inline constexpr uint32_t wait_failed = 0xFFFFFFFFu;
inline constexpr uint32_t wait_infinite = 0xFFFFFFFFu;

inline constexpr int folder_profile = 0x28;
inline constexpr int folder_local_app_data = 0x1C;

// The status of an immediate stop: the platform's "fail fast" code, distinct
// from every status the launcher reports on purpose. A POSIX shell sees 9.
inline constexpr uint32_t immediate_stop_status = 0xC0000409u;

using ConsoleControlHandler = int (*)(uint32_t control_type);

struct Table {
    // Ends the process at once with immediate_stop_status: no message, no
    // cleanup, no flushing of buffered output, no error dialog.
    void (*stop_immediately)();
    // The C library's exit: flushes the standard streams, then ends.
    void (*exit_process)(int status);
    // TerminateProcess of the own process with status: every thread ends at
    // once, without flushing buffers or running exit handlers.
    void (*terminate_own_process)(uint32_t status);
    // malloc(size); free_memory releases it. Null when there is no memory.
    void* (*allocate_memory)(size_t size);
    uint32_t (*last_error)();
    void (*set_last_error)(uint32_t code);
    // FormatMessageA (allocate, ignore inserts, from system; language 0x409):
    // the length of the text, 0 when there is none; the text is not released.
    uint32_t (*format_system_message)(uint32_t code, char** text);
    // fprintf(stderr, format, argument) for an ASCII format with one "%ls"
    // and well-formed UTF-16, written so that the argument keeps every
    // character the reader can get: to a console as UTF-16 (WriteConsoleW),
    // to a file or pipe in the console's output code page, or the ANSI code
    // page without a console, with no best-fit substitutes.
    void (*print_error_with_wide)(const char* format, const char16_t* argument);

    // GetEnvironmentVariableW: length without terminator when the value fits,
    // 0 when unset or empty, size or more when it does not fit.
    uint32_t (*get_environment_variable)(const char16_t* name, char16_t* buffer, uint32_t size);
    // SetEnvironmentVariableW; a null value removes the variable.
    bool (*set_environment_variable)(const char16_t* name, const char16_t* value);

    // mbstowcs of {byte, 0} into room for 2 units: characters produced.
    size_t (*widen_byte)(char byte, char16_t out[2]);
    // wcstol base 10 with errno cleared: *end_index where conversion stopped;
    // *out_of_range when outside the 32-bit signed range.
    int64_t (*parse_long)(const char16_t* text, size_t* end_index, bool* out_of_range);
    // iswctype with the digit class.
    bool (*is_decimal_digit)(char16_t character);
    // _wcsicmp(a, b) == 0.
    bool (*equal_ignoring_case)(const char16_t* a, const char16_t* b);

    uint32_t (*current_process_id)();
    // SetDllDirectoryW(L"").
    void (*remove_current_directory_from_library_search)();
    // SetDllDirectoryW(nullptr): the default search again, for a program
    // started from here, which would otherwise be handed the launcher's.
    void (*restore_library_search)();
    // GetFullPathNameW(path, size, out, nullptr).
    uint32_t (*get_full_path_name)(const char16_t* path, uint32_t size, char16_t* out);
    // GetTempPathW(size, out).
    uint32_t (*get_temp_path)(uint32_t size, char16_t* out);
    // SHGetFolderPathW(nullptr, csidl, nullptr, 0, out), 0 on success; out
    // has folder_path_capacity units. The profile folder (CSIDL_PROFILE) and
    // the local application data folder may come from other calls that give
    // the same folder.
    int32_t (*get_folder_path)(int csidl, char16_t* out);
    // GetSystemTimeAsFileTime: 100-ns intervals since 1601-01-01 UTC.
    uint64_t (*system_time_as_file_time)();
    void (*query_performance_counter)(int64_t* counter);

    // GetModuleFileNameW(nullptr, out, size).
    uint32_t (*get_own_module_file_name)(char16_t* out, uint32_t size);
    // CreateFileW(path, 0, share all, OPEN_EXISTING, NORMAL).
    FileHandle (*open_file_for_query)(const char16_t* path);
    // GetFinalPathNameByHandleW(file, out, size, 0), looked up in Kernel32.dll
    // at its first use; *available is false where it is missing.
    uint32_t (*get_final_path_name)(FileHandle file, char16_t* out, uint32_t size, bool* available);
    // GetShortPathNameW; out may be null with size 0 to ask for the size.
    uint32_t (*get_short_path_name)(const char16_t* path, char16_t* out, uint32_t size);
    // OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id): the least
    // rights that read the image path and the exit code. last_error() 87
    // (invalid parameter) when no process has the id.
    ProcessHandle (*open_process_for_query)(uint32_t process_id);
    // QueryFullProcessImageNameW(process, 0, out, size): the length without
    // terminator, 0 on failure (122 when the path does not fit size).
    uint32_t (*get_process_image_path)(ProcessHandle process, char16_t* out, uint32_t size);

    // CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, CREATE_ALWAYS, 0).
    FileHandle (*create_file_for_writing)(const char16_t* path);
    // WriteFile of one piece; only the success flag counts.
    bool (*write_file)(FileHandle file, const void* data, uint32_t length);
    // CloseHandle; false when it fails (see last_error()). For a written
    // file the last write error may surface only here.
    bool (*close_file)(FileHandle file);
    // FlushFileBuffers: what was written is on the disk; false when it fails.
    bool (*flush_file)(FileHandle file);
    // CreateDirectoryW(path, nullptr); last_error() tells why it failed.
    bool (*create_directory)(const char16_t* path);
    uint32_t (*get_file_attributes)(const char16_t* path);
    bool (*set_file_attributes)(const char16_t* path, uint32_t attributes);
    bool (*delete_file)(const char16_t* path);
    bool (*remove_directory)(const char16_t* path);
    // FindFirstFileExW on directory\*: an invalid listing when it cannot be
    // read; *has_first tells whether *first holds an entry.
    DirectoryListing (*open_directory_listing)(const char16_t* directory, DirectoryEntry* first, bool* has_first);
    bool (*next_directory_entry)(DirectoryListing listing, DirectoryEntry* entry);
    void (*close_directory_listing)(DirectoryListing listing);
    // CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0).
    FileHandle (*open_file_for_reading)(const char16_t* path);
    // ReadFile of up to length bytes; *read is what arrived (0 at the end).
    bool (*read_file)(FileHandle file, void* data, uint32_t length, uint32_t* read);
    // GetFileAttributesExW: the size of a file that is no directory; false
    // when the path cannot be queried or names a directory.
    bool (*get_file_size)(const char16_t* path, uint64_t* size);

    const char16_t* (*get_raw_command_line)();
    // CreateJobObjectW (unnamed, not inheritable) limited with
    // JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK:
    // the processes in it end when its last handle closes, and the processes
    // they start are not put in it. Invalid when either call fails.
    JobHandle (*create_kill_on_close_job)();
    // CreateProcessW(application, command_line, inherit handles,
    // NORMAL_PRIORITY_CLASS, inherited environment and current directory,
    // STARTF_USESTDHANDLES with the current standard handles); the thread
    // handle is closed at once. With a valid job the process is created
    // suspended, assigned to the job and only then resumed; when the system
    // refuses the assignment, it runs outside the job. Invalid on failure
    // (see last_error()).
    ProcessHandle (*start_process)(const char16_t* application, char16_t* command_line, JobHandle job);
    // WaitForSingleObject.
    uint32_t (*wait_for_process)(ProcessHandle process, uint32_t milliseconds);
    // GetExitCodeProcess.
    bool (*get_process_exit_code)(ProcessHandle process, uint32_t* code);
    void (*terminate_process)(ProcessHandle process, uint32_t exit_code);
    void (*close_process)(ProcessHandle process);
    void (*sleep_milliseconds)(uint32_t milliseconds);
    // SetConsoleCtrlHandler(handler, TRUE).
    bool (*add_console_control_handler)(ConsoleControlHandler handler);

    // AddDllDirectory(directory); result ignored.
    void (*add_library_directory)(const char16_t* directory);
    // LoadLibraryExW(path, nullptr, 0xD00).
    ModuleHandle (*load_library)(const char16_t* path);
    // GetProcAddress(module, name).
    void* (*find_library_export)(ModuleHandle module, const char* name);

    // Whether the process's token is elevated (TokenElevation); false where
    // the system has no elevation or the token cannot be read. On POSIX:
    // whether the effective user is root.
    bool (*is_elevated)();
    // A lock file's two kinds of holder. Shared: CreateFileW(path,
    // GENERIC_READ, FILE_SHARE_READ, OPEN_ALWAYS, 0); any number of holders,
    // but none while a sole holder has it. Sole: CreateFileW(path,
    // GENERIC_READ | DELETE, 0, OPEN_ALWAYS, 0); only while nobody else
    // holds it. Refused with last_error() 32 (sharing violation). Both end
    // with the handle, so also when the process is killed. On POSIX, flock
    // shared and exclusive, without waiting.
    FileHandle (*open_shared_lock)(const char16_t* path);
    FileHandle (*open_sole_lock)(const char16_t* path);

    // CreateDirectoryW(path, descriptor) with a protected descriptor that lets
    // in only the process's user, Administrators and SYSTEM (full control,
    // inherited by everything below) and, when the process is elevated, a
    // high mandatory label that keeps lower levels from writing; on POSIX
    // mkdir with mode 0700. Fails, with last_error() 183, when the path
    // exists already.
    bool (*create_private_directory)(const char16_t* path);

    // OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id), then
    // GetProcessTimes and GetExitCodeProcess: none when the open fails with
    // error 87 (no such process); ended when an exit time is set or the exit
    // code is not STILL_ACTIVE; running with *creation_time set; unknown
    // when any call fails otherwise.
    ProcessState (*query_process_state)(uint32_t process_id, uint64_t* creation_time);
    // Opens the entry at path itself, never a link's target (backup
    // semantics, open reparse point), and tells whether it is a directory
    // that is no reparse point and whose owner (GetSecurityInfo) is the
    // process token's user or the token's default owner (what an elevated
    // process's new objects get). False when any of it cannot be read.
    bool (*is_own_plain_directory)(const char16_t* path);
    // MoveFileExW(from, to, 0): fails, and replaces nothing, when to exists.
    bool (*rename_without_replacing)(const char16_t* from, const char16_t* to);
    // CreateThread running routine(argument) on a small stack, at background
    // priority (THREAD_MODE_BACKGROUND_BEGIN, else the lowest); the handle
    // is closed at once. False when no thread started.
    bool (*start_background_thread)(void (*routine)(void* argument), void* argument);

    // Removal by handle, which a link put in place of a directory at any
    // moment cannot redirect. Names relative to a parent are single
    // components, taken as they are (no wildcards, no separators).
    //
    // Without a parent: CreateFileW(name, list | traverse | read attributes,
    // share all, OPEN_EXISTING, backup semantics), name a full path resolved
    // as the system resolves it, links included: the place the caller chose.
    // With a parent: NtCreateFile of name relative to it (RootDirectory) with
    // the same rights, FILE_OPEN_REPARSE_POINT and FILE_OPEN_FOR_BACKUP_INTENT:
    // the entry itself, never a link's target (on POSIX openat with
    // O_DIRECTORY | O_NOFOLLOW, which refuses a link). *facts are those of
    // what was opened, read by NtQueryInformationFile (FileStatInformation,
    // else FileAttributeTagInformation's attributes and
    // FileInternalInformation's id). The handle holds the listing's buffer.
    // Invalid on failure, with last_error().
    DirectoryHandle (*open_directory_for_removal)(DirectoryHandle parent, const char16_t* name, EntryFacts* facts);
    // NtQueryDirectoryFile (FileIdBothDirectoryInformation), as many entries
    // a call as 32 KiB hold, kept with the handle until read: the directory's
    // next entry other than "." and ".."; false at the end or when it cannot
    // be read. An entry may be gone or another by the time it is read, as
    // with any listing: every use checks what it opens. On POSIX readdir and
    // fstatat without following links (a symbolic link has only the
    // reparse-point attribute).
    bool (*read_directory_entry)(DirectoryHandle directory, RemovalEntry* entry);
    // The same query, restarted, for the one entry called name: its facts as
    // the directory lists them; false when there is none.
    bool (*find_directory_entry)(DirectoryHandle directory, const char16_t* name, EntryFacts* facts);
    // Opens name relative to parent with DELETE | read and write attributes,
    // FILE_OPEN_REPARSE_POINT and FILE_OPEN_FOR_BACKUP_INTENT, and deletes
    // what it opened only when it has the expected file id and the same
    // directory and reparse-point attributes: a file, an empty directory or
    // a link itself. FileDispositionInfoEx with POSIX semantics and ignoring
    // the read-only attribute; where that is refused, the read-only attribute
    // is cleared on the opened handle and FileDispositionInfo set. False when
    // nothing was deleted (a different entry: error_file_not_found). On POSIX
    // fstatat and unlinkat, which never follow a link; a directory without
    // write permission (the POSIX form of read-only, which Windows does not
    // let stop the removal of entries) gets it first.
    bool (*delete_entry_relative)(DirectoryHandle parent, const char16_t* name, const EntryFacts* expected);
    void (*close_directory)(DirectoryHandle directory);
    // Who started a process, for the proof of a re-entered instance's
    // parent. The process is one from open_process_for_query or own_process.
    // The own process: GetCurrentProcess(), on which close_process does
    // nothing.
    ProcessHandle (*own_process)();
    // The id of the process that created it, as the system recorded it then
    // (NtQueryInformationProcess, ProcessBasicInformation,
    // InheritedFromUniqueProcessId; ntdll's entry looked up at run time).
    // That process may have ended since and its id been given to another.
    // False when it cannot be read, with last_error() set. On POSIX: the
    // parent pid of /proc/PID/stat.
    bool (*get_parent_process_id)(ProcessHandle process, uint32_t* parent_id);
    // GetProcessTimes: when it was created, in the units of
    // system_time_as_file_time; the system's clock granularity (up to a
    // timer tick on Windows) can give a parent and the child it starts at
    // once the same time. False when it cannot be read. On POSIX: the start
    // time of /proc/PID/stat after the boot time, in clock ticks.
    bool (*get_process_creation_time)(ProcessHandle process, uint64_t* creation_time);
    // Whether its token is elevated, as is_elevated tells of the own
    // process (ntdll's NtOpenProcessToken with TOKEN_QUERY and
    // NtQueryInformationToken with TokenElevation, which load no other
    // library). False when the token cannot be read, with last_error() set.
    // On POSIX: whether its effective user (/proc/PID/status) is root.
    bool (*get_process_elevation)(ProcessHandle process, bool* elevated);
    // Every process's id, creation time and whether it has ended, in one
    // call that opens none of them: NtQuerySystemInformation
    // (SystemProcessInformation), looked up in ntdll.dll at the call; ended
    // when it has no threads. Fills up to capacity entries and sets *count
    // to the number of processes; false when the call fails or *count is
    // more than capacity. On POSIX, from /proc.
    bool (*list_processes)(ProcessTimes* entries, uint32_t capacity, uint32_t* count);
    // GetProcessTimes of the own process: the creation time list_processes
    // shows for it; 0 when it cannot be read.
    uint64_t (*own_creation_time)();
    // Opens the entry at path itself, never a link's target (backup
    // semantics, open reparse point), and tells whether it is a directory
    // that is no reparse point; if so, fills *owner from its owner
    // (GetSecurityInfo) and the process token (TokenUser, TokenOwner,
    // TokenElevation). False when any of it cannot be read. On POSIX the
    // user is the effective user, elevated means root, and root's default
    // owner counts as other than its user (as Administrators are on
    // Windows).
    bool (*query_directory_owner)(const char16_t* path, DirectoryOwner* owner);
    // Telling a person what went wrong.
    // When the process has no console window and its standard error is
    // neither a file nor a pipe (a windowed program started from Explorer:
    // its lines go nowhere), shows text in a message box titled with the
    // executable's file name and returns once it is closed; user32.dll is
    // loaded from the system directory only then, so that no start pays for
    // it. Otherwise, and on POSIX, nothing.
    void (*show_unseen_message)(const char16_t* text);
    // Whether the library named name (a file name, no path) is one of the
    // system's: loaded in the process already (GetModuleHandleW), a file of
    // that name in the system directory (GetSystemDirectoryW), or an API
    // set's name ("api-", "ext-"), which only a load resolves, loaded with
    // LOAD_LIBRARY_SEARCH_SYSTEM32 and released again. On POSIX: whether
    // dlopen finds it loaded already.
    bool (*is_system_library)(const char16_t* name);
    // Processes that a started program may start in turn.
    // CreateJobObjectW (unnamed, not inheritable) limited with
    // JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK: the
    // processes started by those in it are in it too, unless they are
    // started with CREATE_BREAKAWAY_FROM_JOB; all end when its last handle
    // closes. Invalid when either call fails; on POSIX always invalid.
    JobHandle (*create_kill_on_close_job_for_tree)();
    // CreateThread running routine(argument) at the process's priority, with
    // a main thread's stack (a directory climb may call into the shell);
    // invalid when no thread started (see last_error()). The handle stays
    // open for join_thread, which must be called once.
    ThreadHandle (*start_thread)(void (*routine)(void* argument), void* argument);
    // WaitForSingleObject(thread, INFINITE), then CloseHandle: returns once
    // the routine has returned. On POSIX pthread_join.
    void (*join_thread)(ThreadHandle thread);
    // free(): releases what allocate_memory returned; null does nothing.
    void (*free_memory)(void* memory);
};

// Filled by the layer the build links (win32/ or posix/).
extern Table table;

// A replacement in the table must not return either; abort() backs that up.
[[noreturn]] inline void stop_immediately() {
    table.stop_immediately();
    std::abort();
}
[[noreturn]] inline void exit_process(int status) {
    table.exit_process(status);
    std::abort();
}
[[noreturn]] inline void terminate_own_process(uint32_t status) {
    table.terminate_own_process(status);
    std::abort();
}
inline void* allocate_memory(size_t size) { return table.allocate_memory(size); }
inline void free_memory(void* memory) { table.free_memory(memory); }
inline uint32_t last_error() { return table.last_error(); }
inline void set_last_error(uint32_t code) { table.set_last_error(code); }
inline uint32_t format_system_message(uint32_t code, char** text) { return table.format_system_message(code, text); }
inline void print_error_with_wide(const char* format, const char16_t* argument) {
    table.print_error_with_wide(format, argument);
}
inline uint32_t get_environment_variable(const char16_t* name, char16_t* buffer, uint32_t size) {
    return table.get_environment_variable(name, buffer, size);
}
inline bool set_environment_variable(const char16_t* name, const char16_t* value) {
    return table.set_environment_variable(name, value);
}
inline size_t widen_byte(char byte, char16_t out[2]) { return table.widen_byte(byte, out); }
inline int64_t parse_long(const char16_t* text, size_t* end_index, bool* out_of_range) {
    return table.parse_long(text, end_index, out_of_range);
}
inline bool is_decimal_digit(char16_t character) { return table.is_decimal_digit(character); }
inline bool equal_ignoring_case(const char16_t* a, const char16_t* b) { return table.equal_ignoring_case(a, b); }
inline uint32_t current_process_id() { return table.current_process_id(); }
inline void remove_current_directory_from_library_search() { table.remove_current_directory_from_library_search(); }
inline void restore_library_search() { table.restore_library_search(); }
inline uint32_t get_full_path_name(const char16_t* path, uint32_t size, char16_t* out) {
    return table.get_full_path_name(path, size, out);
}
inline uint32_t get_temp_path(uint32_t size, char16_t* out) { return table.get_temp_path(size, out); }
inline int32_t get_folder_path(int csidl, char16_t* out) { return table.get_folder_path(csidl, out); }
inline uint64_t system_time_as_file_time() { return table.system_time_as_file_time(); }
inline void query_performance_counter(int64_t* counter) { table.query_performance_counter(counter); }
inline uint32_t get_own_module_file_name(char16_t* out, uint32_t size) {
    return table.get_own_module_file_name(out, size);
}
inline FileHandle open_file_for_query(const char16_t* path) { return table.open_file_for_query(path); }
inline uint32_t get_final_path_name(FileHandle file, char16_t* out, uint32_t size, bool* available) {
    return table.get_final_path_name(file, out, size, available);
}
inline uint32_t get_short_path_name(const char16_t* path, char16_t* out, uint32_t size) {
    return table.get_short_path_name(path, out, size);
}
inline ProcessHandle open_process_for_query(uint32_t process_id) { return table.open_process_for_query(process_id); }
inline uint32_t get_process_image_path(ProcessHandle process, char16_t* out, uint32_t size) {
    return table.get_process_image_path(process, out, size);
}
inline FileHandle create_file_for_writing(const char16_t* path) { return table.create_file_for_writing(path); }
inline bool write_file(FileHandle file, const void* data, uint32_t length) {
    return table.write_file(file, data, length);
}
inline bool close_file(FileHandle file) { return table.close_file(file); }
inline bool flush_file(FileHandle file) { return table.flush_file(file); }
inline bool create_directory(const char16_t* path) { return table.create_directory(path); }
inline uint32_t get_file_attributes(const char16_t* path) { return table.get_file_attributes(path); }
inline bool set_file_attributes(const char16_t* path, uint32_t attributes) {
    return table.set_file_attributes(path, attributes);
}
inline bool delete_file(const char16_t* path) { return table.delete_file(path); }
inline bool remove_directory(const char16_t* path) { return table.remove_directory(path); }
inline DirectoryListing open_directory_listing(const char16_t* directory, DirectoryEntry* first, bool* has_first) {
    return table.open_directory_listing(directory, first, has_first);
}
inline bool next_directory_entry(DirectoryListing listing, DirectoryEntry* entry) {
    return table.next_directory_entry(listing, entry);
}
inline void close_directory_listing(DirectoryListing listing) { table.close_directory_listing(listing); }
inline FileHandle open_file_for_reading(const char16_t* path) { return table.open_file_for_reading(path); }
inline bool read_file(FileHandle file, void* data, uint32_t length, uint32_t* read) {
    return table.read_file(file, data, length, read);
}
inline bool get_file_size(const char16_t* path, uint64_t* size) { return table.get_file_size(path, size); }
inline const char16_t* get_raw_command_line() { return table.get_raw_command_line(); }
inline JobHandle create_kill_on_close_job() { return table.create_kill_on_close_job(); }
inline ProcessHandle start_process(const char16_t* application, char16_t* command_line, JobHandle job) {
    return table.start_process(application, command_line, job);
}
inline uint32_t wait_for_process(ProcessHandle process, uint32_t milliseconds) {
    return table.wait_for_process(process, milliseconds);
}
inline bool get_process_exit_code(ProcessHandle process, uint32_t* code) {
    return table.get_process_exit_code(process, code);
}
inline void terminate_process(ProcessHandle process, uint32_t exit_code) {
    table.terminate_process(process, exit_code);
}
inline void close_process(ProcessHandle process) { table.close_process(process); }
inline void sleep_milliseconds(uint32_t milliseconds) { table.sleep_milliseconds(milliseconds); }
inline bool add_console_control_handler(ConsoleControlHandler handler) {
    return table.add_console_control_handler(handler);
}
inline void add_library_directory(const char16_t* directory) { table.add_library_directory(directory); }
inline ModuleHandle load_library(const char16_t* path) { return table.load_library(path); }
inline void* find_library_export(ModuleHandle module, const char* name) {
    return table.find_library_export(module, name);
}
inline bool is_elevated() { return table.is_elevated(); }
inline FileHandle open_shared_lock(const char16_t* path) { return table.open_shared_lock(path); }
inline FileHandle open_sole_lock(const char16_t* path) { return table.open_sole_lock(path); }
inline bool create_private_directory(const char16_t* path) { return table.create_private_directory(path); }
inline ProcessState query_process_state(uint32_t process_id, uint64_t* creation_time) {
    return table.query_process_state(process_id, creation_time);
}
inline bool is_own_plain_directory(const char16_t* path) { return table.is_own_plain_directory(path); }
inline bool rename_without_replacing(const char16_t* from, const char16_t* to) {
    return table.rename_without_replacing(from, to);
}
inline bool start_background_thread(void (*routine)(void* argument), void* argument) {
    return table.start_background_thread(routine, argument);
}
inline DirectoryHandle open_directory_for_removal(DirectoryHandle parent, const char16_t* name, EntryFacts* facts) {
    return table.open_directory_for_removal(parent, name, facts);
}
inline bool read_directory_entry(DirectoryHandle directory, RemovalEntry* entry) {
    return table.read_directory_entry(directory, entry);
}
inline bool find_directory_entry(DirectoryHandle directory, const char16_t* name, EntryFacts* facts) {
    return table.find_directory_entry(directory, name, facts);
}
inline bool delete_entry_relative(DirectoryHandle parent, const char16_t* name, const EntryFacts* expected) {
    return table.delete_entry_relative(parent, name, expected);
}
inline void close_directory(DirectoryHandle directory) { table.close_directory(directory); }
inline ProcessHandle own_process() { return table.own_process(); }
inline bool get_parent_process_id(ProcessHandle process, uint32_t* parent_id) {
    return table.get_parent_process_id(process, parent_id);
}
inline bool get_process_creation_time(ProcessHandle process, uint64_t* creation_time) {
    return table.get_process_creation_time(process, creation_time);
}
inline bool get_process_elevation(ProcessHandle process, bool* elevated) {
    return table.get_process_elevation(process, elevated);
}
inline bool list_processes(ProcessTimes* entries, uint32_t capacity, uint32_t* count) {
    return table.list_processes(entries, capacity, count);
}
inline uint64_t own_creation_time() { return table.own_creation_time(); }
inline bool query_directory_owner(const char16_t* path, DirectoryOwner* owner) {
    return table.query_directory_owner(path, owner);
}
inline void show_unseen_message(const char16_t* text) { table.show_unseen_message(text); }
inline bool is_system_library(const char16_t* name) { return table.is_system_library(name); }
inline JobHandle create_kill_on_close_job_for_tree() { return table.create_kill_on_close_job_for_tree(); }
inline ThreadHandle start_thread(void (*routine)(void* argument), void* argument) {
    return table.start_thread(routine, argument);
}
inline void join_thread(ThreadHandle thread) { table.join_thread(thread); }

// The one owner of a handle or of memory from allocate_memory: it closes
// what it holds when it goes out of scope, on every path (an immediate stop
// that a test makes unwind included), so that no branch closes by hand.
// Move-only; release() hands the handle on without closing it.
template <typename Handle, void (*close)(Handle)>
class Owned {
public:
    Owned() = default;
    explicit Owned(Handle handle) : handle_(handle) {}
    Owned(Owned&& other) noexcept : handle_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    Handle get() const { return handle_; }
    bool valid() const { return is_held(handle_); }
    Handle release() {
        Handle handle = handle_;
        handle_ = Handle{};
        return handle;
    }
    void reset(Handle handle = Handle{}) {
        Handle old = handle_;
        handle_ = handle;
        if (is_held(old)) close(old);
    }
    // For memory: the element at index, or the object.
    decltype(auto) operator[](size_t index) const requires(std::is_pointer_v<Handle>) { return handle_[index]; }
    Handle operator->() const requires(std::is_pointer_v<Handle>) { return handle_; }

private:
    static bool is_held(Handle handle) {
        if constexpr (std::is_pointer_v<Handle>) {
            return handle != nullptr;
        } else {
            return handle.valid();
        }
    }

    Handle handle_{};
};

// A file opened for query, reading or a lock, whose close tells nothing the
// launcher acts on. Not for a written file: its close may be the first to
// report a write error, which the writer must see.
inline void close_query_file(FileHandle file) { table.close_file(file); }

template <typename Element>
void free_elements(Element* memory) {
    free_memory(memory);
}

using OwnedProcess = Owned<ProcessHandle, close_process>;
using OwnedDirectory = Owned<DirectoryHandle, close_directory>;
using OwnedListing = Owned<DirectoryListing, close_directory_listing>;
using OwnedQueryFile = Owned<FileHandle, close_query_file>;
template <typename Element = unsigned char>
using OwnedMemory = Owned<Element*, free_elements<Element>>;

// An object built in memory from allocate_memory, for state that outlives
// the function that makes it (a thread's); null when there is no memory.
// destroy_object ends it and frees the memory.
template <typename Object>
Object* create_object() {
    static_assert(alignof(Object) <= alignof(std::max_align_t));
    void* memory = allocate_memory(sizeof(Object));
    return memory != nullptr ? new (memory) Object : nullptr;
}
template <typename Object>
void destroy_object(Object* object) {
    if (object == nullptr) return;
    object->~Object();
    free_memory(object);
}

// Room for count elements from allocate_memory; not valid when there is no
// memory or the size would overflow.
template <typename Element>
OwnedMemory<Element> allocate_elements(size_t count) {
    if (count > SIZE_MAX / sizeof(Element)) return OwnedMemory<Element>();
    return OwnedMemory<Element>(static_cast<Element*>(allocate_memory(count * sizeof(Element))));
}

}  // namespace platform

}  // namespace fenzar
