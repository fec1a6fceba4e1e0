// The platform table on POSIX, for native tests and benchmarks. Paths keep
// the backslash as separator in the core; this layer maps it to '/' and
// converts UTF-16 to UTF-8 at every call. Error codes are the Windows ones, so
// the core sees the same values on both layers.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix/native_path.h"

namespace fenzar {

namespace posix_layer {

thread_local uint32_t current_error = 0;

uint32_t windows_error_from_errno(int error) {
    switch (error) {
        case ENOENT:
            return platform::error_path_not_found;
        case ENOTDIR:
            return platform::error_directory;
        case EACCES:
        case EPERM:
        case EROFS:
            return platform::error_access_denied;
        case EEXIST:
            return platform::error_already_exists;
        case ENOSPC:
        case EDQUOT:
            return platform::error_disk_full;
        case ENAMETOOLONG:
            return platform::error_filename_too_long;
        case ENOTEMPTY:
            return platform::error_dir_not_empty;
        case ENOMEM:
            return platform::error_not_enough_memory;
        default:
            return platform::error_gen_failure;
    }
}

void fail_with_errno() { current_error = windows_error_from_errno(errno); }

std::string to_utf8(const char16_t* text, bool map_separator) {
    std::string out;
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (map_separator && c == '\\') c = '/';
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string path_to_native(const char16_t* path) { return to_utf8(path, true); }

std::u16string from_utf8(const char* text, bool map_separator) {
    std::u16string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        uint32_t c = *p++;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra > 0) c &= 0x3F >> extra;
        for (int k = 0; k < extra && (*p & 0xC0) == 0x80; ++k) c = (c << 6) | (*p++ & 0x3F);
        if (map_separator && c == '/') c = '\\';
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::u16string path_from_native(const std::string& native) { return from_utf8(native.c_str(), true); }

// Stores text into out (size units) the way the Windows calls do: the length
// without terminator when it fits, else the size needed with terminator and
// nothing written.
uint32_t store_result(const std::u16string& text, char16_t* out, uint32_t size) {
    if (text.size() + 1 > size || out == nullptr) return static_cast<uint32_t>(text.size() + 1);
    std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(char16_t));
    return static_cast<uint32_t>(text.size());
}

[[noreturn]] void stop_immediately() { _exit(static_cast<int>(platform::immediate_stop_status & 0xFF)); }

[[noreturn]] void exit_process(int status) { std::exit(status); }

// A POSIX status keeps only the low 8 bits.
[[noreturn]] void terminate_own_process(uint32_t status) { _exit(static_cast<int>(status & 0xFF)); }

void* allocate_memory(size_t size) { return std::malloc(size); }
void free_memory(void* memory) { std::free(memory); }

uint32_t last_error() { return current_error; }
void set_last_error(uint32_t code) { current_error = code; }

uint32_t format_system_message(uint32_t code, char** text) {
    static char message[256];
    const char* known = nullptr;
    switch (code) {
        case platform::error_file_not_found:
            known = "The system cannot find the file specified.\r\n";
            break;
        case platform::error_path_not_found:
            known = "The system cannot find the path specified.\r\n";
            break;
        case platform::error_access_denied:
            known = "Access is denied.\r\n";
            break;
        case platform::error_disk_full:
            known = "There is not enough space on the disk.\r\n";
            break;
        case platform::error_already_exists:
            known = "Cannot create a file when that file already exists.\r\n";
            break;
        default:
            return 0;
    }
    std::snprintf(message, sizeof message, "%s", known);
    *text = message;
    return static_cast<uint32_t>(std::strlen(message));
}

void print_error_with_wide(const char* format, const char16_t* argument) {
    std::string narrow_format = format;
    size_t at = narrow_format.find("%ls");
    if (at != std::string::npos) narrow_format.replace(at, 3, "%s");
    std::fprintf(stderr, narrow_format.c_str(), to_utf8(argument, false).c_str());
}

uint32_t get_environment_variable(const char16_t* name, char16_t* buffer, uint32_t size) {
    const char* value = std::getenv(to_utf8(name, false).c_str());
    if (value == nullptr || value[0] == 0) return 0;
    return store_result(from_utf8(value, false), buffer, size);
}

bool set_environment_variable(const char16_t* name, const char16_t* value) {
    std::string narrow_name = to_utf8(name, false);
    if (value == nullptr) return unsetenv(narrow_name.c_str()) == 0;
    return setenv(narrow_name.c_str(), to_utf8(value, false).c_str(), 1) == 0;
}

size_t widen_byte(char byte, char16_t out[2]) {
    const char text[2] = {byte, 0};
    wchar_t widened[2] = {0, 0};
    size_t count = std::mbstowcs(widened, text, 2);
    if (count == static_cast<size_t>(-1)) return count;
    out[0] = static_cast<char16_t>(widened[0]);
    out[1] = static_cast<char16_t>(widened[1]);
    return count;
}

int64_t parse_long(const char16_t* text, size_t* end_index, bool* out_of_range) {
    std::wstring converted;
    for (size_t i = 0; text[i] != 0; ++i) converted += static_cast<wchar_t>(text[i]);
    wchar_t* end = nullptr;
    errno = 0;
    long value = std::wcstol(converted.c_str(), &end, 10);
    // long is 64 bits here; the launcher's range is that of a 32-bit long.
    *out_of_range = errno == ERANGE || value > INT32_MAX || value < INT32_MIN;
    *end_index = static_cast<size_t>(end - converted.c_str());
    return value;
}

bool is_decimal_digit(char16_t character) { return std::iswdigit(character) != 0; }

bool equal_ignoring_case(const char16_t* a, const char16_t* b) {
    auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
    size_t i = 0;
    for (; a[i] != 0 && fold(a[i]) == fold(b[i]); ++i) {
    }
    return fold(a[i]) == fold(b[i]);
}

uint32_t current_process_id() { return static_cast<uint32_t>(getpid()); }

// No library search in the current directory to switch off here.
void remove_current_directory_from_library_search() {}
void restore_library_search() {}

uint32_t get_full_path_name(const char16_t* path, uint32_t size, char16_t* out) {
    std::u16string full;
    if (path[0] != u'\\') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            fail_with_errno();
            return 0;
        }
        full = from_utf8(cwd, true);
        if (full.empty() || full.back() != u'\\') full += u'\\';
    }
    full += path;
    return store_result(full, out, size);
}

