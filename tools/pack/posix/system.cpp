// The packer's system calls on Linux.
#include "system.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "error.h"
#include "mapped_file.h"
#include "names.h"

namespace fenzar::pack {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& message) { throw PackError(message + ": " + std::strerror(errno)); }

// Paths to remove when a signal ends the packer. The handler may only make
// async-signal-safe calls, so the paths sit in fixed slots, each published by
// its flag after its bytes are in place.
struct CleanupSlot {
    std::atomic<bool> used{false};
    bool directory = false;
    char path[4096] = {};
};
CleanupSlot cleanup_slots[8];
constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

// A scratch directory holds files only: the packer creates no directories in it.
void remove_directory_contents(const char* directory) {
    const int fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    alignas(8) char buffer[4096];
    while (true) {
        const ssize_t length = ::getdents64(fd, buffer, sizeof buffer);
        if (length <= 0) break;
        for (ssize_t at = 0; at < length;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            ::unlinkat(fd, entry->d_name, 0);
            at += entry->d_reclen;
        }
    }
    ::close(fd);
}

void remove_registered_paths(int signal_number) {
    for (auto& slot : cleanup_slots) {
        if (!slot.used.load(std::memory_order_acquire)) continue;
        if (slot.directory) {
            remove_directory_contents(slot.path);
            ::rmdir(slot.path);
        } else {
            ::unlink(slot.path);
        }
    }
    // Ends the process as the signal would have: the shell sees the signal.
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

void install_handlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction action = {};
    action.sa_handler = remove_registered_paths;
    sigemptyset(&action.sa_mask);
    for (int number : cleanup_signals) sigaddset(&action.sa_mask, number);
    for (int number : cleanup_signals) {
        struct sigaction previous;
        // A signal that the caller ignores (nohup, a background job) stays ignored.
        if (::sigaction(number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        ::sigaction(number, &action, nullptr);
    }
}

void remove_on_interrupt(const fs::path& path, bool directory) {
    install_handlers();
    const std::string& text = path.native();
    if (text.size() >= sizeof CleanupSlot::path) return;
    for (auto& slot : cleanup_slots) {
        if (slot.used.load(std::memory_order_relaxed)) continue;
        std::memcpy(slot.path, text.c_str(), text.size() + 1);
        slot.directory = directory;
        slot.used.store(true, std::memory_order_release);
        return;
    }
}

void keep_on_interrupt(const fs::path& path) {
    for (auto& slot : cleanup_slots) {
        if (slot.used.load(std::memory_order_relaxed) && path.native() == slot.path) {
            slot.used.store(false, std::memory_order_release);
        }
    }
}

}  // namespace

std::optional<FileIdentity> identify_file(const fs::path& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

std::vector<fs::path> directory_entries(const fs::path& directory) {
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator item(directory, error), end; !error && item != end; item.increment(error)) {
        entries.push_back(item->path());
    }
    if (error) {
        throw PackError(display_path(directory) + ": cannot read directory: " + error.message());
    }
    return entries;
}

std::FILE* open_for_reading(const fs::path& path) { return std::fopen(path.c_str(), "rbe"); }

TemporaryFile create_temporary_file(const fs::path& destination) {
    const fs::path directory = destination.parent_path().empty() ? fs::path(".") : destination.parent_path();
    std::string pattern = (directory / ("." + destination.filename().native() + ".XXXXXX")).native();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) fail(display_path(destination) + ": cannot create");
    remove_on_interrupt(pattern, false);
    std::FILE* stream = ::fdopen(fd, "wb");
    if (!stream) {
        const int saved = errno;
        ::close(fd);
        ::unlink(pattern.c_str());
        keep_on_interrupt(pattern);
        errno = saved;
        fail(display_path(destination) + ": cannot create");
    }
    return {stream, pattern};
}

void commit_temporary_file(TemporaryFile& file, const fs::path& destination, mode_t mode) {
    const bool written = std::fflush(file.stream) == 0 && !std::ferror(file.stream);
    const int saved_errno = errno;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const bool closed = std::fclose(file.stream) == 0;
    file.stream = nullptr;
    if (!written || !closed) {
        if (!written) errno = saved_errno;
        fail(display_path(destination) + ": cannot write");
    }
    if (::chmod(file.path.c_str(), mode & ~mask) != 0 || ::rename(file.path.c_str(), destination.c_str()) != 0) {
        fail(display_path(destination) + ": cannot write");
    }
    keep_on_interrupt(file.path);
}

void discard_temporary_file(TemporaryFile& file) {
    if (file.stream) std::fclose(file.stream);
    file.stream = nullptr;
    ::unlink(file.path.c_str());
    keep_on_interrupt(file.path);
}

void forget_write_error() { errno = 0; }

std::string write_error_text() { return errno != 0 ? std::strerror(errno) : "the write was cut short"; }

fs::path create_scratch_directory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/fenzar-pack-XXXXXX";
    if (!::mkdtemp(pattern.data())) fail("cannot create a temporary directory");
    remove_on_interrupt(pattern, true);
    return pattern;
}

void remove_scratch_directory(const fs::path& directory) {
    std::error_code ignored;
    fs::remove_all(directory, ignored);
    keep_on_interrupt(directory);
}

fs::path path_from_argument(std::string_view argument) { return fs::path(std::string(argument)); }

bool is_terminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

void write_text(std::FILE* stream, std::string_view text) { std::fwrite(text.data(), 1, text.size(), stream); }

MappedFile::MappedFile(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        const int saved = errno;
        if (fd >= 0) ::close(fd);
        errno = saved;
        fail(display_path(path) + ": cannot read");
    }
    size_ = static_cast<std::size_t>(info.st_size);
    if (size_ != 0) {
        void* address = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (address == MAP_FAILED) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            fail(display_path(path) + ": cannot read");
        }
        address_ = static_cast<const unsigned char*>(address);
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (address_) ::munmap(const_cast<unsigned char*>(address_), size_);
}

}  // namespace fenzar::pack
