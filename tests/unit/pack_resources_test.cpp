// The launcher's resources as the packer makes them from what the user gives:
// icon files (images checked against their entries, shared when entries
// point at the same bytes, bounded in number) and the version information's
// limit, named with its field.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error.h"
#include "resource_section.h"
#include "version_info.h"

namespace {

using namespace fenzar::pack;
using Bytes = std::vector<unsigned char>;

void append16(Bytes& out, std::uint32_t value) {
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

void append32(Bytes& out, std::uint32_t value) {
    append16(out, value & 0xFFFF);
    append16(out, value >> 16);
}

void append32_big_endian(Bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

// An icon bitmap: BITMAPINFOHEADER with the doubled height, the colour
// table (up to 8 bits per pixel), the colour pixels and the mask.
Bytes bitmap(std::int32_t width, std::int32_t height, std::uint16_t bits = 32) {
    Bytes out;
    append32(out, 40);
    append32(out, static_cast<std::uint32_t>(width));
    append32(out, static_cast<std::uint32_t>(2 * height));
    append16(out, 1);
    append16(out, bits);
    for (int i = 0; i < 6; ++i) append32(out, 0);
    if (bits <= 8) out.resize(out.size() + (std::size_t{4} << bits), 0x33);
    const std::size_t row = (static_cast<std::size_t>(width) * bits + 31) / 32 * 4;
    const std::size_t mask_row = (static_cast<std::size_t>(width) + 31) / 32 * 4;
    out.resize(out.size() + (row + mask_row) * static_cast<std::size_t>(height), 0x7F);
    return out;
}

// The start of a PNG file: signature and IHDR (the rest is not read).
Bytes png(std::uint32_t width, std::uint32_t height) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    append32_big_endian(out, 13);
    out.insert(out.end(), {'I', 'H', 'D', 'R'});
    append32_big_endian(out, width);
    append32_big_endian(out, height);
    out.insert(out.end(), {8, 6, 0, 0, 0, 0, 0, 0, 0});
    return out;
}

struct IconEntry {
    std::uint8_t width;
    std::uint8_t height;
    std::size_t image;  // index into the images
};

// An .ico file: its directory, then each image once, in order.
Bytes ico(const std::vector<IconEntry>& entries, const std::vector<Bytes>& images) {
    Bytes out;
    append16(out, 0);
    append16(out, 1);
    append16(out, static_cast<std::uint32_t>(entries.size()));
    std::vector<std::uint32_t> offsets;
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * entries.size());
    for (const auto& image : images) {
        offsets.push_back(offset);
        offset += static_cast<std::uint32_t>(image.size());
    }
    for (const auto& entry : entries) {
        out.insert(out.end(), {entry.width, entry.height, 0, 0});
        append16(out, 1);
        append16(out, 32);
        append32(out, static_cast<std::uint32_t>(images[entry.image].size()));
        append32(out, offsets[entry.image]);
    }
    for (const auto& image : images) out.insert(out.end(), image.begin(), image.end());
    return out;
}

std::string icon_problem(const Bytes& file) {
    try {
        icon_resources(file, "x.ico");
        return "";
    } catch (const PackError& error) {
        return error.what();
    }
}

TEST(IconResources, TakesBitmapsAndPngOfTheirEntrysSize) {
    const std::vector<Bytes> images = {bitmap(16, 16), bitmap(48, 48, 8), png(256, 256), png(32, 32)};
    const auto resources = icon_resources(ico({{16, 16, 0}, {48, 48, 1}, {0, 0, 2}, {32, 32, 3}}, images), "x.ico");
    ASSERT_EQ(resources.size(), 5u);
    for (std::size_t i = 0; i < images.size(); ++i) {
        EXPECT_EQ(resources[i].type, rt_icon);
        EXPECT_EQ(resources[i].id, i + 1);
        EXPECT_EQ(resources[i].data, images[i]);
    }
    EXPECT_EQ(resources.back().type, rt_group_icon);
}

TEST(IconResources, EntriesPointingAtTheSameBytesShareOneImage) {
    const std::vector<Bytes> images = {bitmap(16, 16), bitmap(16, 16)};
    // Entries 1, 2 and 4 point at the first image; the second is equal bytes
    // in another place and stays an image of its own.
    const auto resources = icon_resources(ico({{16, 16, 0}, {16, 16, 0}, {16, 16, 1}, {16, 16, 0}}, images), "x.ico");
    ASSERT_EQ(resources.size(), 3u);
    EXPECT_EQ(resources[0].id, 1);
    EXPECT_EQ(resources[1].id, 2);
    const Bytes& group = resources[2].data;
    ASSERT_EQ(group.size(), 6u + 4 * 14);
    EXPECT_EQ(group[4], 4);
    const std::uint16_t expected_ids[] = {1, 1, 2, 1};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(group[6 + 14 * i + 12] | group[6 + 14 * i + 13] << 8, expected_ids[i]) << i;
    }
}

