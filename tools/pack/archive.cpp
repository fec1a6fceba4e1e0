#include "archive.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "error.h"
#include "mapped_file.h"
#include "names.h"
#include "payload/attached_data.h"
#include "payload/record_name.h"
#include "pe_image.h"
#include "pe_reading.h"
#include "system.h"

namespace fenzar::pack {

namespace {

namespace fs = std::filesystem;
namespace format = attached_data_format;

[[noreturn]] void fail_system(const fs::path& path, const char* what) {
    throw PackError(display_path(path) + ": " + what + ": " + std::strerror(errno));
}

[[noreturn]] void fail_system(const fs::path& path, const char* what, const std::error_code& error) {
    throw PackError(display_path(path) + ": " + what + ": " + error.message());
}

// The file or directory a path leads to, links followed.
fs::file_status status_following(const fs::path& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error) fail_system(path, "cannot read", error);
    return status;
}

// Windows opens a device for a path whose last component is a device name,
// in whatever directory, so such a name is refused before its path is
// opened: both systems then give the same refusal.
std::u16string checked_component(const fs::path& file_name, const fs::path& origin) {
    std::u16string component = name_component(file_name, origin);
    if (is_device_component(component.data(), component.size())) {
        throw PackError(display_path(origin) + ": " + name_problem(component));
    }
    return component;
}

using FileCloser = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

FileCloser open_file(const fs::path& path) {
    FileCloser file(open_for_reading(path), std::fclose);
    if (!file) fail_system(path, "cannot read");
    return file;
}

class EntryCollector {
public:
    std::vector<ArchiveEntry> entries;

    void add_file(const fs::path& path, const std::vector<std::u16string>& components) {
        open_file(path);
        std::error_code error;
        const std::uint64_t size = fs::file_size(path, error);
        if (error) fail_system(path, "cannot read", error);
        entries.push_back({entry_name_from_components(components, path), path, size});
    }

    void add_directory(const fs::path& path, std::vector<std::u16string>& components) {
        const auto identity = identify_file(path);
        if (!identity) fail_system(path, "cannot read directory");
        if (!open_directories.insert(*identity).second) {
            throw PackError(display_path(path) + ": a symlink leads back into its own directory");
        }
        for (auto& [name, child_path] : sorted_children(path)) {
            const fs::file_status status = status_following(child_path);
            components.push_back(std::move(name));
            if (fs::is_regular_file(status)) {
                add_file(child_path, components);
            } else if (fs::is_directory(status)) {
                add_directory(child_path, components);
            } else {
                throw PackError(display_path(child_path) + ": not a regular file or directory");
            }
            components.pop_back();
        }
        open_directories.erase(*identity);
    }

private:
    std::set<FileIdentity> open_directories;

