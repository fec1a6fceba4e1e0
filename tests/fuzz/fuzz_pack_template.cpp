// The packer's reader of launcher templates (read_template, what --template
// hands it) and the writer of launchers from what it accepts.
//
// Input: one byte of flags (bit 0: write the image's correct checksum into
// it first, so that inputs reach past the checksum check), then the image.
//
// Properties: read_template either refuses with PackError or accepts; from
// an accepted template, both kinds of launcher are written, and each holds
// the attached data in its data section, its subsystem, and a checksum that
// matches its bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "fuzz_support.h"
#include "pe_image.h"
#include "pe_reading.h"

namespace {

using namespace fenzar::pack;

std::uint32_t u32_at(const std::vector<unsigned char>& bytes, std::size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// The PE checksum, written here apart from the packer's: 16-bit words summed
// with carries folded, the field counting as zero, plus the length.
std::uint32_t checksum(const std::vector<unsigned char>& bytes, std::size_t field) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        if (i >= field && i < field + 4) continue;
        sum += bytes[i] | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + bytes.size());
}

// Where the CheckSum field would be, if the image is long enough to say.
bool checksum_field(const std::vector<unsigned char>& image, std::size_t* field) {
    if (image.size() < 0x40) return false;
    const std::uint64_t at = std::uint64_t{u32_at(image, 0x3C)} + 4 + 20 + 64;
    if (at + 4 > image.size()) return false;
    *field = static_cast<std::size_t>(at);
    return true;
}

std::vector<unsigned char> written(const LauncherTemplate& t, Subsystem kind, std::span<const unsigned char> data) {
    // Closed on every way out, a refusal too: thousands of inputs run in one
    // process.
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), std::fclose);
    if (!file) property_failed("no temporary file");
    const std::vector<Resource> resources = {{rt_manifest, 1, {'<', 'x', '/', '>'}}};
    write_launcher(t, kind, data, resources, 1234, file.get());
    std::vector<unsigned char> bytes;
    std::rewind(file.get());
    for (int c; (c = std::fgetc(file.get())) != EOF;) bytes.push_back(static_cast<unsigned char>(c));
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::vector<unsigned char> image(data + 1, data + size);
    std::size_t field = 0;
    if ((data[0] & 1) && checksum_field(image, &field)) {
        const std::uint32_t value = checksum(image, field);
        for (int i = 0; i < 4; ++i) image[field + i] = static_cast<unsigned char>(value >> (8 * i));
    }
    std::optional<LauncherTemplate> accepted;
    try {
        accepted = read_template(image);
    } catch (const PackError&) {
        return 0;
    }
    const unsigned char attached[] = {'Z', 'U', 'Q', 1, 2, 3, 4, 5, 6, 7, 8, 9};
    for (Subsystem kind : {Subsystem::windows, Subsystem::console}) {
        std::vector<unsigned char> launcher;
        try {
            launcher = written(*accepted, kind, attached);
        } catch (const PackError& error) {
            // Only the 4 GiB limit of an image may refuse an accepted template.
            if (std::string(error.what()).find("4 GiB") == std::string::npos) {
                property_failed("an accepted template cannot be written", error.what());
            }
            return 0;
        }
        std::optional<std::span<const unsigned char>> found;
        try {
            found = attached_data_in_image(launcher);
            if (!found || !std::equal(found->begin(), found->end(), std::begin(attached), std::end(attached)) ||
                found->size() != sizeof attached) {
                property_failed("the launcher does not hold its attached data");
            }
            const std::uint16_t expected = kind == Subsystem::console ? 3 : 2;
            if (image_subsystem(launcher) != expected) property_failed("the launcher has another subsystem");
            if (!resource_in_image(launcher, rt_manifest, 1)) property_failed("the launcher has no manifest");
        } catch (const PackError& error) {
            property_failed("the written launcher cannot be read back", error.what());
        }
        if (!checksum_field(launcher, &field) || u32_at(launcher, field) != checksum(launcher, field)) {
            property_failed("the launcher's checksum does not match it");
        }
    }
    return 0;
}
