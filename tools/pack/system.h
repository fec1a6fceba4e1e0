// What the packer needs from the operating system beyond the C++ library,
// with one implementation per system, chosen by the build: posix/system.cpp
// and win32/system.cpp. Everything else of the packer is the same code on
// Linux and Windows.
#pragma once

#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fenzar::pack {

// What makes two paths the same file, links followed: the device and inode
// on Linux, the volume serial number and file index on Windows.
struct FileIdentity {
    std::uint64_t volume;
    std::uint64_t file;
    auto operator<=>(const FileIdentity&) const = default;
};

// nullopt when the path cannot be opened (it does not exist, say).
std::optional<FileIdentity> identify_file(const std::filesystem::path& path);

// The entries of a directory but "." and "..", as `directory` / name, in no
// particular order. Windows reads through the extended-length form, so that
// a directory path may pass 260 characters. Throws PackError "PATH: cannot
// read directory: REASON", with the same reasons on both systems for a
// missing or forbidden directory.
std::vector<std::filesystem::path> directory_entries(const std::filesystem::path& directory);

// Opens a file for reading in binary mode; null with errno set on failure.
std::FILE* open_for_reading(const std::filesystem::path& path);

// A new file for an output that appears only when complete, and the private
// directories of ScratchDirectory. Until they are committed or removed, an
// interruption (Ctrl+C, closing the console, SIGINT, SIGTERM, SIGHUP) removes
// them before the packer ends as the interruption would have ended it.
struct TemporaryFile {
    std::FILE* stream;
    std::filesystem::path path;
};

// Creates ".NAME.XXXXXX" beside `destination`, XXXXXX random.
TemporaryFile create_temporary_file(const std::filesystem::path& destination);

// Closes the stream, gives the file `mode` less the umask where files have
// modes, and moves it over `destination`. Throws PackError.
void commit_temporary_file(TemporaryFile& file, const std::filesystem::path& destination, mode_t mode);

// Closes the stream (if open) and removes the file.
void discard_temporary_file(TemporaryFile& file);

// The reason of a failed write to a file, in the system's words: clear the
// recorded error before the write, read it after the failure.
void forget_write_error();
std::string write_error_text();

// A new private directory below the system's directory for temporary files
// ($TMPDIR or /tmp; %TEMP%).
std::filesystem::path create_scratch_directory();
void remove_scratch_directory(const std::filesystem::path& directory);

// The path that a command-line argument names; arguments reach the packer as
// UTF-8 (generalized UTF-8 on Windows, see entry.cpp).
std::filesystem::path path_from_argument(std::string_view argument);

bool is_terminal(std::FILE* stream);

// Writes UTF-8 text; a Windows console receives it as UTF-16.
void write_text(std::FILE* stream, std::string_view text);

}  // namespace fenzar::pack
