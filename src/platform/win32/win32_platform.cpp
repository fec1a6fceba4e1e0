// The platform table on Windows: each entry makes exactly the Windows call
// the launcher relies on, with the arguments it needs.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <atomic>
#include <new>
#include <string>

#include "platform/platform.h"

namespace fenzar {

namespace win32_layer {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

HANDLE to_native(platform::FileHandle file) { return static_cast<HANDLE>(file.value); }
HANDLE to_native(platform::ProcessHandle process) { return static_cast<HANDLE>(process.value); }

// The layer's own owner of a kernel handle, for the functions that would
// otherwise close it on several branches. The close keeps the last error,
// which the caller reads after a failure.
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ~ScopedHandle() {
        if (handle_ == nullptr) return;
        DWORD error = GetLastError();
        CloseHandle(handle_);
        SetLastError(error);
    }
    HANDLE get() const { return handle_; }
    HANDLE* receive() { return &handle_; }
    bool valid() const { return handle_ != nullptr; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// CreateFileW reports failure as INVALID_HANDLE_VALUE, OpenProcess as null;
// the table uses null for "none" everywhere.
platform::FileHandle from_create_file(HANDLE handle) { return {handle == INVALID_HANDLE_VALUE ? nullptr : handle}; }

// An optional system function, resolved at its first use: its library is
// loaded from the system directory only then, so that a launcher loads only
// what its run needs (resolving the table at the start would load them all
// for every start). Threads may race to the first use; each resolves the
// same address, and the library's extra reference is never given back.
template <typename Function>
class SystemFunction {
public:
    constexpr SystemFunction(const wchar_t* library, const char* name) : library_(library), name_(name) {}
    // Null where the system lacks it.
    Function get() {
        if (!resolved_.load(std::memory_order_acquire)) {
            HMODULE module = LoadLibraryExW(library_, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
            void* address = module != nullptr ? reinterpret_cast<void*>(GetProcAddress(module, name_)) : nullptr;
            address_.store(address, std::memory_order_relaxed);
            resolved_.store(true, std::memory_order_release);
        }
        return reinterpret_cast<Function>(address_.load(std::memory_order_relaxed));
    }

private:
    const wchar_t* library_;
    const char* name_;
    std::atomic<void*> address_{nullptr};
    std::atomic<bool> resolved_{false};
};

// The entries' types, declared here rather than taken from <winternl.h>,
// whose declarations vary between SDKs.
struct NtUnicodeString {
    USHORT length;
    USHORT maximum_length;
    PWSTR buffer;
};
struct NtObjectAttributes {
    ULONG length;
    HANDLE root_directory;
    NtUnicodeString* object_name;
    ULONG attributes;
    PVOID security_descriptor;
    PVOID security_quality_of_service;
};
struct NtIoStatus {
    union {
        LONG status;
        PVOID pointer;
    };
    ULONG_PTR information;
};

// Every optional system function of the layer, in one place: the calls of
// ADVAPI32, USERENV, SHELL32 and USER32, which a start loads only when its
// run needs them, and those of ntdll and KERNEL32 that older systems or Wine
// may lack.
struct SystemFunctions {
    SystemFunction<BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE)> open_process_token{L"advapi32.dll", "OpenProcessToken"};
    SystemFunction<BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD)> get_token_information{
        L"advapi32.dll", "GetTokenInformation"};
    SystemFunction<LSTATUS(WINAPI*)(HKEY, LPCWSTR, LPCWSTR, DWORD, LPDWORD, PVOID, LPDWORD)> reg_get_value{
        L"advapi32.dll", "RegGetValueW"};
    SystemFunction<DWORD(WINAPI*)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                  PSECURITY_DESCRIPTOR*)>
        get_security_info{L"advapi32.dll", "GetSecurityInfo"};
    SystemFunction<BOOL(WINAPI*)(PSID, PSID)> equal_sid{L"advapi32.dll", "EqualSid"};
    SystemFunction<BOOL(WINAPI*)(HANDLE, LPWSTR, LPDWORD)> get_user_profile_directory{L"userenv.dll",
                                                                                      "GetUserProfileDirectoryW"};
    SystemFunction<BOOL(WINAPI*)(HANDLE, LPCWSTR, LPWSTR, DWORD)> expand_environment_strings_for_user{
        L"userenv.dll", "ExpandEnvironmentStringsForUserW"};
    SystemFunction<HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR)> sh_get_folder_path{L"shell32.dll",
                                                                                          "SHGetFolderPathW"};
    SystemFunction<int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT)> message_box{L"user32.dll", "MessageBoxW"};
    SystemFunction<DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD)> get_final_path_name_by_handle{
        L"kernel32.dll", "GetFinalPathNameByHandleW"};
    SystemFunction<ULONG(NTAPI*)(LONG)> rtl_nt_status_to_dos_error{L"ntdll.dll", "RtlNtStatusToDosError"};
    SystemFunction<LONG(NTAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*)> nt_query_information_process{
        L"ntdll.dll", "NtQueryInformationProcess"};
    SystemFunction<LONG(NTAPI*)(HANDLE, ACCESS_MASK, HANDLE*)> nt_open_process_token{L"ntdll.dll",
                                                                                     "NtOpenProcessToken"};
    SystemFunction<LONG(NTAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, void*, ULONG, ULONG*)> nt_query_information_token{
        L"ntdll.dll", "NtQueryInformationToken"};
    SystemFunction<LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG)> nt_query_system_information{L"ntdll.dll",
                                                                                          "NtQuerySystemInformation"};
    SystemFunction<LONG(NTAPI*)(PHANDLE, ACCESS_MASK, NtObjectAttributes*, NtIoStatus*, PLARGE_INTEGER, ULONG, ULONG,
                                ULONG, ULONG, PVOID, ULONG)>
        nt_create_file{L"ntdll.dll", "NtCreateFile"};
    SystemFunction<LONG(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, NtIoStatus*, PVOID, ULONG, int, BOOLEAN, NtUnicodeString*,
                                BOOLEAN)>
        nt_query_directory_file{L"ntdll.dll", "NtQueryDirectoryFile"};
    SystemFunction<LONG(NTAPI*)(HANDLE, NtIoStatus*, PVOID, ULONG, int)> nt_query_information_file{
        L"ntdll.dll", "NtQueryInformationFile"};
};

SystemFunctions system_functions;

[[noreturn]] void stop_immediately() {
    TerminateProcess(GetCurrentProcess(), platform::immediate_stop_status);
    // TerminateProcess of the own process does not return; make sure.
    ExitProcess(platform::immediate_stop_status);
}

[[noreturn]] void exit_process(int status) { std::exit(status); }

[[noreturn]] void terminate_own_process(uint32_t status) {
    TerminateProcess(GetCurrentProcess(), status);
    ExitProcess(status);
}

void* allocate_memory(size_t size) { return std::malloc(size); }
void free_memory(void* memory) { std::free(memory); }