uint32_t get_temp_path(uint32_t size, char16_t* out) {
    const char* directory = std::getenv("TMPDIR");
    std::u16string temp = from_utf8(directory != nullptr && directory[0] != 0 ? directory : "/tmp", true);
    if (temp.back() != u'\\') temp += u'\\';
    return store_result(temp, out, size);
}

int32_t get_folder_path(int csidl, char16_t* out) {
    constexpr int32_t e_fail = static_cast<int32_t>(0x80004005u);
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == 0) return e_fail;
    std::string folder = home;
    if (csidl == platform::folder_local_app_data) {
        const char* cache = std::getenv("XDG_CACHE_HOME");
        folder = cache != nullptr && cache[0] != 0 ? cache : folder + "/.cache";
    } else if (csidl != platform::folder_profile) {
        return e_fail;
    }
    std::u16string converted = from_utf8(folder.c_str(), true);
    if (converted.size() >= 1024) return e_fail;
    store_result(converted, out, 1024);
    return 0;
}

uint64_t file_time_of(const timespec& time) {
    constexpr uint64_t seconds_1601_to_1970 = 11644473600ull;
    return (static_cast<uint64_t>(time.tv_sec) + seconds_1601_to_1970) * 10000000ull +
           static_cast<uint64_t>(time.tv_nsec) / 100;
}

uint64_t system_time_as_file_time() {
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return file_time_of(now);
}

void query_performance_counter(int64_t* counter) {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    *counter = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The target of a symbolic link as a path with backslashes; false when it
// cannot be read.
bool read_link_target(const char* link, std::u16string* target_path) {
    char target[PATH_MAX];
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) {
        fail_with_errno();
        return false;
    }
    target[length] = 0;
    *target_path = from_utf8(target, true);
    return true;
}

// Reads a link the way GetModuleFileNameW reports a module's path.
uint32_t read_link(const char* link, char16_t* out, uint32_t size) {
    std::u16string converted;
    if (!read_link_target(link, &converted)) return 0;
    // GetModuleFileNameW truncates to the buffer and returns its size.
    if (converted.size() + 1 > size) {
        if (size == 0) return 0;
        std::memcpy(out, converted.c_str(), (size - 1) * sizeof(char16_t));
        out[size - 1] = 0;
        return size;
    }
    return store_result(converted, out, size);
}

uint32_t get_own_module_file_name(char16_t* out, uint32_t size) { return read_link("/proc/self/exe", out, size); }

// Handles carry a descriptor or a pid plus one, so that 0 stays "none".
void* to_handle(long value) { return reinterpret_cast<void*>(value + 1); }
long from_handle(void* handle) { return reinterpret_cast<long>(handle) - 1; }

