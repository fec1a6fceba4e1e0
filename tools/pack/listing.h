// Reading attached data back: finding it in a launcher executable and listing
// the records of its archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fenzar::pack {

struct record_info {
    std::u16string name;
    std::uint64_t size;
};

// Decodes the frame after the magic at the start of `data` to its end and
// returns the records. Throws pack_error unless the magic, the frame (and its
// checksum, when it has one) and the archive are intact and nothing follows
// the end marker inside the frame.
std::vector<record_info> read_records(std::span<const unsigned char> data);

struct located_data {
    std::size_t offset;
    std::vector<record_info> records;
};

// Attached data file: starts with the magic. Launcher executable: the
// contents of its attached data section. Throws pack_error for anything
// else, and for data read_records refuses.
located_data locate_attached_data(std::span<const unsigned char> file);

// For a launcher executable, one line naming what Windows reads from it
// before it runs: its subsystem and the execution level its manifest
// requests ("launcher: console subsystem, execution level asInvoker"), and
// for a --cache launcher where it keeps the application
// (", cache %LOCALAPPDATA%\Fenzar\NAME\DIGEST"). nullopt for an attached
// data file.
std::optional<std::string> launcher_summary(std::span<const unsigned char> file);

}  // namespace fenzar::pack