uint32_t last_error() { return GetLastError(); }
void set_last_error(uint32_t code) { SetLastError(code); }

uint32_t format_system_message(uint32_t code, char** text) {
    return FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                          nullptr, code, 0x409, reinterpret_cast<LPSTR>(text), 0, nullptr);
}

// Code pages whose conversion takes no flags and no default character.
bool conversion_takes_no_flags(UINT code_page) {
    return code_page == CP_UTF8 || code_page == CP_UTF7 || code_page == 42 || code_page == 52936 ||
           code_page == 54936 || (code_page >= 50220 && code_page <= 50229) ||
           (code_page >= 57002 && code_page <= 57011);
}

// The C runtime would convert the argument in its "C" locale, which drops
// everything from the first character outside Latin-1 on. A console gets
// UTF-16 as it is; a file or pipe gets the code page its reader expects,
// where a character the page lacks becomes the page's default character
// ("?") rather than a look-alike that names another path.
void print_error_with_wide(const char* format, const char16_t* argument) {
    const char* at = std::strstr(format, "%ls");
    std::wstring line;
    for (const char* p = format; *p != 0 && p != at; ++p) line += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    if (at != nullptr) {
        line += wide(argument);
        for (const char* p = at + 3; *p != 0; ++p) line += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    }
    std::fflush(stderr);
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        // The line break the C runtime writes in text mode.
        std::wstring console_line;
        for (wchar_t unit : line) {
            if (unit == L'\n') console_line += L'\r';
            console_line += unit;
        }
        DWORD written = 0;
        WriteConsoleW(handle, console_line.data(), static_cast<DWORD>(console_line.size()), &written, nullptr);
        return;
    }
    UINT code_page = GetConsoleOutputCP();
    if (code_page == 0) code_page = GetACP();
    DWORD flags = conversion_takes_no_flags(code_page) ? 0 : WC_NO_BEST_FIT_CHARS;
    int length = static_cast<int>(line.size());
    int size = WideCharToMultiByte(code_page, flags, line.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0 && flags != 0) {
        flags = 0;
        size = WideCharToMultiByte(code_page, flags, line.data(), length, nullptr, 0, nullptr, nullptr);
    }
    if (size <= 0) return;
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(code_page, flags, line.data(), length, bytes.data(), size, nullptr, nullptr);
    // Through the stream, in text mode, so that the line ends as every
    // other message does.
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

uint32_t get_environment_variable(const char16_t* name, char16_t* buffer, uint32_t size) {
    return GetEnvironmentVariableW(wide(name), wide(buffer), size);
}

bool set_environment_variable(const char16_t* name, const char16_t* value) {
    return SetEnvironmentVariableW(wide(name), value == nullptr ? nullptr : wide(value)) != 0;
}

size_t widen_byte(char byte, char16_t out[2]) {
    const char text[2] = {byte, 0};
    return std::mbstowcs(wide(out), text, 2);
}

int64_t parse_long(const char16_t* text, size_t* end_index, bool* out_of_range) {
    wchar_t* end = nullptr;
    errno = 0;
    long value = std::wcstol(wide(text), &end, 10);
    *out_of_range = errno == ERANGE;
    *end_index = static_cast<size_t>(end - wide(text));
    return value;
}

bool is_decimal_digit(char16_t character) { return iswctype(character, _DIGIT) != 0; }

bool equal_ignoring_case(const char16_t* a, const char16_t* b) { return _wcsicmp(wide(a), wide(b)) == 0; }

uint32_t current_process_id() { return GetCurrentProcessId(); }

void remove_current_directory_from_library_search() { SetDllDirectoryW(L""); }
void restore_library_search() { SetDllDirectoryW(nullptr); }

uint32_t get_full_path_name(const char16_t* path, uint32_t size, char16_t* out) {
    return GetFullPathNameW(wide(path), size, wide(out), nullptr);
}

uint32_t get_temp_path(uint32_t size, char16_t* out) { return GetTempPathW(size, wide(out)); }

// The profile folder, which every parent needs, comes from USERENV, where
// the shell itself gets it: SHELL32 would bring USER32, GDI32 and COM along,
// which under Wine costs about 35 ms a start. Other folders ask the shell.
int32_t get_profile_directory(char16_t* out) {
    auto open_token = system_functions.open_process_token.get();
    auto get_profile = system_functions.get_user_profile_directory.get();
    ScopedHandle token;
    if (open_token == nullptr || get_profile == nullptr ||
        !open_token(GetCurrentProcess(), TOKEN_QUERY, token.receive())) {
        return E_FAIL;
    }
    DWORD size = platform::folder_path_capacity;
    return get_profile(token.get(), wide(out), &size) ? S_OK : E_FAIL;
}

// The local application data folder, which a --cache launcher needs at every
// start, in the parent and in the child, the same way: the user's "User
// Shell Folders" value that the shell itself reads, expanded for the user's
// token. False when the value is missing or anything fails; the shell is
// asked then.
bool read_local_app_data(char16_t* out) {
    auto open_token = system_functions.open_process_token.get();
    auto get_value = system_functions.reg_get_value.get();
    auto expand = system_functions.expand_environment_strings_for_user.get();
    if (open_token == nullptr || get_value == nullptr || expand == nullptr) return false;
    wchar_t raw[platform::folder_path_capacity];
    DWORD size = sizeof raw;
    if (get_value(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                  L"Local AppData", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, raw,
                  &size) != ERROR_SUCCESS) {
        return false;
    }
    ScopedHandle token;
    if (!open_token(GetCurrentProcess(), TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE, token.receive())) {
        return false;
    }
    return expand(token.get(), raw, wide(out), platform::folder_path_capacity) && out[0] != 0;
}

int32_t get_folder_path(int csidl, char16_t* out) {
    if (csidl == CSIDL_PROFILE) return get_profile_directory(out);
    if (csidl == CSIDL_LOCAL_APPDATA && read_local_app_data(out)) return S_OK;
    auto function = system_functions.sh_get_folder_path.get();
    if (function == nullptr) return E_FAIL;
    return function(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, wide(out));
}

