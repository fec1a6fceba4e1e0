#include "archive.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "error.h"
#include "names.h"

namespace fenzar::pack {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail_system(const fs::path& path, const char* what) {
    throw pack_error(path.string() + ": " + what + ": " + std::strerror(errno));
}

struct stat stat_following(const fs::path& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) fail_system(path, "cannot read");
    return info;
}

void check_readable(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail_system(path, "cannot read");
    ::close(fd);
}

class entry_collector {
public:
    std::vector<archive_entry> entries;

    void add_file(const fs::path& path, const std::vector<std::string>& components,
                  const struct stat& info) {
        check_readable(path);
        entries.push_back({entry_name_from_components(components, path.string()), path,
                           static_cast<std::uint64_t>(info.st_size)});
    }

    void add_directory(const fs::path& path, std::vector<std::string>& components,
                       const struct stat& info) {
        const std::pair<dev_t, ino_t> identity{info.st_dev, info.st_ino};
        if (!open_directories.insert(identity).second) {
            throw pack_error(path.string() + ": a symlink leads back into its own directory");
        }
        for (const auto& child : sorted_children(path)) {
            const fs::path child_path = path / child;
            const struct stat child_info = stat_following(child_path);
            components.push_back(child);
            if (S_ISREG(child_info.st_mode)) {
                add_file(child_path, components, child_info);
            } else if (S_ISDIR(child_info.st_mode)) {
                add_directory(child_path, components, child_info);
            } else {
                throw pack_error(child_path.string() + ": not a regular file or directory");
            }
            components.pop_back();
        }
        open_directories.erase(identity);
    }

private:
    std::set<std::pair<dev_t, ino_t>> open_directories;

    static std::vector<std::string> sorted_children(const fs::path& path) {
        std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(path.c_str()), ::closedir);
        if (!directory) fail_system(path, "cannot read directory");
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* item = ::readdir(directory.get())) {
            const std::string name = item->d_name;
            if (name != "." && name != "..") names.push_back(name);
            errno = 0;
        }
        if (errno != 0) fail_system(path, "cannot read directory");
        std::sort(names.begin(), names.end());
        return names;
    }
};

// The component a file or directory argument is stored under.
std::string stored_name(const fs::path& argument) {
    std::string text = argument.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return fs::path(text).filename().string();
}

// "DIR/." (and ".") store the directory's contents without a prefix.
bool names_contents_only(const fs::path& argument) {
    const std::string text = argument.string();
    return text == "." || text.ends_with("/.");
}

void check_distinct_names(const std::vector<archive_entry>& entries) {
    std::map<std::u16string, const archive_entry*> files;
    for (const auto& entry : entries) {
        auto [place, inserted] = files.emplace(fold_name(entry.name), &entry);
        if (!inserted) {
            throw pack_error(place->second->source.string() + " and " + entry.source.string() +
                             " both map to the name " + utf16_to_display(entry.name));
        }
    }
    for (const auto& entry : entries) {
        const std::u16string folded = fold_name(entry.name);
        for (std::size_t cut = folded.find(u'\\'); cut != std::u16string::npos;
             cut = folded.find(u'\\', cut + 1)) {
            if (auto file = files.find(folded.substr(0, cut)); file != files.end()) {
                throw pack_error(file->second->source.string() + " is stored as the file " +
                                 utf16_to_display(file->second->name) +
                                 ", which is also a directory of " + entry.source.string());
            }
        }
    }
}

}  // namespace

std::vector<archive_entry> collect_entries(const fs::path& application,
                                           const std::vector<fs::path>& paths) {
    entry_collector collector;
    const struct stat application_info = stat_following(application);
    if (!S_ISREG(application_info.st_mode)) {
        throw pack_error(application.string() + ": the application library must be a file");
    }
    collector.add_file(application, {stored_name(application)}, application_info);

    for (const auto& path : paths) {
        const struct stat info = stat_following(path);
        std::vector<std::string> components;
        if (S_ISREG(info.st_mode)) {
            components.push_back(stored_name(path));
            collector.add_file(path, components, info);
        } else if (S_ISDIR(info.st_mode)) {
            if (!names_contents_only(path)) {
                const std::string name = stored_name(path);
                if (name.empty() || name == "." || name == "..") {
                    throw pack_error(path.string() +
                                     ": no directory name to store it under; write DIR/. to "
                                     "store its contents at the top level");
                }
                components.push_back(name);
            }
            collector.add_directory(path, components, info);
        } else {
            throw pack_error(path.string() + ": not a regular file or directory");
        }
    }
    check_distinct_names(collector.entries);
    return std::move(collector.entries);
}

std::uint64_t archive_size(const std::vector<archive_entry>& entries) {
    std::uint64_t total = 2;
    for (const auto& entry : entries) total += 2 * (entry.name.size() + 1) + 8 + entry.size;
    return total;
}

namespace {

void emit_record_header(const archive_entry& entry, const byte_sink& sink) {
    std::vector<unsigned char> header;
    header.reserve(2 * (entry.name.size() + 1) + 8);
    for (char16_t unit : entry.name) {
        header.push_back(static_cast<unsigned char>(unit & 0xFF));
        header.push_back(static_cast<unsigned char>(unit >> 8));
    }
    header.insert(header.end(), {0, 0});
    for (int shift = 0; shift < 64; shift += 8) {
        header.push_back(static_cast<unsigned char>(entry.size >> shift));
    }
    sink(header.data(), header.size());
}

class file_descriptor {
public:
    explicit file_descriptor(int fd) : fd_(fd) {}
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    ~file_descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

void emit_file_data(const archive_entry& entry, std::vector<unsigned char>& buffer,
                    const byte_sink& sink) {
    const file_descriptor file(::open(entry.source.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) fail_system(entry.source, "cannot read");
    std::uint64_t remaining = entry.size;
    bool grew = false;
    while (true) {
        // Asking for one byte more than expected detects a file that grew.
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), remaining + 1));
        const ssize_t got = ::read(file.get(), buffer.data(), want);
        if (got < 0) {
            if (errno == EINTR) continue;
            fail_system(entry.source, "cannot read");
        }
        if (got == 0) break;
        if (static_cast<std::uint64_t>(got) > remaining) {
            grew = true;
            break;
        }
        sink(buffer.data(), static_cast<std::size_t>(got));
        remaining -= static_cast<std::uint64_t>(got);
    }
    if (grew || remaining != 0) {
        throw pack_error(entry.source.string() + ": the file changed while it was being packed");
    }
}

}  // namespace

void stream_archive(const std::vector<archive_entry>& entries, const byte_sink& sink) {
    std::vector<unsigned char> buffer(1 << 20);
    for (const auto& entry : entries) {
        emit_record_header(entry, sink);
        emit_file_data(entry, buffer, sink);
    }
    const unsigned char end_marker[2] = {0, 0};
    sink(end_marker, sizeof end_marker);
}

}  // namespace fenzar::pack