    static std::vector<std::pair<std::u16string, fs::path>> sorted_children(const fs::path& path) {
        std::vector<std::pair<std::u16string, fs::path>> children;
        for (fs::path& child : directory_entries(path)) {
            std::u16string component = checked_component(child.filename(), child);
            children.emplace_back(std::move(component), std::move(child));
        }
        std::sort(children.begin(), children.end(),
                  [](const auto& a, const auto& b) { return component_less(a.first, b.first); });
        return children;
    }
};

// The name a file or directory argument is stored under: its last
// component, trailing separators aside.
fs::path stored_name(const fs::path& argument) {
    fs::path path = argument;
    while (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
    return path.filename();
}

// "DIR/." (and ".") store the directory's contents without a prefix.
bool names_contents_only(const fs::path& argument) { return argument.filename() == "."; }

void check_distinct_names(const std::vector<ArchiveEntry>& entries) {
    std::map<std::u16string, const ArchiveEntry*> files;
    for (const auto& entry : entries) {
        auto [place, inserted] = files.emplace(fold_name(entry.name), &entry);
        if (!inserted) {
            throw PackError(display_path(place->second->source) + " and " + display_path(entry.source) +
                            " both map to the name " + utf16_to_display(entry.name) +
                            (place->second->name == entry.name
                                 ? std::string()
                                 : ", the same file as " + utf16_to_display(place->second->name) + " on Windows"));
        }
    }
    std::vector<std::u16string> names;
    for (const auto& entry : entries) names.push_back(entry.name);
    if (const auto clash = find_file_under_directory_clash(names)) {
        const ArchiveEntry& file = entries[clash->first];
        throw PackError(display_path(file.source) + " is stored as the file " + utf16_to_display(file.name) +
                        ", which is also a directory of " + display_path(entries[clash->second].source));
    }
}

}  // namespace

std::vector<ArchiveEntry> collect_entries(const fs::path& application, const std::vector<fs::path>& paths) {
    EntryCollector collector;
    const std::u16string application_name = checked_component(stored_name(application), application);
    if (!fs::is_regular_file(status_following(application))) {
        throw PackError(display_path(application) + ": the application library must be a file");
    }
    collector.add_file(application, {application_name});

    for (const auto& path : paths) {
        const fs::path name = stored_name(path);
        if (!name.empty()) checked_component(name, path);
        const fs::file_status status = status_following(path);
        std::vector<std::u16string> components;
        if (fs::is_regular_file(status)) {
            components.push_back(name_component(name, path));
            collector.add_file(path, components);
        } else if (fs::is_directory(status)) {
            if (!names_contents_only(path)) {
                if (name.empty() || name == "." || name == "..") {
                    throw PackError(display_path(path) +
                                    ": no directory name to store it under; write DIR/. to "
                                    "store its contents at the top level");
                }
                components.push_back(name_component(name, path));
            }
            collector.add_directory(path, components);
        } else {
            throw PackError(display_path(path) + ": not a regular file or directory");
        }
    }
    check_distinct_names(collector.entries);
    return std::move(collector.entries);
}

void check_application_library_file(const fs::path& application) {
    const MappedFile library(application);
    try {
        check_application_library(library.bytes());
    } catch (const PackError& error) {
        throw PackError(display_path(application) + ": the application library " + error.what());
    }
}

std::uint64_t archive_size(const std::vector<ArchiveEntry>& entries) {
    std::uint64_t total = format::end_marker_bytes;
    for (const auto& entry : entries) total += format::record_header_bytes(entry.name.size()) + entry.size;
    return total;
}

namespace {

void emit_record_header(const ArchiveEntry& entry, const ByteSink& sink) {
    std::vector<unsigned char> header(format::record_header_bytes(entry.name.size()));
    unsigned char* at = header.data();
    for (char16_t unit : entry.name) {
        format::put_name_unit(unit, at);
        at += format::name_unit_bytes;
    }
    format::put_name_unit(0, at);
    format::put_size(entry.size, at + format::name_unit_bytes);
    sink(header.data(), header.size());
}

void emit_file_data(const ArchiveEntry& entry, std::vector<unsigned char>& buffer, const ByteSink& sink) {
    const FileCloser file = open_file(entry.source);
    std::uint64_t remaining = entry.size;
    bool grew = false;
    while (true) {
        // Asking for one byte more than expected detects a file that grew.
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), remaining + 1));
        const std::size_t got = std::fread(buffer.data(), 1, want, file.get());
        if (got == 0) {
            if (std::ferror(file.get())) fail_system(entry.source, "cannot read");
            break;
        }
        if (got > remaining) {
            grew = true;
            break;
        }
        sink(buffer.data(), got);
        remaining -= got;
    }
    if (grew || remaining != 0) {
        throw PackError(display_path(entry.source) + ": the file changed while it was being packed");
    }
}

}  // namespace

void stream_archive(const std::vector<ArchiveEntry>& entries, const ByteSink& sink) {
    std::vector<unsigned char> buffer(1 << 20);
    for (const auto& entry : entries) {
        emit_record_header(entry, sink);
        emit_file_data(entry, buffer, sink);
    }
    unsigned char end_marker[format::end_marker_bytes];
    format::put_name_unit(0, end_marker);
    sink(end_marker, sizeof end_marker);
}

}  // namespace fenzar::pack