uint64_t from_file_time(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

uint64_t system_time_as_file_time() {
    FILETIME time = {};
    GetSystemTimeAsFileTime(&time);
    return from_file_time(time);
}

void query_performance_counter(int64_t* counter) {
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    *counter = value.QuadPart;
}

uint32_t get_own_module_file_name(char16_t* out, uint32_t size) { return GetModuleFileNameW(nullptr, wide(out), size); }

platform::FileHandle open_file_for_query(const char16_t* path) {
    return from_create_file(CreateFileW(wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

uint32_t get_final_path_name(platform::FileHandle file, char16_t* out, uint32_t size, bool* available) {
    auto function = system_functions.get_final_path_name_by_handle.get();
    *available = function != nullptr;
    if (function == nullptr) return 0;
    return function(to_native(file), wide(out), size, 0);
}

uint32_t get_short_path_name(const char16_t* path, char16_t* out, uint32_t size) {
    return GetShortPathNameW(wide(path), out == nullptr ? nullptr : wide(out), size);
}

platform::ProcessHandle open_process_for_query(uint32_t process_id) {
    return {OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id)};
}

uint32_t get_process_image_path(platform::ProcessHandle process, char16_t* out, uint32_t size) {
    DWORD length = size;
    if (!QueryFullProcessImageNameW(to_native(process), 0, wide(out), &length)) return 0;
    return length;
}

platform::FileHandle create_file_for_writing(const char16_t* path) {
    return from_create_file(
        CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr));
}

bool write_file(platform::FileHandle file, const void* data, uint32_t length) {
    DWORD written = 0;
    return WriteFile(to_native(file), data, length, &written, nullptr) != 0;
}

bool close_file(platform::FileHandle file) { return CloseHandle(to_native(file)) != 0; }

bool flush_file(platform::FileHandle file) { return FlushFileBuffers(to_native(file)) != 0; }

bool create_directory(const char16_t* path) { return CreateDirectoryW(wide(path), nullptr) != 0; }

uint32_t get_file_attributes(const char16_t* path) { return GetFileAttributesW(wide(path)); }

bool set_file_attributes(const char16_t* path, uint32_t attributes) {
    return SetFileAttributesW(wide(path), attributes) != 0;
}

bool delete_file(const char16_t* path) { return DeleteFileW(wide(path)) != 0; }

bool remove_directory(const char16_t* path) { return RemoveDirectoryW(wide(path)) != 0; }

bool is_dot_entry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

void copy_entry(const WIN32_FIND_DATAW& data, platform::DirectoryEntry* entry) {
    static_assert(sizeof entry->name == sizeof data.cFileName);
    std::wmemcpy(wide(entry->name), data.cFileName, MAX_PATH);
    entry->attributes = data.dwFileAttributes;
    entry->creation_time = from_file_time(data.ftCreationTime);
}

// Advances past "." and ".."; false at the end of the listing.
bool next_real_entry(HANDLE find, WIN32_FIND_DATAW& data) {
    while (is_dot_entry(data.cFileName)) {
        if (!FindNextFileW(find, &data)) return false;
    }
    return true;
}

platform::DirectoryListing open_directory_listing(const char16_t* directory, platform::DirectoryEntry* first,
                                                  bool* has_first) {
    *has_first = false;
    // Allocated per call: the sweep lists on a thread of its own while the
    // removal may list on another.
    size_t length = std::wcslen(wide(directory));
    if (length > 32768) return {nullptr};
    auto* pattern = static_cast<wchar_t*>(std::malloc((length + 3) * sizeof(wchar_t)));
    if (pattern == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return {nullptr};
    }
    std::wmemcpy(pattern, wide(directory), length);
    std::wmemcpy(pattern + length, L"\\*", 3);
    WIN32_FIND_DATAW data;
    HANDLE find =
        FindFirstFileExW(pattern, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    DWORD error = GetLastError();
    std::free(pattern);
    SetLastError(error);
    if (find == INVALID_HANDLE_VALUE) return {nullptr};
    if (next_real_entry(find, data)) {
        copy_entry(data, first);
        *has_first = true;
    }
    return {find};
}

bool next_directory_entry(platform::DirectoryListing listing, platform::DirectoryEntry* entry) {
    WIN32_FIND_DATAW data;
    HANDLE find = static_cast<HANDLE>(listing.value);
    if (!FindNextFileW(find, &data)) return false;
    if (!next_real_entry(find, data)) return false;
    copy_entry(data, entry);
    return true;
}

void close_directory_listing(platform::DirectoryListing listing) { FindClose(static_cast<HANDLE>(listing.value)); }

const char16_t* get_raw_command_line() { return reinterpret_cast<const char16_t*>(GetCommandLineW()); }

platform::JobHandle create_job_with_limits(DWORD limit_flags) {
    ScopedHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job.valid()) return {nullptr};
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = limit_flags;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        return {nullptr};
    }
    return {job.release()};
}

platform::JobHandle create_kill_on_close_job() {
    return create_job_with_limits(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK);
}

platform::JobHandle create_kill_on_close_job_for_tree() {
    return create_job_with_limits(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK);
}

platform::FileHandle open_file_for_reading(const char16_t* path) {
    return from_create_file(CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
}

bool read_file(platform::FileHandle file, void* data, uint32_t length, uint32_t* read) {
    DWORD count = 0;
    bool done = ReadFile(to_native(file), data, length, &count, nullptr) != 0;
    *read = count;
    return done;
}

bool get_file_size(const char16_t* path, uint64_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide(path), GetFileExInfoStandard, &data)) return false;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

platform::ProcessHandle start_process(const char16_t* application, char16_t* command_line, platform::JobHandle job) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION information = {};
    DWORD flags = NORMAL_PRIORITY_CLASS | (job.valid() ? CREATE_SUSPENDED : 0);
    if (!CreateProcessW(wide(application), wide(command_line), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                        &startup, &information)) {
        return {nullptr};
    }
    ScopedHandle thread(information.hThread);
    ScopedHandle process(information.hProcess);
    if (job.valid()) {
        AssignProcessToJobObject(static_cast<HANDLE>(job.value), process.get());
        // A child that cannot be resumed would never run: it counts as not started.
        if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
            DWORD error = GetLastError();
            TerminateProcess(process.get(), error);
            SetLastError(error);
            return {nullptr};
        }
    }
    return {process.release()};
}

uint32_t wait_for_process(platform::ProcessHandle process, uint32_t milliseconds) {
    return WaitForSingleObject(to_native(process), milliseconds);
}

bool get_process_exit_code(platform::ProcessHandle process, uint32_t* code) {
    DWORD value = 0;
    if (!GetExitCodeProcess(to_native(process), &value)) return false;
    *code = value;
    return true;
}

void terminate_process(platform::ProcessHandle process, uint32_t exit_code) {
    TerminateProcess(to_native(process), exit_code);
}

void close_process(platform::ProcessHandle process) { CloseHandle(to_native(process)); }

void sleep_milliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

platform::ConsoleControlHandler registered_handler = nullptr;

BOOL WINAPI forward_console_event(DWORD control_type) { return registered_handler(control_type); }

bool add_console_control_handler(platform::ConsoleControlHandler handler) {
    registered_handler = handler;
    return SetConsoleCtrlHandler(forward_console_event, TRUE) != 0;
}

void add_library_directory(const char16_t* directory) { AddDllDirectory(wide(directory)); }

platform::ModuleHandle load_library(const char16_t* path) {
    return {LoadLibraryExW(
        wide(path), nullptr,
        LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32)};
}

void* find_library_export(platform::ModuleHandle module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module.value), name));
}

