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

// Whether a file is a PE image (Windows executable or DLL) and whether it
// carries an Authenticode signature (a non-empty certificate table).
enum class PeSigning { not_pe, unsigned_pe, signed_pe };

// The first bytes of a record are read for its signing; a PE header that
// starts further in than this is not looked for.
inline constexpr std::size_t pe_head_bytes = 64 * 1024;

// `head`: a file's first bytes (up to pe_head_bytes). A PE image starts with
// "MZ" and has the PE signature where its DOS header points; its optional
// header (PE32 or PE32+) must hold the security directory.
PeSigning signing_of(std::span<const unsigned char> head);

struct RecordInfo {
    std::u16string name;
    std::uint64_t size;
    PeSigning signing = PeSigning::not_pe;
    // For an x86-64 program (pe_image.h, program_subsystem): its subsystem;
    // 0 for any other file.
    std::uint16_t program_subsystem = 0;
};

// Decodes the frame after the magic at the start of `data` to its end and
// returns the records. Throws PackError unless the magic, the frame (and its
// checksum, when it has one) and the archive are intact and nothing follows
// the end marker inside the frame.
std::vector<RecordInfo> read_records(std::span<const unsigned char> data);

struct LocatedData {
    std::size_t offset;
    std::vector<RecordInfo> records;
};

// Attached data file: starts with the magic. Launcher executable: the
// contents of its attached data section. Throws PackError for anything
// else, and for data read_records refuses.
LocatedData locate_attached_data(std::span<const unsigned char> file);

// For a launcher executable, one line naming what Windows reads from it
// before it runs: its subsystem and the execution level its manifest
// requests ("launcher: console subsystem, execution level asInvoker"), and
// for a --cache launcher where it keeps the application
// (", cache %LOCALAPPDATA%\Fenzar\NAME\DIGEST"); for a launcher that runs a
// program rather than a library, ", runs the program NAME" with the first
// record's name. nullopt for an attached data file.
std::optional<std::string> launcher_summary(std::span<const unsigned char> file,
                                            std::u16string_view first_record_name = {});

}  // namespace fenzar::pack
