// The packer's system calls on Windows. Paths are wide throughout, so any
// name that Windows can hold reaches the file system as it is.
#include "system.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "error.h"
#include "mapped_file.h"
#include "names.h"

namespace fenzar::pack {

namespace {

namespace fs = std::filesystem;

std::string error_text(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::u16string message(text, text + length);
    LocalFree(text);
    while (!message.empty() &&
           (message.back() == u'\n' || message.back() == u'\r' || message.back() == u'.' || message.back() == u' ')) {
        message.pop_back();
    }
    if (message.empty()) return "error " + std::to_string(code);
    return utf16_to_display(message);
}

[[noreturn]] void fail(const std::string& message) { throw PackError(message + ": " + error_text(GetLastError())); }

// The reasons a Linux packer gives too, in the C library's words, so that
// both packers refuse a missing or locked input with the same line.
std::string reason_of(DWORD code) {
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return std::strerror(ENOENT);
    if (code == ERROR_ACCESS_DENIED) return std::strerror(EACCES);
    return error_text(code);
}

// "\\?\" and the full path: no 260-character limit, whatever the manifest
// and the system's settings say.
std::wstring extended_length_path(const fs::path& path) {
    const std::wstring& text = path.native();
    if (text.starts_with(L"\\\\?\\")) return text;
    std::wstring full(GetFullPathNameW(text.c_str(), 0, nullptr, nullptr), L'\0');
    if (full.empty()) return text;
    full.resize(GetFullPathNameW(text.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

[[noreturn]] void fail_to_read(const fs::path& path) {
    throw PackError(display_path(path) + ": cannot read: " + reason_of(GetLastError()));
}

// Paths to remove when the console ends the packer. The control handler runs
// on a thread of its own while the main thread goes on, so the registry is
// locked; a temporary file that the main thread still writes is closed by the
// handler first, since Windows removes an open file only when it is closed.
struct RegisteredPath {
    fs::path path;
    bool directory;
    HANDLE open_handle;
};
std::mutex registry_lock;
std::vector<RegisteredPath> registry;

void remove_directory_contents(const fs::path& directory) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((directory / L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        DeleteFileW((directory / found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// What a console program that Ctrl+C ends returns on Windows.
constexpr DWORD interrupted_status = 0xC000013A;

BOOL WINAPI remove_registered_paths(DWORD) {
    // Held until the process ends: the main thread must not commit or
    // register anything meanwhile.
    registry_lock.lock();
    // Windows deletes an open file only once it is closed, and removes a
    // directory only once it is empty: close, then files, then directories.
    for (auto& entry : registry) {
        if (entry.open_handle != INVALID_HANDLE_VALUE) CloseHandle(entry.open_handle);
    }
    for (const auto& entry : registry) {
        if (!entry.directory) DeleteFileW(entry.path.c_str());
    }
    for (const auto& entry : registry) {
        if (!entry.directory) continue;
        remove_directory_contents(entry.path);
        RemoveDirectoryW(entry.path.c_str());
    }
    // Ends the process itself: after a handler Wine's default end reports 0.
    TerminateProcess(GetCurrentProcess(), interrupted_status);
    ExitProcess(interrupted_status);
}

void remove_on_interrupt(const fs::path& path, bool directory, HANDLE open_handle) {
    const std::lock_guard hold(registry_lock);
    static const bool installed = SetConsoleCtrlHandler(remove_registered_paths, TRUE);
    (void)installed;
    registry.push_back({path, directory, open_handle});
}

void keep_on_interrupt(const fs::path& path) {
    const std::lock_guard hold(registry_lock);
    std::erase_if(registry, [&](const RegisteredPath& entry) { return entry.path == path; });
}

// The handler must not close a handle that the main thread closes itself.
void forget_handle(const fs::path& path) {
    const std::lock_guard hold(registry_lock);
    for (auto& entry : registry) {
        if (entry.path == path) entry.open_handle = INVALID_HANDLE_VALUE;
    }
}

std::wstring random_suffix() {
    static std::random_device device;
    static constexpr wchar_t letters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::wstring suffix;
    for (int i = 0; i < 6; ++i) suffix.push_back(letters[device() % (std::size(letters) - 1)]);
    return suffix;
}

}  // namespace

std::optional<FileIdentity> identify_file(const fs::path& path) {
    // Backup semantics open directories too; without the reparse-point flag,
    // links are followed to their target.
    const HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!known) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

std::vector<fs::path> directory_entries(const fs::path& directory) {
    std::wstring pattern = extended_length_path(directory);
    if (!pattern.ends_with(L'\\')) pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // The root of an empty drive has no "." to find.
        if (error == ERROR_FILE_NOT_FOUND) return {};
        throw PackError(display_path(directory) + ": cannot read directory: " + reason_of(error));
    }
    std::vector<fs::path> entries;
    do {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..") entries.push_back(directory / found.cFileName);
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) {
        throw PackError(display_path(directory) + ": cannot read directory: " + reason_of(error));
    }
    return entries;
}

std::FILE* open_for_reading(const fs::path& path) { return _wfopen(path.c_str(), L"rb"); }

TemporaryFile create_temporary_file(const fs::path& destination) {
    const fs::path directory = destination.parent_path().empty() ? fs::path(L".") : destination.parent_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path path = directory / (L"." + destination.filename().native() + L"." + random_suffix());
        // Delete sharing lets the control handler remove the file while it is open.
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            fail(display_path(destination) + ": cannot create");
        }
        const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
        std::FILE* stream = descriptor < 0 ? nullptr : _fdopen(descriptor, "wb");
        if (!stream) {
            if (descriptor < 0) {
                CloseHandle(file);
            } else {
                _close(descriptor);
            }
            DeleteFileW(path.c_str());
            throw PackError(display_path(destination) + ": cannot create");
        }
        remove_on_interrupt(path, false, file);
        return {stream, path};
    }
    throw PackError(display_path(destination) + ": cannot create: no free temporary name");
}

void commit_temporary_file(TemporaryFile& file, const fs::path& destination, mode_t) {
    forget_handle(file.path);
    forget_write_error();
    const bool written = std::fflush(file.stream) == 0 && !std::ferror(file.stream);
    const std::string reason = write_error_text();
    const bool closed = std::fclose(file.stream) == 0;
    file.stream = nullptr;
    if (!written || !closed) {
        throw PackError(display_path(destination) + ": cannot write: " + (written ? write_error_text() : reason));
    }
    if (!MoveFileExW(file.path.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        fail(display_path(destination) + ": cannot write");
    }
    keep_on_interrupt(file.path);
}

void discard_temporary_file(TemporaryFile& file) {
    forget_handle(file.path);
    if (file.stream) std::fclose(file.stream);
    file.stream = nullptr;
    DeleteFileW(file.path.c_str());
    keep_on_interrupt(file.path);
}

void forget_write_error() {
    SetLastError(ERROR_SUCCESS);
    errno = 0;
}

// The C runtime's write ends in WriteFile, whose error stays the last one;
// errno covers what the runtime refuses itself.
std::string write_error_text() {
    if (const DWORD code = GetLastError(); code != ERROR_SUCCESS) return error_text(code);
    return errno != 0 ? std::strerror(errno) : "the write was cut short";
}

fs::path create_scratch_directory() {
    wchar_t base[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH) fail("cannot find the directory for temporary files");
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path path = fs::path(base) / (L"fenzar-pack-" + random_suffix());
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            remove_on_interrupt(path, true, INVALID_HANDLE_VALUE);
            return path;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) fail("cannot create a temporary directory");
    }
    throw PackError("cannot create a temporary directory: no free name");
}

void remove_scratch_directory(const fs::path& directory) {
    std::error_code ignored;
    fs::remove_all(directory, ignored);
    keep_on_interrupt(directory);
}

fs::path path_from_argument(std::string_view argument) {
    const auto wide = wtf8_to_utf16(argument);
    return fs::path(std::wstring(wide->begin(), wide->end()));
}

bool is_terminal(std::FILE* stream) {
    DWORD mode;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode);
}

void write_text(std::FILE* stream, std::string_view text) {
    if (!is_terminal(stream)) {
        std::fwrite(text.data(), 1, text.size(), stream);
        return;
    }
    const auto wide = wtf8_to_utf16(text).value_or(u"?");
    std::fflush(stream);
    DWORD written;
    WriteConsoleW(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), wide.data(),
                  static_cast<DWORD>(wide.size()), &written, nullptr);
}

MappedFile::MappedFile(const fs::path& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail_to_read(path);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        SetLastError(error);
        fail(display_path(path) + ": cannot read");
    }
    size_ = static_cast<std::size_t>(size.QuadPart);
    if (size_ != 0) {
        const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        const void* address = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
        const DWORD error = GetLastError();
        if (mapping) CloseHandle(mapping);
        if (!address) {
            CloseHandle(file);
            SetLastError(error);
            fail(display_path(path) + ": cannot read");
        }
        address_ = static_cast<const unsigned char*>(address);
    }
    CloseHandle(file);
}

MappedFile::~MappedFile() {
    if (address_) UnmapViewOfFile(address_);
}

}  // namespace fenzar::pack