platform::FileHandle open_file_for_query(const char16_t* path) {
    int descriptor = open(path_to_native(path).c_str(), O_PATH | O_CLOEXEC);
    if (descriptor < 0) {
        fail_with_errno();
        return {nullptr};
    }
    return {to_handle(descriptor)};
}

uint32_t get_final_path_name(platform::FileHandle file, char16_t* out, uint32_t size, bool* available) {
    *available = true;
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%ld", from_handle(file.value));
    std::u16string target;
    if (!read_link_target(link, &target)) return 0;
    return store_result(target, out, size);
}

// POSIX file systems have no short names: the short form is the path itself.
uint32_t get_short_path_name(const char16_t* path, char16_t* out, uint32_t size) {
    struct stat status;
    if (stat(path_to_native(path).c_str(), &status) != 0) {
        fail_with_errno();
        return 0;
    }
    return store_result(path, out, size);
}

platform::ProcessHandle open_process_for_query(uint32_t process_id) {
    // As Windows reports it: no such process, or one that may not be asked.
    if (process_id == 0 || kill(static_cast<pid_t>(process_id), 0) != 0) {
        current_error =
            process_id != 0 && errno == EPERM ? platform::error_access_denied : platform::error_invalid_parameter;
        return {nullptr};
    }
    return {to_handle(process_id)};
}

uint32_t get_process_image_path(platform::ProcessHandle process, char16_t* out, uint32_t size) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%ld/exe", from_handle(process.value));
    return read_link(link, out, size);
}

