// The launcher's version information (an RT_VERSION resource: VS_VERSIONINFO
// with the fixed file information, one string table in US English / UTF-16
// and the translation that names it), as Explorer's Details tab shows it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fenzar::pack {

using VersionNumber = std::array<std::uint16_t, 4>;

// "1", "1.2", "1.2.3" or "1.2.3.4", each part a decimal from 0 to 65535;
// missing parts are 0. nullopt for anything else.
std::optional<VersionNumber> parse_version_number(std::string_view text);

// UTF-8 text as the user gave it; the numbers as the text says.
struct VersionFields {
    std::string file_version;
    std::string product_version;
    std::string product_name;
    std::string company;  // left out when empty
    std::string description;
    std::string copyright;  // left out when empty
    std::string internal_name;
    std::string original_filename;
    // The version of the packer that wrote the launcher, for `list`; left
    // out when empty.
    std::string packer_version;
};

// The string value the launcher's packer version is stored under.
inline constexpr std::u16string_view packer_version_key = u"FenzarPackVersion";

// Throws PackError when a version is not a version number, a text is not
// UTF-8 or the whole does not fit the format's 16-bit lengths.
std::vector<unsigned char> version_resource(const VersionFields& fields);

// The value of the string `key` in a version resource's string tables, as
// UTF-8; nullopt when there is none or the resource is malformed where it
// leads to it.
std::optional<std::string> version_string(std::span<const unsigned char> resource, std::u16string_view key);

}  // namespace fenzar::pack