platform::FileHandle open_shared_lock(const char16_t* path) {
    return from_create_file(CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
}

platform::FileHandle open_sole_lock(const char16_t* path) {
    return from_create_file(CreateFileW(wide(path), GENERIC_READ | DELETE, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
}

platform::ProcessHandle own_process() { return {GetCurrentProcess()}; }

// ProcessBasicInformation (class 0) as ntdll fills it; declared here rather
// than taken from <winternl.h>, whose declaration of it varies between SDKs.
struct ProcessBasicInformation {
    LONG exit_status;
    void* environment_block;
    ULONG_PTR affinity_mask;
    LONG base_priority;
    ULONG_PTR unique_process_id;
    ULONG_PTR inherited_from_unique_process_id;
};

// The proof of the parent uses ntdll, which is in every process, so that a
// start loads nothing more for it (ADVAPI32 and what it needs cost a start
// under Wine some 3 ms).
bool succeeded(LONG status) {
    auto status_to_error = system_functions.rtl_nt_status_to_dos_error.get();
    if (status >= 0) return true;
    SetLastError(status_to_error != nullptr ? status_to_error(status) : ERROR_GEN_FAILURE);
    return false;
}

// The id the system recorded at the creation; the documented alternatives
// list every process (a snapshot) to find one.
bool get_parent_process_id(platform::ProcessHandle process, uint32_t* parent_id) {
    auto query = system_functions.nt_query_information_process.get();
    if (query == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    ProcessBasicInformation information = {};
    ULONG size = 0;
    if (!succeeded(query(to_native(process), 0, &information, sizeof information, &size))) return false;
    *parent_id = static_cast<uint32_t>(information.inherited_from_unique_process_id);
    return true;
}

bool get_process_creation_time(platform::ProcessHandle process, uint64_t* creation_time) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(to_native(process), &created, &exited, &kernel, &user)) return false;
    *creation_time = from_file_time(created);
    return true;
}

// A process's token facts through ntdll: NtOpenProcessToken and
// NtQueryInformationToken are what OpenProcessToken and GetTokenInformation
// call, and neither the elevation nor the private directory's descriptor
// then loads ADVAPI32 (which costs a start under Wine some 3.5 ms).
bool read_process_token(HANDLE process, TOKEN_INFORMATION_CLASS kind, void* information, ULONG size) {
    auto open_token = system_functions.nt_open_process_token.get();
    auto query_token = system_functions.nt_query_information_token.get();
    if (open_token == nullptr || query_token == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    ScopedHandle token;
    if (!succeeded(open_token(process, TOKEN_QUERY, token.receive()))) return false;
    ULONG returned = 0;
    return succeeded(query_token(token.get(), kind, information, size, &returned));
}

bool read_own_token(TOKEN_INFORMATION_CLASS kind, void* information, ULONG size) {
    return read_process_token(GetCurrentProcess(), kind, information, size);
}

bool get_process_elevation(platform::ProcessHandle process, bool* elevated) {
    TOKEN_ELEVATION elevation = {};
    if (!read_process_token(to_native(process), TokenElevation, &elevation, sizeof elevation)) return false;
    *elevated = elevation.TokenIsElevated != 0;
    return true;
}

// A system without elevation counts as not elevated.
bool is_elevated() {
    TOKEN_ELEVATION elevation = {};
    return read_own_token(TokenElevation, &elevation, sizeof elevation) && elevation.TokenIsElevated != 0;
}

// A descriptor written out byte by byte, in the self-relative form.
class DescriptorWriter {
public:
    explicit DescriptorWriter(unsigned char* bytes) : bytes_(bytes) {}
    size_t length() const { return length_; }
    void put(const void* data, size_t size) {
        std::memcpy(bytes_ + length_, data, size);
        length_ += size;
    }
    void put_byte(BYTE value) { put(&value, sizeof value); }
    void put_word(WORD value) { put(&value, sizeof value); }
    void put_dword(DWORD value) { put(&value, sizeof value); }
    void put_at(size_t offset, DWORD value) { std::memcpy(bytes_ + offset, &value, sizeof value); }
    // An ACL of one revision-2 ACE (type, inherited to files and folders
    // below, mask) per SID.
    void put_acl(BYTE ace_type, DWORD mask, const SID* const* sids, int count) {
        size_t size = sizeof(ACL);
        for (int i = 0; i < count; ++i) size += 8 + sid_length(sids[i]);
        put_byte(ACL_REVISION);
        put_byte(0);
        put_word(static_cast<WORD>(size));
        put_word(static_cast<WORD>(count));
        put_word(0);
        for (int i = 0; i < count; ++i) {
            put_byte(ace_type);
            put_byte(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
            put_word(static_cast<WORD>(8 + sid_length(sids[i])));
            put_dword(mask);
            put(sids[i], sid_length(sids[i]));
        }
    }
    static size_t sid_length(const SID* sid) { return 8 + 4 * size_t{sid->SubAuthorityCount}; }

private:
    unsigned char* bytes_;
    size_t length_ = 0;
};

// A SID of up to two subauthorities, in SID's own layout.
struct ShortSid {
    BYTE revision;
    BYTE count;
    BYTE authority[6];
    DWORD subauthorities[2];
    const SID* sid() const { return reinterpret_cast<const SID*>(this); }
};
constexpr ShortSid administrators_sid = {SID_REVISION, 2, {0, 0, 0, 0, 0, 5}, {32, 544}};  // BA
constexpr ShortSid system_sid = {SID_REVISION, 1, {0, 0, 0, 0, 0, 5}, {18, 0}};            // SY
constexpr ShortSid high_label_sid = {SID_REVISION, 1, {0, 0, 0, 0, 0, 16}, {0x3000, 0}};   // HI

// The target directory's descriptor: protected, so that nothing is inherited
// from %TEMP%, which every program of the user may write; full control for
// the user, Administrators and SYSTEM, inherited by all below (OICI); for an
// elevated launcher a high mandatory label, inherited too, so that programs
// of a lower level cannot write there either (NW). As SDDL:
//   D:P(A;OICI;FA;;;<user>)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)[S:(ML;OICI;NW;;;HI)]
// It is written by hand, as that text converts, rather than converted by
// ADVAPI32, which a start would load for it alone. Released with LocalFree.
bool make_private_descriptor(PSECURITY_DESCRIPTOR* descriptor) {
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    if (!read_own_token(TokenUser, user, sizeof user)) return false;
    const SID* user_sid = static_cast<const SID*>(reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
    bool elevated = is_elevated();
    constexpr size_t room = sizeof(SECURITY_DESCRIPTOR_RELATIVE) + 2 * sizeof(ACL) + 4 * 8 + 3 * SECURITY_MAX_SID_SIZE +
                            2 * sizeof(ShortSid);
    auto* bytes = static_cast<unsigned char*>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, room));
    if (bytes == nullptr) return false;
    DescriptorWriter writer(bytes);
    WORD control = SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED | (elevated ? SE_SACL_PRESENT : 0);
    writer.put_byte(SECURITY_DESCRIPTOR_REVISION);
    writer.put_byte(0);
    writer.put_word(control);
    // Owner, group, SACL and DACL offsets, filled in below (0: none).
    for (int i = 0; i < 4; ++i) writer.put_dword(0);
    writer.put_at(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl), static_cast<DWORD>(writer.length()));
    const SID* granted[] = {user_sid, administrators_sid.sid(), system_sid.sid()};
    writer.put_acl(ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, granted, 3);
    if (elevated) {
        writer.put_at(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Sacl), static_cast<DWORD>(writer.length()));
        const SID* label[] = {high_label_sid.sid()};
        writer.put_acl(SYSTEM_MANDATORY_LABEL_ACE_TYPE, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, label, 1);
    }
    *descriptor = bytes;
    return true;
}

bool create_private_directory(const char16_t* path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!make_private_descriptor(&descriptor)) return false;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    BOOL created = CreateDirectoryW(wide(path), &attributes);
    DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return created != 0;
}

