// The archive: the application library as the first record, then every other
// file, then the end marker. Records are collected from the command line's
// paths up front, so that every refusal comes before anything is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace fenzar::pack {

struct ArchiveEntry {
    std::u16string name;
    std::filesystem::path source;
    std::uint64_t size;
};

// Symlinks are followed; a directory that contains itself through a link is
// refused. A directory argument is stored under its own name (like cp -r);
// "DIR/." stores its contents at the top level. Directory entries are taken
// in byte order of their names. Empty directories are not stored.
std::vector<ArchiveEntry> collect_entries(const std::filesystem::path& application,
                                          const std::vector<std::filesystem::path>& paths);

// Refuses an application library that the launcher could not load and call:
// anything but an x86-64 Windows DLL exporting run_code.
void check_application_library_file(const std::filesystem::path& application);

// The exact decompressed length of the archive for these entries.
std::uint64_t archive_size(const std::vector<ArchiveEntry>& entries);

using ByteSink = std::function<void(const unsigned char* bytes, std::size_t count)>;

// Produces the archive bytes in order, reading each file in pieces. A file
// whose size differs from the one collected is refused.
void stream_archive(const std::vector<ArchiveEntry>& entries, const ByteSink& sink);

}  // namespace fenzar::pack
