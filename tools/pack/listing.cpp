#include "listing.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "error.h"
#include "manifest.h"
#include "names.h"
#include "payload/attached_data.h"
#include "payload/data_section.h"
#include "payload/launch_settings.h"
#include "pe_image.h"
#include "pe_reading.h"
#include "pe_layout.h"
#include "resource_section.h"
#include "version_info.h"

namespace fenzar::pack {

namespace {

struct DctxDeleter {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

namespace format = attached_data_format;
constexpr const auto& magic = format::magic;

// Follows the archive as the decoder produces it.
class RecordParser {
public:
    void feed(const unsigned char* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count;) {
            switch (state_) {
                case State::name:
                    if (unit_bytes_.size() < format::name_unit_bytes) unit_bytes_.push_back(bytes[i++]);
                    if (unit_bytes_.size() == format::name_unit_bytes) take_unit();
                    break;
                case State::size:
                    size_field_[size_bytes_] = bytes[i++];
                    if (++size_bytes_ == format::size_field_bytes) {
                        size_ = format::size_from(size_field_);
                        records_.push_back({std::move(name_), size_});
                        name_.clear();
                        remaining_ = size_;
                        head_.clear();
                        if (remaining_ == 0) {
                            state_ = State::name;
                        } else {
                            state_ = State::data;
                        }
                    }
                    break;
                case State::data: {
                    const std::size_t skip = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, count - i));
                    const std::size_t kept = std::min(skip, pe_head_bytes - head_.size());
                    head_.insert(head_.end(), bytes + i, bytes + i + kept);
                    i += skip;
                    remaining_ -= skip;
                    if (remaining_ == 0) {
                        records_.back().signing = signing_of(head_);
                        records_.back().program_subsystem = program_subsystem(head_);
                        state_ = State::name;
                    }
                    break;
                }
                case State::done:
                    throw PackError("the archive has data after its end marker");
            }
        }
    }

    bool done() const { return state_ == State::done; }
    std::vector<RecordInfo> take_records() { return std::move(records_); }

private:
    enum class State { name, size, data, done };

    void take_unit() {
        const char16_t unit = format::name_unit_from(unit_bytes_.data());
        unit_bytes_.clear();
        if (unit != 0) {
            // The launcher's buffer ends a name there; stopping keeps a
            // crafted endless name from filling the memory.
            if (name_.size() == format::max_name_units) {
                throw PackError("a name in the archive is longer than " + std::to_string(format::max_name_units) +
                                " UTF-16 units");
            }
            name_.push_back(unit);
        } else if (name_.empty()) {
            state_ = State::done;
        } else {
            state_ = State::size;
            size_bytes_ = 0;
        }
    }

    State state_ = State::name;
    std::vector<unsigned char> unit_bytes_;
    std::u16string name_;
    unsigned char size_field_[format::size_field_bytes] = {};
    std::size_t size_bytes_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t remaining_ = 0;
    std::vector<unsigned char> head_;
    std::vector<RecordInfo> records_;
};

}  // namespace

PeSigning signing_of(std::span<const unsigned char> head) {
    if (head.size() < sizeof pe::dos_magic || std::memcmp(head.data(), pe::dos_magic, sizeof pe::dos_magic) != 0) {
        return PeSigning::not_pe;
    }
    const ByteReader image(head, "the file ends inside its headers");
    try {
        const auto headers = pe::read_headers(image);
        if (!headers) return PeSigning::not_pe;
        std::size_t count_field = headers->optional + pe::optional_directory_count;
        std::size_t directories = headers->optional + pe::optional_directories;
        switch (image.u16(headers->optional + pe::optional_magic)) {
            case pe::pe32_plus_magic:
                break;
            case pe::pe32_magic:
                count_field = headers->optional + pe::optional_directory_count_pe32;
                directories = headers->optional + pe::optional_directories_pe32;
                break;
            default:
                return PeSigning::not_pe;
        }
        if (image.u32(count_field) <= pe::directory_security) return PeSigning::unsigned_pe;
        const std::size_t entry = directories + pe::directory_entry_size * pe::directory_security;
        // The certificate table's entry: a file offset, then its size.
        return image.u32(entry + 4) != 0 ? PeSigning::signed_pe : PeSigning::unsigned_pe;
    } catch (const PackError&) {
        // Headers cut off by the file's end (or the bytes read) are no image.
        return PeSigning::not_pe;
    }
}