platform::ProcessState query_process_state(uint32_t process_id, uint64_t* creation_time) {
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
    if (!process.valid()) {
        return GetLastError() == ERROR_INVALID_PARAMETER ? platform::ProcessState::none
                                                         : platform::ProcessState::unknown;
    }
    platform::ProcessState state = platform::ProcessState::unknown;
    FILETIME created, exited, kernel, user;
    DWORD exit_code = 0;
    if (GetProcessTimes(process.get(), &created, &exited, &kernel, &user) &&
        GetExitCodeProcess(process.get(), &exit_code)) {
        if (from_file_time(exited) != 0 || exit_code != STILL_ACTIVE) {
            state = platform::ProcessState::ended;
        } else {
            *creation_time = from_file_time(created);
            state = platform::ProcessState::running;
        }
    }
    return state;
}

// The token's user and default owner, read once: a process's token keeps
// them for its life.
struct TokenOwners {
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    alignas(TOKEN_OWNER) unsigned char default_owner[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE] = {};
    bool has_user = false;
    bool has_default_owner = false;

    TokenOwners() {
        auto open_token = system_functions.open_process_token.get();
        auto get_information = system_functions.get_token_information.get();
        ScopedHandle token;
        if (open_token == nullptr || get_information == nullptr ||
            !open_token(GetCurrentProcess(), TOKEN_QUERY, token.receive())) {
            return;
        }
        DWORD size = 0;
        has_user = get_information(token.get(), TokenUser, user, sizeof user, &size);
        has_default_owner = get_information(token.get(), TokenOwner, default_owner, sizeof default_owner, &size);
    }
};

bool query_directory_owner(const char16_t* path, platform::DirectoryOwner* result) {
    auto get_security = system_functions.get_security_info.get();
    auto sids_equal = system_functions.equal_sid.get();
    static const TokenOwners owners;
    static const bool elevated = is_elevated();
    if (get_security == nullptr || sids_equal == nullptr || !owners.has_user || !owners.has_default_owner) {
        return false;
    }
    PSID user = reinterpret_cast<const TOKEN_USER*>(owners.user)->User.Sid;
    PSID default_owner = reinterpret_cast<const TOKEN_OWNER*>(owners.default_owner)->Owner;
    ScopedHandle directory(CreateFileW(wide(path), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!directory.valid()) return false;
    bool read = false;
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(directory.get(), &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (get_security(directory.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                         &descriptor) == ERROR_SUCCESS) {
            if (owner != nullptr) {
                result->owner_is_user = sids_equal(owner, user) != 0;
                result->owner_is_default_owner = sids_equal(owner, default_owner) != 0;
                result->default_owner_is_user = sids_equal(default_owner, user) != 0;
                result->elevated = elevated;
                read = true;
            }
            LocalFree(descriptor);
        }
    }
    return read;
}

// The same open and checks; the cache's folders are its own when either
// owner that a process of this token gives new objects owns them.
bool is_own_plain_directory(const char16_t* path) {
    platform::DirectoryOwner owner = {};
    return win32_layer::query_directory_owner(path, &owner) && (owner.owner_is_user || owner.owner_is_default_owner);
}

// The leading fields of SYSTEM_PROCESS_INFORMATION, as ntdll lays them out.
struct SystemProcessInformation {
    ULONG next_entry_offset;
    ULONG number_of_threads;
    LARGE_INTEGER reserved[3];
    LARGE_INTEGER create_time;
    LARGE_INTEGER user_time;
    LARGE_INTEGER kernel_time;
    USHORT name_length;
    USHORT name_maximum_length;
    PWSTR name_buffer;
    LONG base_priority;
    HANDLE unique_process_id;
};
static_assert(offsetof(SystemProcessInformation, create_time) == 32);
static_assert(offsetof(SystemProcessInformation, unique_process_id) == 80);

bool list_processes(platform::ProcessTimes* entries, uint32_t capacity, uint32_t* count) {
    constexpr ULONG system_process_information = 5;
    constexpr LONG status_info_length_mismatch = static_cast<LONG>(0xC0000004);
    auto query = system_functions.nt_query_system_information.get();
    if (query == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    // Processes come and go between the calls: a few more tries with room
    // to spare.
    ULONG size = 256 * 1024;
    for (int attempt = 0; attempt < 4; ++attempt) {
        void* buffer = std::malloc(size);
        if (buffer == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        ULONG needed = 0;
        LONG status = query(system_process_information, buffer, size, &needed);
        if (status == status_info_length_mismatch) {
            std::free(buffer);
            size = (needed > size ? needed : size * 2) + 64 * 1024;
            continue;
        }
        if (status < 0) {
            std::free(buffer);
            SetLastError(ERROR_GEN_FAILURE);
            return false;
        }
        uint32_t listed = 0;
        for (const char* at = static_cast<const char*>(buffer);;) {
            const auto* process = reinterpret_cast<const SystemProcessInformation*>(at);
            if (listed < capacity) {
                entries[listed] = {static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(process->unique_process_id)),
                                   process->number_of_threads == 0,
                                   static_cast<uint64_t>(process->create_time.QuadPart)};
            }
            ++listed;
            if (process->next_entry_offset == 0) break;
            at += process->next_entry_offset;
        }
        std::free(buffer);
        *count = listed;
        return listed <= capacity;
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
}

uint64_t own_creation_time() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return from_file_time(created);
}

bool rename_without_replacing(const char16_t* from, const char16_t* to) {
    return MoveFileExW(wide(from), wide(to), 0) != 0;
}

struct ThreadStart {
    void (*routine)(void*);
    void* argument;
};

DWORD WINAPI run_thread(void* start) {
    ThreadStart started = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    // Background mode lowers the thread's I/O priority as well.
    if (!SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN)) {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST);
    }
    started.routine(started.argument);
    return 0;
}