TEST(IconResources, NamesWhatIsWrongWithAnImage) {
    Bytes random(600);
    for (std::size_t i = 0; i < random.size(); ++i) random[i] = static_cast<unsigned char>(i * 7919 >> 3);
    Bytes short_bitmap = bitmap(32, 32);
    short_bitmap.resize(40 + 32 * 32 * 4 - 1);
    Bytes png_without_header = png(16, 16);
    png_without_header[12] = 'X';
    Bytes too_many = ico(std::vector<IconEntry>(257, {16, 16, 0}), {bitmap(16, 16)});
    Bytes outside = ico({{16, 16, 0}}, {bitmap(16, 16)});
    outside.pop_back();
    const struct {
        const char* what;
        Bytes file;
        const char* problem;
    } cases[] = {
        {"random bytes", ico({{16, 16, 0}}, {random}),
         "x.ico: image 1 of the icon file is neither a PNG image nor a bitmap (BITMAPINFOHEADER)"},
        {"PNG of another size", ico({{16, 16, 0}, {32, 32, 1}}, {bitmap(16, 16), png(48, 48)}),
         "x.ico: image 2 of the icon file is a PNG image of 48x48 pixels, but its entry says 32x32"},
        {"PNG without IHDR", ico({{16, 16, 0}}, {png_without_header}),
         "x.ico: image 1 of the icon file is a PNG image without its header (IHDR)"},
        {"bitmap of another size", ico({{0, 0, 0}}, {bitmap(64, 64)}),
         "x.ico: image 1 of the icon file is a bitmap of 64x64 pixels, but its entry says 256x256"},
        {"bitmap cut short", ico({{32, 32, 0}}, {short_bitmap}),
         "x.ico: image 1 of the icon file is a bitmap that ends before its pixels (4136 bytes needed, "
         "4135 there)"},
        {"compressed bitmap", ico({{16, 16, 0}}, {bitmap(16, 16, 2)}),
         "x.ico: image 1 of the icon file is a bitmap of 2 bits per pixel with compression 0 (icons "
         "use 1, 4, 8, 24 or 32 bits, uncompressed)"},
        {"too many entries", too_many, "x.ico: the icon file lists 257 images, more than the 256 allowed"},
        {"image outside", outside, "x.ico: image 1 of the icon file lies outside the file"},
        {"not an icon", Bytes{'M', 'Z', 0, 0, 0, 0}, "x.ico: not an icon file (.ico)"},
    };
    for (const auto& c : cases) EXPECT_EQ(icon_problem(c.file), c.problem) << c.what;
}

VersionFields fields() { return {"1.0", "1.0", "Product", "", "Description", "", "app", "app.exe", ""}; }

// `list` reads the packer's version back from the resource the packer wrote;
// the other strings are read by the same walk, so they check it too.
TEST(VersionResource, StringsReadBack) {
    VersionFields given = fields();
    given.company = "Caf\xc3\xa9 \xf0\x9f\x98\x80";
    given.packer_version = "1.2.3";
    const Bytes resource = version_resource(given);
    const struct {
        std::u16string_view key;
        std::optional<std::string> value;
    } cases[] = {
        {packer_version_key, "1.2.3"},       {u"CompanyName", given.company},
        {u"FileDescription", "Description"}, {u"OriginalFilename", "app.exe"},
        {u"ProductVersion", "1.0"},          {u"LegalCopyright", std::nullopt},  // empty, left out
        {u"Translation", std::nullopt},                                          // a value, but not a string
        {u"FenzarPack", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(version_string(resource, c.key), c.value) << std::string(c.key.begin(), c.key.end());
    }

    // A launcher of an earlier packer: no version in it.
    EXPECT_EQ(version_string(version_resource(fields()), packer_version_key), std::nullopt);
    // Cut anywhere, the resource is malformed and yields nothing.
    for (std::size_t size = 0; size < resource.size(); ++size) {
        EXPECT_EQ(version_string({resource.data(), size}, packer_version_key), std::nullopt) << size;
    }
}

std::string version_problem(const VersionFields& given) {
    try {
        version_resource(given);
        return "";
    } catch (const PackError& error) {
        return error.what();
    }
}

TEST(VersionResource, TooLongNamesTheFieldAndWhatFits) {
    VersionFields at_limit = fields();
    VersionFields long_description = fields();
    long_description.description.assign(40000, 'd');
    // The room the message gives is exactly what fits.
    const std::string message = version_problem(long_description);
    const std::string head =
        "the version information is too long: FileDescription (--description) has 40000 UTF-16 "
        "units, and with the other fields as they are at most ";
    ASSERT_EQ(message.rfind(head, 0), 0u) << message;
    const std::size_t room = std::stoul(message.substr(head.size()));
    EXPECT_NE(message.find("(a version resource holds at most 65535 bytes, "), std::string::npos);
    at_limit.description.assign(room, 'd');
    EXPECT_EQ(version_problem(at_limit), "");
    at_limit.description.assign(room + 1, 'd');
    EXPECT_NE(version_problem(at_limit).find("FileDescription (--description)"), std::string::npos);

    // Several long fields: the longest is named.
    VersionFields several = fields();
    several.company.assign(20000, 'c');
    several.copyright.assign(30000, 'c');
    EXPECT_NE(version_problem(several).find("LegalCopyright (--copyright) has 30000 UTF-16 units"), std::string::npos);
}

}  // namespace