platform::FileHandle create_file_for_writing(const char16_t* path) {
    int descriptor = open(path_to_native(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        fail_with_errno();
        return {nullptr};
    }
    return {to_handle(descriptor)};
}

bool write_file(platform::FileHandle file, const void* data, uint32_t length) {
    const auto* bytes = static_cast<const char*>(data);
    int descriptor = static_cast<int>(from_handle(file.value));
    while (length > 0) {
        ssize_t written = write(descriptor, bytes, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            fail_with_errno();
            return false;
        }
        bytes += written;
        length -= static_cast<uint32_t>(written);
    }
    return true;
}

bool close_file(platform::FileHandle file) {
    if (close(static_cast<int>(from_handle(file.value))) == 0) return true;
    fail_with_errno();
    return false;
}

bool flush_file(platform::FileHandle file) {
    if (fsync(static_cast<int>(from_handle(file.value))) == 0) return true;
    fail_with_errno();
    return false;
}

bool create_directory(const char16_t* path) {
    if (mkdir(path_to_native(path).c_str(), 0755) != 0) {
        fail_with_errno();
        return false;
    }
    return true;
}

uint32_t attributes_of(const struct stat& status) {
    if (S_ISLNK(status.st_mode)) return platform::file_attribute_reparse_point;
    uint32_t attributes = S_ISDIR(status.st_mode) ? platform::file_attribute_directory : 0x80;
    if ((status.st_mode & S_IWUSR) == 0) attributes |= platform::file_attribute_readonly;
    return attributes;
}

uint32_t get_file_attributes(const char16_t* path) {
    struct stat status;
    if (stat(path_to_native(path).c_str(), &status) != 0) {
        fail_with_errno();
        return platform::invalid_file_attributes;
    }
    return attributes_of(status);
}

bool set_file_attributes(const char16_t* path, uint32_t attributes) {
    std::string native = path_to_native(path);
    struct stat status;
    if (lstat(native.c_str(), &status) != 0) {
        fail_with_errno();
        return false;
    }
    mode_t mode = status.st_mode & 07777;
    mode = (attributes & platform::file_attribute_readonly) != 0 ? mode & ~0222 : mode | S_IWUSR;
    if (chmod(native.c_str(), mode) != 0) {
        fail_with_errno();
        return false;
    }
    return true;
}

bool delete_file(const char16_t* path) {
    if (unlink(path_to_native(path).c_str()) != 0) {
        fail_with_errno();
        return false;
    }
    return true;
}

bool remove_directory(const char16_t* path) {
    if (rmdir(path_to_native(path).c_str()) != 0) {
        fail_with_errno();
        return false;
    }
    return true;
}

struct Listing {
    DIR* directory;
    std::string path;
};

// Reads the next entry other than "." and ".."; false at the end.
bool read_entry(Listing* listing, platform::DirectoryEntry* entry) {
    while (dirent* found = readdir(listing->directory)) {
        if (std::strcmp(found->d_name, ".") == 0 || std::strcmp(found->d_name, "..") == 0) continue;
        std::u16string name = from_utf8(found->d_name, false);
        if (name.size() >= sizeof entry->name / sizeof entry->name[0]) continue;
        std::memcpy(entry->name, name.c_str(), (name.size() + 1) * sizeof(char16_t));
        struct stat status;
        std::string full = listing->path + "/" + found->d_name;
        bool found_status = lstat(full.c_str(), &status) == 0;
        entry->attributes = found_status ? attributes_of(status) : 0x80;
        // No portable creation time here: the modification time stands in,
        // which tests can set (as Wine does, which reports it as creation).
        entry->creation_time = found_status ? file_time_of(status.st_mtim) : 0;
        return true;
    }
    return false;
}

platform::DirectoryListing open_directory_listing(const char16_t* directory, platform::DirectoryEntry* first,
                                                  bool* has_first) {
    *has_first = false;
    std::string native = path_to_native(directory);
    DIR* opened = opendir(native.c_str());
    if (opened == nullptr) {
        fail_with_errno();
        return {nullptr};
    }
    auto* listing = new Listing{opened, native};
    *has_first = read_entry(listing, first);
    return {listing};
}

bool next_directory_entry(platform::DirectoryListing listing, platform::DirectoryEntry* entry) {
    return read_entry(static_cast<Listing*>(listing.value), entry);
}

void close_directory_listing(platform::DirectoryListing listing) {
    auto* opened = static_cast<Listing*>(listing.value);
    closedir(opened->directory);
    delete opened;
}

platform::FileHandle open_file_for_reading(const char16_t* path) {
    int descriptor = open(path_to_native(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        fail_with_errno();
        return {nullptr};
    }
    return {to_handle(descriptor)};
}

bool read_file(platform::FileHandle file, void* data, uint32_t length, uint32_t* read) {
    ssize_t count;
    do {
        count = ::read(static_cast<int>(from_handle(file.value)), data, length);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        fail_with_errno();
        *read = 0;
        return false;
    }
    *read = static_cast<uint32_t>(count);
    return true;
}

bool get_file_size(const char16_t* path, uint64_t* size) {
    struct stat status;
    if (stat(path_to_native(path).c_str(), &status) != 0) {
        fail_with_errno();
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        current_error = platform::error_access_denied;
        return false;
    }
    *size = static_cast<uint64_t>(status.st_size);
    return true;
}

// A POSIX process has an argument vector, not a command line.
const char16_t* get_raw_command_line() { return u""; }

// No job objects here; a child would not be tied to the launcher.
platform::JobHandle create_kill_on_close_job() {
    current_error = 50;  // not supported
    return {nullptr};
}

platform::JobHandle create_kill_on_close_job_for_tree() {
    current_error = 50;  // not supported
    return {nullptr};
}

// Native tests do not start the launcher as a child process.
platform::ProcessHandle start_process(const char16_t*, char16_t*, platform::JobHandle) {
    current_error = 50;  // not supported
    return {nullptr};
}

// Without a started process there is nothing to wait for: the wait fails.
uint32_t wait_for_process(platform::ProcessHandle, uint32_t) { return 0xFFFFFFFFu; }
bool get_process_exit_code(platform::ProcessHandle, uint32_t*) { return false; }
void terminate_process(platform::ProcessHandle, uint32_t) {}
void close_process(platform::ProcessHandle) {}

void sleep_milliseconds(uint32_t milliseconds) {
    timespec pause = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Console events do not exist here; registration succeeds and nothing calls
// the handler.
bool add_console_control_handler(platform::ConsoleControlHandler) { return true; }

// dlopen searches its own places; the added directory is not used.
void add_library_directory(const char16_t*) {}

platform::ModuleHandle load_library(const char16_t* path) {
    void* module = dlopen(path_to_native(path).c_str(), RTLD_NOW);
    if (module == nullptr) current_error = platform::error_mod_not_found;
    return {module};
}

void* find_library_export(platform::ModuleHandle module, const char* name) { return dlsym(module.value, name); }

bool is_elevated() { return geteuid() == 0; }

platform::FileHandle open_lock(const char16_t* path, int operation) {
    int descriptor = open(path_to_native(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        fail_with_errno();
        return {nullptr};
    }
    if (flock(descriptor, operation | LOCK_NB) != 0) {
        current_error = errno == EWOULDBLOCK ? platform::error_sharing_violation : windows_error_from_errno(errno);
        close(descriptor);
        return {nullptr};
    }
    return {to_handle(descriptor)};
}

platform::FileHandle open_shared_lock(const char16_t* path) { return open_lock(path, LOCK_SH); }
platform::FileHandle open_sole_lock(const char16_t* path) { return open_lock(path, LOCK_EX); }

bool create_private_directory(const char16_t* path) {
    if (mkdir(path_to_native(path).c_str(), 0700) != 0) {
        fail_with_errno();
        return false;
    }
    return true;
}

// A stand-in for native tests: kill(pid, 0) tells whether the id is in use;
// the creation time is that of /proc/<pid> where there is one, else the
// earliest time, which counts as older than any directory.
platform::ProcessState query_process_state(uint32_t process_id, uint64_t* creation_time) {
    if (process_id == 0 || process_id > INT_MAX) return platform::ProcessState::none;
    if (kill(static_cast<pid_t>(process_id), 0) != 0) {
        return errno == ESRCH ? platform::ProcessState::none : platform::ProcessState::unknown;
    }
    struct stat status;
    std::string proc = "/proc/" + std::to_string(process_id);
    *creation_time = stat(proc.c_str(), &status) == 0 ? file_time_of(status.st_mtim) : 0;
    return platform::ProcessState::running;
}

bool is_own_plain_directory(const char16_t* path) {
    struct stat status;
    if (lstat(path_to_native(path).c_str(), &status) != 0) {
        fail_with_errno();
        return false;
    }
    return S_ISDIR(status.st_mode) && status.st_uid == geteuid();
}

bool query_directory_owner(const char16_t* path, platform::DirectoryOwner* owner) {
    struct stat status;
    if (lstat(path_to_native(path).c_str(), &status) != 0) {
        fail_with_errno();
        return false;
    }
    if (!S_ISDIR(status.st_mode)) return false;
    bool root = geteuid() == 0;
    owner->owner_is_user = status.st_uid == geteuid();
    owner->owner_is_default_owner = owner->owner_is_user;
    owner->default_owner_is_user = !root;
    owner->elevated = root;
    return true;
}

// The start time of /proc/<pid>/stat (clock ticks since boot) on the
// system clock; *ended for a zombie. False when the process is gone.
bool read_process_start(const char* pid, uint64_t* creation_time, bool* ended) {
    static const uint64_t boot = [] {
        FILE* file = std::fopen("/proc/stat", "r");
        unsigned long long seconds = 0;
        char line[256];
        while (file != nullptr && std::fgets(line, sizeof line, file) != nullptr) {
            if (std::sscanf(line, "btime %llu", &seconds) == 1) break;
        }
        if (file != nullptr) std::fclose(file);
        return (seconds + 11644473600ull) * 10000000ull;
    }();
    static const uint64_t tick = 10000000ull / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
    std::string name = std::string("/proc/") + pid + "/stat";
    FILE* file = std::fopen(name.c_str(), "r");
    if (file == nullptr) return false;
    char text[1024];
    size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = 0;
    // The command name in parentheses may hold anything; the fields follow
    // its last ')'.
    const char* at = std::strrchr(text, ')');
    if (at == nullptr) return false;
    char state = 0;
    unsigned long long start = 0;
    if (std::sscanf(at + 1, " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu", &state,
                    &start) != 2) {
        return false;
    }
    *creation_time = boot + start * tick;
    *ended = state == 'Z';
    return true;
}

bool list_processes(platform::ProcessTimes* entries, uint32_t capacity, uint32_t* count) {
    DIR* directory = opendir("/proc");
    if (directory == nullptr) {
        fail_with_errno();
        return false;
    }
    uint32_t listed = 0;
    while (dirent* entry = readdir(directory)) {
        char* end = nullptr;
        unsigned long id = std::strtoul(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != 0 || id == 0 || id > UINT32_MAX) continue;
        platform::ProcessTimes times = {static_cast<uint32_t>(id), false, 0};
        if (!read_process_start(entry->d_name, &times.creation_time, &times.ended)) continue;
        if (listed < capacity) entries[listed] = times;
        ++listed;
    }
    closedir(directory);
    *count = listed;
    return listed <= capacity;
}

uint64_t own_creation_time() {
    uint64_t creation_time = 0;
    bool ended = false;
    return read_process_start(std::to_string(getpid()).c_str(), &creation_time, &ended) ? creation_time : 0;
}

bool rename_without_replacing(const char16_t* from, const char16_t* to) {
    if (renameat2(AT_FDCWD, path_to_native(from).c_str(), AT_FDCWD, path_to_native(to).c_str(), RENAME_NOREPLACE) !=
        0) {
        fail_with_errno();
        return false;
    }
    return true;
}

struct ThreadStart {
    void (*routine)(void*);
    void* argument;
};

void* run_thread(void* start) {
    ThreadStart started = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    started.routine(started.argument);
    return nullptr;
}

bool start_background_thread(void (*routine)(void*), void* argument) {
    auto* start = new (std::nothrow) ThreadStart{routine, argument};
    if (start == nullptr) {
        current_error = platform::error_not_enough_memory;
        return false;
    }
    pthread_t thread;
    if (pthread_create(&thread, nullptr, run_thread, start) != 0) {
        delete start;
        current_error = platform::error_not_enough_memory;
        return false;
    }
    pthread_detach(thread);
    return true;
}

platform::ThreadHandle start_thread(void (*routine)(void*), void* argument) {
    auto* start = new (std::nothrow) ThreadStart{routine, argument};
    auto* thread = new (std::nothrow) pthread_t;
    if (start == nullptr || thread == nullptr || pthread_create(thread, nullptr, run_thread, start) != 0) {
        delete start;
        delete thread;
        current_error = platform::error_not_enough_memory;
        return {nullptr};
    }
    return {thread};
}

void join_thread(platform::ThreadHandle thread) {
    auto* joined = static_cast<pthread_t*>(thread.value);
    pthread_join(*joined, nullptr);
    delete joined;
}

// A directory opened for removal: its descriptor, and a listing of it once
// one is read.
struct RemovalDirectory {
    int descriptor;
    DIR* listing;
};

int descriptor_of(platform::DirectoryHandle directory) {
    return directory.valid() ? static_cast<RemovalDirectory*>(directory.value)->descriptor : AT_FDCWD;
}

platform::EntryFacts facts_of(const struct stat& status) {
    return {attributes_of(status), static_cast<uint64_t>(status.st_ino)};
}

platform::DirectoryHandle open_directory_for_removal(platform::DirectoryHandle parent, const char16_t* name,
                                                     platform::EntryFacts* facts) {
    // A full path maps its separators; a name below a parent is one component.
    std::string native = to_utf8(name, !parent.valid());
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (parent.valid() ? O_NOFOLLOW : 0);
    int descriptor = openat(descriptor_of(parent), native.c_str(), flags);
    if (descriptor < 0) {
        fail_with_errno();
        return {nullptr};
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0) {
        fail_with_errno();
        close(descriptor);
        return {nullptr};
    }
    *facts = facts_of(status);
    return {new RemovalDirectory{descriptor, nullptr}};
}

bool read_directory_entry(platform::DirectoryHandle directory, platform::RemovalEntry* entry) {
    auto* opened = static_cast<RemovalDirectory*>(directory.value);
    if (opened->listing == nullptr) {
        int listed = dup(opened->descriptor);
        if (listed < 0 || (opened->listing = fdopendir(listed)) == nullptr) {
            fail_with_errno();
            if (listed >= 0) close(listed);
            return false;
        }
    }
    while (dirent* found = readdir(opened->listing)) {
        if (std::strcmp(found->d_name, ".") == 0 || std::strcmp(found->d_name, "..") == 0) continue;
        std::u16string name = from_utf8(found->d_name, false);
        if (name.size() >= sizeof entry->name / sizeof entry->name[0]) continue;
        struct stat status;
        if (fstatat(opened->descriptor, found->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
        std::memcpy(entry->name, name.c_str(), (name.size() + 1) * sizeof(char16_t));
        entry->facts = facts_of(status);
        return true;
    }
    return false;
}

bool find_directory_entry(platform::DirectoryHandle directory, const char16_t* name, platform::EntryFacts* facts) {
    struct stat status;
    if (fstatat(descriptor_of(directory), to_utf8(name, false).c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        fail_with_errno();
        return false;
    }
    *facts = facts_of(status);
    return true;
}

bool delete_entry_relative(platform::DirectoryHandle parent, const char16_t* name,
                           const platform::EntryFacts* expected) {
    constexpr uint32_t kind = platform::file_attribute_directory | platform::file_attribute_reparse_point;
    int directory = descriptor_of(parent);
    std::string native = to_utf8(name, false);
    struct stat status;
    if (fstatat(directory, native.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        fail_with_errno();
        return false;
    }
    platform::EntryFacts found = facts_of(status);
    if (found.file_id != expected->file_id || (found.attributes & kind) != (expected->attributes & kind)) {
        current_error = platform::error_file_not_found;
        return false;
    }
    int flags = S_ISDIR(status.st_mode) ? AT_REMOVEDIR : 0;
    if (unlinkat(directory, native.c_str(), flags) == 0) return true;
    struct stat parent_status;
    if (errno == EACCES && fstat(directory, &parent_status) == 0 && (parent_status.st_mode & S_IWUSR) == 0 &&
        fchmod(directory, (parent_status.st_mode & 07777) | S_IWUSR) == 0 &&
        unlinkat(directory, native.c_str(), flags) == 0) {
        return true;
    }
    fail_with_errno();
    return false;
}

void close_directory(platform::DirectoryHandle directory) {
    auto* opened = static_cast<RemovalDirectory*>(directory.value);
    if (opened->listing != nullptr) closedir(opened->listing);
    close(opened->descriptor);
    delete opened;
}

platform::ProcessHandle own_process() { return {to_handle(getpid())}; }

// The fields of /proc/PID/stat after the command's name, which is in
// parentheses and may hold spaces and parentheses itself: [0] is the state,
// [1] the parent pid, [19] the start time in clock ticks after the boot.
bool read_process_stat_field(platform::ProcessHandle process, size_t index, unsigned long long* value) {
    std::string path = "/proc/" + std::to_string(from_handle(process.value)) + "/stat";
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        fail_with_errno();
        return false;
    }
    char line[1024];
    bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    const char* fields = read ? std::strrchr(line, ')') : nullptr;
    if (fields == nullptr) {
        current_error = platform::error_gen_failure;
        return false;
    }
    ++fields;
    for (size_t field = 0; field <= index; ++field) {
        while (*fields == ' ') ++fields;
        if (*fields == 0) break;
        if (field == index) {
            char* end = nullptr;
            *value = std::strtoull(fields, &end, 10);
            if (end != fields) return true;
            break;
        }
        while (*fields != ' ' && *fields != 0) ++fields;
    }
    current_error = platform::error_gen_failure;
    return false;
}

bool get_parent_process_id(platform::ProcessHandle process, uint32_t* parent_id) {
    unsigned long long value = 0;
    if (!read_process_stat_field(process, 1, &value)) return false;
    *parent_id = static_cast<uint32_t>(value);
    return true;
}

bool get_process_creation_time(platform::ProcessHandle process, uint64_t* creation_time) {
    unsigned long long ticks = 0;
    if (!read_process_stat_field(process, 19, &ticks)) return false;
    FILE* file = std::fopen("/proc/stat", "re");
    if (file == nullptr) {
        fail_with_errno();
        return false;
    }
    char line[256];
    unsigned long long boot_time = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, file) != nullptr) {
        found = std::sscanf(line, "btime %llu", &boot_time) == 1;
    }
    std::fclose(file);
    long ticks_per_second = sysconf(_SC_CLK_TCK);
    if (!found || ticks_per_second <= 0) {
        current_error = platform::error_gen_failure;
        return false;
    }
    timespec start = {
        static_cast<time_t>(boot_time + ticks / static_cast<unsigned long long>(ticks_per_second)),
        static_cast<long>(ticks % static_cast<unsigned long long>(ticks_per_second) * (1000000000 / ticks_per_second))};
    *creation_time = file_time_of(start);
    return true;
}

bool get_process_elevation(platform::ProcessHandle process, bool* elevated) {
    std::string path = "/proc/" + std::to_string(from_handle(process.value)) + "/status";
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        fail_with_errno();
        return false;
    }
    char line[256];
    unsigned long real = 0;
    unsigned long effective = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, file) != nullptr) {
        found = std::sscanf(line, "Uid: %lu %lu", &real, &effective) == 2;
    }
    std::fclose(file);
    if (!found) {
        current_error = platform::error_gen_failure;
        return false;
    }
    *elevated = effective == 0;
    return true;
}

// Standard error is always somewhere a developer looks.
void show_unseen_message(const char16_t*) {}

bool is_system_library(const char16_t* name) {
    void* loaded = dlopen(to_utf8(name, false).c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (loaded == nullptr) return false;
    dlclose(loaded);
    return true;
}

}  // namespace posix_layer

namespace platform {

// Qualified names: the table's entries, not the inline wrappers of the same
// names in this namespace.
Table table = {
    .stop_immediately = posix_layer::stop_immediately,
    .exit_process = posix_layer::exit_process,
    .terminate_own_process = posix_layer::terminate_own_process,
    .allocate_memory = posix_layer::allocate_memory,
    .last_error = posix_layer::last_error,
    .set_last_error = posix_layer::set_last_error,
    .format_system_message = posix_layer::format_system_message,
    .print_error_with_wide = posix_layer::print_error_with_wide,
    .get_environment_variable = posix_layer::get_environment_variable,
    .set_environment_variable = posix_layer::set_environment_variable,
    .widen_byte = posix_layer::widen_byte,
    .parse_long = posix_layer::parse_long,
    .is_decimal_digit = posix_layer::is_decimal_digit,
    .equal_ignoring_case = posix_layer::equal_ignoring_case,
    .current_process_id = posix_layer::current_process_id,
    .remove_current_directory_from_library_search = posix_layer::remove_current_directory_from_library_search,
    .restore_library_search = posix_layer::restore_library_search,
    .get_full_path_name = posix_layer::get_full_path_name,
    .get_temp_path = posix_layer::get_temp_path,
    .get_folder_path = posix_layer::get_folder_path,
    .system_time_as_file_time = posix_layer::system_time_as_file_time,
    .query_performance_counter = posix_layer::query_performance_counter,
    .get_own_module_file_name = posix_layer::get_own_module_file_name,
    .open_file_for_query = posix_layer::open_file_for_query,
    .get_final_path_name = posix_layer::get_final_path_name,
    .get_short_path_name = posix_layer::get_short_path_name,
    .open_process_for_query = posix_layer::open_process_for_query,
    .get_process_image_path = posix_layer::get_process_image_path,
    .create_file_for_writing = posix_layer::create_file_for_writing,
    .write_file = posix_layer::write_file,
    .close_file = posix_layer::close_file,
    .flush_file = posix_layer::flush_file,
    .create_directory = posix_layer::create_directory,
    .get_file_attributes = posix_layer::get_file_attributes,
    .set_file_attributes = posix_layer::set_file_attributes,
    .delete_file = posix_layer::delete_file,
    .remove_directory = posix_layer::remove_directory,
    .open_directory_listing = posix_layer::open_directory_listing,
    .next_directory_entry = posix_layer::next_directory_entry,
    .close_directory_listing = posix_layer::close_directory_listing,
    .open_file_for_reading = posix_layer::open_file_for_reading,
    .read_file = posix_layer::read_file,
    .get_file_size = posix_layer::get_file_size,
    .get_raw_command_line = posix_layer::get_raw_command_line,
    .create_kill_on_close_job = posix_layer::create_kill_on_close_job,
    .start_process = posix_layer::start_process,
    .wait_for_process = posix_layer::wait_for_process,
    .get_process_exit_code = posix_layer::get_process_exit_code,
    .terminate_process = posix_layer::terminate_process,
    .close_process = posix_layer::close_process,
    .sleep_milliseconds = posix_layer::sleep_milliseconds,
    .add_console_control_handler = posix_layer::add_console_control_handler,
    .add_library_directory = posix_layer::add_library_directory,
    .load_library = posix_layer::load_library,
    .find_library_export = posix_layer::find_library_export,
    .is_elevated = posix_layer::is_elevated,
    .open_shared_lock = posix_layer::open_shared_lock,
    .open_sole_lock = posix_layer::open_sole_lock,
    .create_private_directory = posix_layer::create_private_directory,
    .query_process_state = posix_layer::query_process_state,
    .is_own_plain_directory = posix_layer::is_own_plain_directory,
    .rename_without_replacing = posix_layer::rename_without_replacing,
    .start_background_thread = posix_layer::start_background_thread,
    .open_directory_for_removal = posix_layer::open_directory_for_removal,
    .read_directory_entry = posix_layer::read_directory_entry,
    .find_directory_entry = posix_layer::find_directory_entry,
    .delete_entry_relative = posix_layer::delete_entry_relative,
    .close_directory = posix_layer::close_directory,
    .own_process = posix_layer::own_process,
    .get_parent_process_id = posix_layer::get_parent_process_id,
    .get_process_creation_time = posix_layer::get_process_creation_time,
    .get_process_elevation = posix_layer::get_process_elevation,
    .list_processes = posix_layer::list_processes,
    .own_creation_time = posix_layer::own_creation_time,
    .query_directory_owner = posix_layer::query_directory_owner,
    .show_unseen_message = posix_layer::show_unseen_message,
    .is_system_library = posix_layer::is_system_library,
    .create_kill_on_close_job_for_tree = posix_layer::create_kill_on_close_job_for_tree,
    .start_thread = posix_layer::start_thread,
    .join_thread = posix_layer::join_thread,
    .free_memory = posix_layer::free_memory,
};

}  // namespace platform

}  // namespace fenzar