bool start_background_thread(void (*routine)(void*), void* argument) {
    auto* start = new (std::nothrow) ThreadStart{routine, argument};
    if (start == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    constexpr SIZE_T stack_reserve = 256 * 1024;
    HANDLE thread = CreateThread(nullptr, stack_reserve, run_thread, start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        DWORD error = GetLastError();
        delete start;
        SetLastError(error);
        return false;
    }
    CloseHandle(thread);
    return true;
}

DWORD WINAPI run_plain_thread(void* start) {
    ThreadStart started = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    started.routine(started.argument);
    return 0;
}

platform::ThreadHandle start_thread(void (*routine)(void*), void* argument) {
    auto* start = new (std::nothrow) ThreadStart{routine, argument};
    if (start == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return {nullptr};
    }
    // As much as a main thread: a directory climb may call into the shell.
    constexpr SIZE_T stack_reserve = 1024 * 1024;
    HANDLE thread =
        CreateThread(nullptr, stack_reserve, run_plain_thread, start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        DWORD error = GetLastError();
        delete start;
        SetLastError(error);
        return {nullptr};
    }
    return {thread};
}

void join_thread(platform::ThreadHandle thread) {
    WaitForSingleObject(thread.value, INFINITE);
    CloseHandle(thread.value);
}

// The removal's calls of ntdll, whose relative opens and one-entry listings
// KERNEL32 does not offer, from the ntdll every process has.
struct NtIdBothDirectoryInformation {
    ULONG next_entry_offset;
    ULONG file_index;
    LARGE_INTEGER creation_time, last_access_time, last_write_time, change_time, end_of_file, allocation_size;
    ULONG file_attributes;
    ULONG file_name_length;
    ULONG ea_size;
    CCHAR short_name_length;
    WCHAR short_name[12];
    LARGE_INTEGER file_id;
    WCHAR file_name[1];
};

struct NtAttributeTagInformation {
    ULONG file_attributes;
    ULONG reparse_tag;
};
struct NtStatInformation {
    LARGE_INTEGER file_id;
    LARGE_INTEGER creation_time, last_access_time, last_write_time, change_time, allocation_size, end_of_file;
    ULONG file_attributes;
    ULONG reparse_tag;
    ULONG number_of_links;
    ACCESS_MASK effective_access;
};

// The removal's four, taken together from the table.
struct NtFunctions {
    decltype(system_functions.nt_create_file.get()) create_file;
    decltype(system_functions.nt_query_directory_file.get()) query_directory_file;
    decltype(system_functions.nt_query_information_file.get()) query_information_file;
    decltype(system_functions.rtl_nt_status_to_dos_error.get()) status_to_error;

    bool complete() const {
        return create_file != nullptr && query_directory_file != nullptr && query_information_file != nullptr &&
               status_to_error != nullptr;
    }
};

NtFunctions nt_functions() {
    return {system_functions.nt_create_file.get(), system_functions.nt_query_directory_file.get(),
            system_functions.nt_query_information_file.get(), system_functions.rtl_nt_status_to_dos_error.get()};
}

constexpr ULONG nt_case_insensitive = 0x40;
constexpr ULONG nt_file_open = 1;
constexpr ULONG nt_synchronous_io_nonalert = 0x20;
constexpr ULONG nt_open_for_backup_intent = 0x4000;
constexpr ULONG nt_open_reparse_point = 0x200000;
constexpr int nt_file_internal_information = 6;
constexpr int nt_file_attribute_tag_information = 35;
constexpr int nt_file_stat_information = 68;
constexpr int nt_file_id_both_directory_information = 37;
constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK removal_listing_rights = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK removal_deleting_rights = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;

bool fail_with_status(LONG status) {
    SetLastError(nt_functions().status_to_error(status));
    return false;
}

// A single component's name as ntdll takes it; false, with the error set,
// when ntdll lacks the removal's calls or the name cannot be one.
bool component_name(const NtFunctions& nt, const char16_t* name, NtUnicodeString* unicode) {
    if (!nt.complete()) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    size_t length = std::wcslen(wide(name));
    if (length == 0 || length > 255) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    *unicode = {static_cast<USHORT>(length * 2), static_cast<USHORT>(length * 2), const_cast<PWSTR>(wide(name))};
    return true;
}

// name, one component, relative to parent: the entry itself, never a link's target.
HANDLE open_relative(HANDLE parent, const char16_t* name, ACCESS_MASK rights) {
    const NtFunctions& nt = nt_functions();
    NtUnicodeString unicode = {};
    if (!component_name(nt, name, &unicode)) return nullptr;
    NtObjectAttributes object = {sizeof object, parent, &unicode, nt_case_insensitive, nullptr, nullptr};
    NtIoStatus io = {};
    HANDLE handle = nullptr;
    LONG status =
        nt.create_file(&handle, rights, &object, &io, nullptr, 0, share_all, nt_file_open,
                       nt_open_reparse_point | nt_open_for_backup_intent | nt_synchronous_io_nonalert, nullptr, 0);
    if (status < 0) {
        fail_with_status(status);
        return nullptr;
    }
    return handle;
}

// What a removal compares, read from the opened handle alone. Not
// GetFileInformationByHandle: it also asks for the volume's serial number,
// which Wine answers through the mount manager's process, a good part of a
// removal's cost per entry. FileStatInformation gives both at once
// (Windows 10 1709 on); where it is refused (Wine 8, older Windows), the
// attributes and the id in two queries, and that is remembered.
std::atomic<bool> stat_information_refused{false};

bool refuses_class(LONG status) {
    constexpr LONG invalid_info_class = static_cast<LONG>(0xC0000003);
    constexpr LONG not_implemented = static_cast<LONG>(0xC0000002);
    constexpr LONG not_supported = static_cast<LONG>(0xC00000BB);
    constexpr LONG invalid_parameter = static_cast<LONG>(0xC000000D);
    return status == invalid_info_class || status == not_implemented || status == not_supported ||
           status == invalid_parameter;
}

bool read_opened_facts(HANDLE handle, platform::EntryFacts* facts) {
    const NtFunctions& nt = nt_functions();
    NtIoStatus io = {};
    if (!stat_information_refused.load(std::memory_order_relaxed)) {
        NtStatInformation stat = {};
        LONG status = nt.query_information_file(handle, &io, &stat, sizeof stat, nt_file_stat_information);
        if (status >= 0) {
            *facts = {stat.file_attributes, static_cast<uint64_t>(stat.file_id.QuadPart)};
            return true;
        }
        if (!refuses_class(status)) return fail_with_status(status);
        stat_information_refused.store(true, std::memory_order_relaxed);
    }
    NtAttributeTagInformation tag = {};
    LONG status = nt.query_information_file(handle, &io, &tag, sizeof tag, nt_file_attribute_tag_information);
    if (status < 0) return fail_with_status(status);
    LARGE_INTEGER id = {};
    status = nt.query_information_file(handle, &io, &id, sizeof id, nt_file_internal_information);
    if (status < 0) return fail_with_status(status);
    *facts = {tag.file_attributes, static_cast<uint64_t>(id.QuadPart)};
    return true;
}

// A directory opened by a removal: its handle and the entries its last
// listing call returned that were not read yet. Many entries a call: under
// Wine a call costs about as much whether it returns one entry or hundreds
// (40 to 60 us). A removal keeps one per level it is in; past
// many_entry_listings at once (a deep tree), the rest list one entry a call.
struct RemovalDirectory {
    HANDLE handle;
    ULONG capacity;
    // Offset of the next entry to read in entries, while unread is set.
    ULONG next;
    bool unread;
    alignas(8) unsigned char entries[1];
};

constexpr ULONG many_entries_capacity = 32768;
// Room for one entry with the longest name (255 units).
constexpr ULONG one_entry_capacity = sizeof(NtIdBothDirectoryInformation) + 256 * sizeof(WCHAR);
constexpr int many_entry_listings = 32;
std::atomic<int> many_entry_listings_open{0};

RemovalDirectory* removal_directory(platform::DirectoryHandle directory) {
    return static_cast<RemovalDirectory*>(directory.value);
}

HANDLE directory_handle(platform::DirectoryHandle directory) { return removal_directory(directory)->handle; }

RemovalDirectory* new_removal_directory(HANDLE handle) {
    ULONG capacity = one_entry_capacity;
    if (many_entry_listings_open.fetch_add(1) < many_entry_listings) {
        capacity = many_entries_capacity;
    } else {
        many_entry_listings_open.fetch_sub(1);
    }
    void* memory = HeapAlloc(GetProcessHeap(), 0, offsetof(RemovalDirectory, entries) + capacity);
    if (memory == nullptr && capacity == many_entries_capacity) {
        many_entry_listings_open.fetch_sub(1);
        capacity = one_entry_capacity;
        memory = HeapAlloc(GetProcessHeap(), 0, offsetof(RemovalDirectory, entries) + capacity);
    }
    if (memory == nullptr) return nullptr;
    auto* directory = static_cast<RemovalDirectory*>(memory);
    directory->handle = handle;
    directory->capacity = capacity;
    directory->next = 0;
    directory->unread = false;
    return directory;
}

platform::DirectoryHandle open_directory_for_removal(platform::DirectoryHandle parent, const char16_t* name,
                                                     platform::EntryFacts* facts) {
    HANDLE handle = nullptr;
    if (!parent.valid()) {
        handle = CreateFileW(wide(name), removal_listing_rights, share_all, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return {nullptr};
    } else {
        handle = open_relative(directory_handle(parent), name, removal_listing_rights);
        if (handle == nullptr) return {nullptr};
    }
    if (!nt_functions().complete() || !read_opened_facts(handle, facts)) {
        DWORD error = GetLastError();
        CloseHandle(handle);
        SetLastError(error);
        return {nullptr};
    }
    RemovalDirectory* directory = new_removal_directory(handle);
    if (directory == nullptr) {
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return {nullptr};
    }
    return {directory};
}

bool is_dot_name(const NtIdBothDirectoryInformation* found, size_t length) {
    return found->file_name[0] == L'.' && (length == 1 || (length == 2 && found->file_name[1] == L'.'));
}

// The entry's name and facts into entry; false for "." and ".." and for a
// name longer than a listing gives.
bool take_listed(const NtIdBothDirectoryInformation* found, platform::RemovalEntry* entry) {
    size_t length = found->file_name_length / sizeof(WCHAR);
    if (length == 0 || length >= sizeof entry->name / sizeof entry->name[0] || is_dot_name(found, length)) {
        return false;
    }
    std::wmemcpy(wide(entry->name), found->file_name, length);
    entry->name[length] = 0;
    entry->facts = {found->file_attributes, static_cast<uint64_t>(found->file_id.QuadPart)};
    return true;
}

bool read_directory_entry(platform::DirectoryHandle handle, platform::RemovalEntry* entry) {
    const NtFunctions& nt = nt_functions();
    if (!nt.complete()) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    RemovalDirectory* directory = removal_directory(handle);
    for (;;) {
        if (!directory->unread) {
            NtIoStatus io = {};
            LONG status = nt.query_directory_file(directory->handle, nullptr, nullptr, nullptr, &io, directory->entries,
                                                  directory->capacity, nt_file_id_both_directory_information,
                                                  directory->capacity == one_entry_capacity, nullptr, FALSE);
            if (status < 0) return fail_with_status(status);
            if (io.information == 0) {
                SetLastError(ERROR_NO_MORE_FILES);
                return false;
            }
            directory->next = 0;
            directory->unread = true;
        }
        const auto* found = reinterpret_cast<const NtIdBothDirectoryInformation*>(directory->entries + directory->next);
        if (found->next_entry_offset == 0) {
            directory->unread = false;
        } else {
            directory->next += found->next_entry_offset;
        }
        if (take_listed(found, entry)) return true;
    }
}

// The listing restarted for the one entry called name, on a buffer of its
// own: its facts as the directory lists them; false when there is none.
bool find_directory_entry(platform::DirectoryHandle directory, const char16_t* name, platform::EntryFacts* facts) {
    const NtFunctions& nt = nt_functions();
    NtUnicodeString pattern = {};
    if (!component_name(nt, name, &pattern)) return false;
    alignas(8) unsigned char buffer[one_entry_capacity];
    NtIoStatus io = {};
    LONG status = nt.query_directory_file(directory_handle(directory), nullptr, nullptr, nullptr, &io, buffer,
                                          sizeof buffer, nt_file_id_both_directory_information, TRUE, &pattern, TRUE);
    if (status < 0) return fail_with_status(status);
    platform::RemovalEntry entry;
    // The file system matched the name as a pattern: it must be that name.
    if (!take_listed(reinterpret_cast<const NtIdBothDirectoryInformation*>(buffer), &entry) ||
        std::wcslen(wide(entry.name)) != pattern.length / sizeof(WCHAR)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    *facts = entry.facts;
    return true;
}

// Marks the opened entry for deletion: POSIX semantics (the name goes when
// the handle closes, even while others hold the file) and read-only ignored
// where the system has them (Windows 10 1809 on; not Wine 8), else the
// read-only attribute cleared on this very handle and the plain disposition.
bool mark_for_deletion(HANDLE handle, uint32_t attributes) {
    constexpr FILE_INFO_BY_HANDLE_CLASS disposition_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
    ULONG flags = 0x1 | 0x2 | 0x10;  // delete, POSIX semantics, ignore the read-only attribute
    if (SetFileInformationByHandle(handle, disposition_ex, &flags, sizeof flags)) return true;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes =
            attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

bool delete_entry_relative(platform::DirectoryHandle parent, const char16_t* name,
                           const platform::EntryFacts* expected) {
    constexpr uint32_t kind = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    HANDLE handle = open_relative(directory_handle(parent), name, removal_deleting_rights);
    if (handle == nullptr) return false;
    platform::EntryFacts opened;
    bool deleted = false;
    DWORD error = ERROR_FILE_NOT_FOUND;
    // Under Wine a Linux link is opened as its target, whose facts differ
    // from the link's listed ones (a reparse point, or another id).
    if (read_opened_facts(handle, &opened) && opened.file_id == expected->file_id &&
        (opened.attributes & kind) == (expected->attributes & kind)) {
        deleted = mark_for_deletion(handle, opened.attributes);
        error = GetLastError();
    }
    CloseHandle(handle);
    if (!deleted) SetLastError(error);
    return deleted;
}

void close_directory(platform::DirectoryHandle handle) {
    RemovalDirectory* directory = removal_directory(handle);
    CloseHandle(directory->handle);
    if (directory->capacity == many_entries_capacity) many_entry_listings_open.fetch_sub(1);
    HeapFree(GetProcessHeap(), 0, directory);
}

bool is_file_or_pipe(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    DWORD type = GetFileType(handle);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
}

void show_unseen_message(const char16_t* text) {
    if (GetConsoleWindow() != nullptr || is_file_or_pipe(GetStdHandle(STD_ERROR_HANDLE))) return;
    auto message_box = system_functions.message_box.get();
    if (message_box == nullptr) return;
    wchar_t path[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    // A longer path is cut by the call; the title needs only its last part.
    const wchar_t* title = L"";
    if (length > 0) {
        path[length < MAX_PATH ? length : MAX_PATH] = 0;
        const wchar_t* slash = std::wcsrchr(path, L'\\');
        title = slash != nullptr ? slash + 1 : path;
    }
    message_box(nullptr, wide(text), title, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

bool is_system_library(const char16_t* name) {
    if (GetModuleHandleW(wide(name)) != nullptr) return true;
    // An API set is no file; only the loader resolves its name.
    if (_wcsnicmp(wide(name), L"api-", 4) == 0 || _wcsnicmp(wide(name), L"ext-", 4) == 0) {
        HMODULE set = LoadLibraryExW(wide(name), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (set == nullptr) return false;
        FreeLibrary(set);
        return true;
    }
    // Looked for by path: a search by name (even one limited to the system
    // directory, as a data file) finds files in other places under Wine.
    std::wstring path(MAX_PATH + 1, L'\0');
    UINT length = GetSystemDirectoryW(path.data(), MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    path.resize(length);
    path += L'\\';
    path += wide(name);
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace win32_layer

namespace platform {

// Qualified names: the table's entries, not the inline wrappers of the same
// names in this namespace.
Table table = {
    .stop_immediately = win32_layer::stop_immediately,
    .exit_process = win32_layer::exit_process,
    .terminate_own_process = win32_layer::terminate_own_process,
    .allocate_memory = win32_layer::allocate_memory,
    .last_error = win32_layer::last_error,
    .set_last_error = win32_layer::set_last_error,
    .format_system_message = win32_layer::format_system_message,
    .print_error_with_wide = win32_layer::print_error_with_wide,
    .get_environment_variable = win32_layer::get_environment_variable,
    .set_environment_variable = win32_layer::set_environment_variable,
    .widen_byte = win32_layer::widen_byte,
    .parse_long = win32_layer::parse_long,
    .is_decimal_digit = win32_layer::is_decimal_digit,
    .equal_ignoring_case = win32_layer::equal_ignoring_case,
    .current_process_id = win32_layer::current_process_id,
    .remove_current_directory_from_library_search = win32_layer::remove_current_directory_from_library_search,
    .restore_library_search = win32_layer::restore_library_search,
    .get_full_path_name = win32_layer::get_full_path_name,
    .get_temp_path = win32_layer::get_temp_path,
    .get_folder_path = win32_layer::get_folder_path,
    .system_time_as_file_time = win32_layer::system_time_as_file_time,
    .query_performance_counter = win32_layer::query_performance_counter,
    .get_own_module_file_name = win32_layer::get_own_module_file_name,
    .open_file_for_query = win32_layer::open_file_for_query,
    .get_final_path_name = win32_layer::get_final_path_name,
    .get_short_path_name = win32_layer::get_short_path_name,
    .open_process_for_query = win32_layer::open_process_for_query,
    .get_process_image_path = win32_layer::get_process_image_path,
    .create_file_for_writing = win32_layer::create_file_for_writing,
    .write_file = win32_layer::write_file,
    .close_file = win32_layer::close_file,
    .flush_file = win32_layer::flush_file,
    .create_directory = win32_layer::create_directory,
    .get_file_attributes = win32_layer::get_file_attributes,
    .set_file_attributes = win32_layer::set_file_attributes,
    .delete_file = win32_layer::delete_file,
    .remove_directory = win32_layer::remove_directory,
    .open_directory_listing = win32_layer::open_directory_listing,
    .next_directory_entry = win32_layer::next_directory_entry,
    .close_directory_listing = win32_layer::close_directory_listing,
    .open_file_for_reading = win32_layer::open_file_for_reading,
    .read_file = win32_layer::read_file,
    .get_file_size = win32_layer::get_file_size,
    .get_raw_command_line = win32_layer::get_raw_command_line,
    .create_kill_on_close_job = win32_layer::create_kill_on_close_job,
    .start_process = win32_layer::start_process,
    .wait_for_process = win32_layer::wait_for_process,
    .get_process_exit_code = win32_layer::get_process_exit_code,
    .terminate_process = win32_layer::terminate_process,
    .close_process = win32_layer::close_process,
    .sleep_milliseconds = win32_layer::sleep_milliseconds,
    .add_console_control_handler = win32_layer::add_console_control_handler,
    .add_library_directory = win32_layer::add_library_directory,
    .load_library = win32_layer::load_library,
    .find_library_export = win32_layer::find_library_export,
    .is_elevated = win32_layer::is_elevated,
    .open_shared_lock = win32_layer::open_shared_lock,
    .open_sole_lock = win32_layer::open_sole_lock,
    .create_private_directory = win32_layer::create_private_directory,
    .query_process_state = win32_layer::query_process_state,
    .is_own_plain_directory = win32_layer::is_own_plain_directory,
    .rename_without_replacing = win32_layer::rename_without_replacing,
    .start_background_thread = win32_layer::start_background_thread,
    .open_directory_for_removal = win32_layer::open_directory_for_removal,
    .read_directory_entry = win32_layer::read_directory_entry,
    .find_directory_entry = win32_layer::find_directory_entry,
    .delete_entry_relative = win32_layer::delete_entry_relative,
    .close_directory = win32_layer::close_directory,
    .own_process = win32_layer::own_process,
    .get_parent_process_id = win32_layer::get_parent_process_id,
    .get_process_creation_time = win32_layer::get_process_creation_time,
    .get_process_elevation = win32_layer::get_process_elevation,
    .list_processes = win32_layer::list_processes,
    .own_creation_time = win32_layer::own_creation_time,
    .query_directory_owner = win32_layer::query_directory_owner,
    .show_unseen_message = win32_layer::show_unseen_message,
    .is_system_library = win32_layer::is_system_library,
    .create_kill_on_close_job_for_tree = win32_layer::create_kill_on_close_job_for_tree,
    .start_thread = win32_layer::start_thread,
    .join_thread = win32_layer::join_thread,
    .free_memory = win32_layer::free_memory,
};

}  // namespace platform

}  // namespace fenzar