std::vector<RecordInfo> read_records(std::span<const unsigned char> data) {
    if (data.size() < sizeof magic || std::memcmp(data.data(), magic, sizeof magic) != 0) {
        throw PackError("no attached data header (\"ZUQ\")");
    }
    std::unique_ptr<ZSTD_DCtx, DctxDeleter> context(ZSTD_createDCtx());
    if (!context) throw PackError("out of memory");
    std::vector<unsigned char> buffer(ZSTD_DStreamOutSize());
    RecordParser parser;
    ZSTD_inBuffer input{data.data() + sizeof magic, data.size() - sizeof magic, 0};
    while (true) {
        ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
        const std::size_t result = ZSTD_decompressStream(context.get(), &output, &input);
        if (ZSTD_isError(result)) {
            throw PackError(std::string("the frame does not decode: ") + ZSTD_getErrorName(result));
        }
        parser.feed(buffer.data(), output.pos);
        if (result == 0) break;
        if (input.pos == input.size && output.pos < output.size) {
            throw PackError("the frame is truncated");
        }
    }
    if (!parser.done()) throw PackError("the archive ends without its end marker");
    return parser.take_records();
}

LocatedData locate_attached_data(std::span<const unsigned char> file) {
    if (file.size() >= sizeof magic && std::memcmp(file.data(), magic, sizeof magic) == 0) {
        return {0, read_records(file)};
    }
    if (file.size() < 2 || file[0] != pe::dos_magic[0] || file[1] != pe::dos_magic[1]) {
        throw PackError("neither attached data (\"ZUQ\") nor a PE executable (\"MZ\")");
    }
    if (const auto data = attached_data_in_image(file)) {
        return {static_cast<std::size_t>(data->data() - file.data()), read_records(*data)};
    }
    throw PackError("no attached data section (" FENZAR_DATA_SECTION_NAME "): not a launcher");
}

std::optional<std::string> launcher_summary(std::span<const unsigned char> file,
                                            std::u16string_view first_record_name) {
    if (file.size() >= sizeof magic && std::memcmp(file.data(), magic, sizeof magic) == 0) return std::nullopt;
    std::string line = "launcher: ";
    switch (const std::uint16_t subsystem = image_subsystem(file)) {
        case pe::subsystem_windows_gui:
            line += "windows subsystem";
            break;
        case pe::subsystem_windows_cui:
            line += "console subsystem";
            break;
        default:
            line += "subsystem " + std::to_string(subsystem);
    }
    const auto manifest = resource_in_image(file, rt_manifest, 1);
    const auto level = manifest ? requested_execution_level(*manifest) : std::nullopt;
    if (level) {
        line += ", execution level " + *level;
    } else {
        line += manifest ? ", no execution level requested" : ", no manifest";
    }
    const auto settings_block = launch_settings_in_image(file);
    if (!settings_block.empty()) {
        LaunchSettings settings;
        if (read_launch_settings(settings_block.data(), settings_block.size(), &settings)) {
            if (settings.cache) {
                char16_t digest[launch_settings_format::digest_text_units + 1];
                format_digest(settings.digest, digest);
                line += ", cache %LOCALAPPDATA%\\" + utf16_to_display(launch_settings_format::cache_root_folder) +
                        "\\" + utf16_to_display(settings.name) + "\\" + utf16_to_display(digest);
            }
            if (settings.runs_program) line += ", runs the program " + utf16_to_display(first_record_name);
            if (settings.target_base[0] != 0) line += ", target base " + utf16_to_display(settings.target_base);
        } else {
            line += ", launch settings the launcher refuses";
        }
    }
    // Launchers of packers before this one carry no version.
    if (const auto version = resource_in_image(file, rt_version, 1)) {
        if (const auto packer = version_string(*version, packer_version_key)) {
            line += ", written by fenzar-pack " + *packer;
        }
    }
    return line;
}

}  // namespace fenzar::pack
