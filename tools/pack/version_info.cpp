#include "version_info.h"

#include <algorithm>
#include <charconv>
#include <tuple>

#include "byte_io.h"
#include "error.h"
#include "names.h"

namespace fenzar::pack {

namespace {

// One node of the VS_VERSIONINFO tree: wLength, wValueLength, wType, the key
// (UTF-16 with its terminator), padding to 4 bytes, the value, then the
// children, each starting on a 4-byte boundary. wLength leaves out the
// padding after the last byte.
class Block {
public:
    Block(std::u16string_view key, std::uint16_t type) {
        put_u16(0);
        put_u16(0);
        put_u16(type);
        for (char16_t unit : key) put_u16(unit);
        put_u16(0);
        pad();
    }

    Block& binary_value(const std::vector<unsigned char>& value, std::uint16_t value_length) {
        set_u16(2, value_length);
        bytes_.insert(bytes_.end(), value.begin(), value.end());
        return *this;
    }

    // A text value; its length counts UTF-16 units with the terminator.
    Block& text_value(std::u16string_view value) {
        set_u16(2, static_cast<std::uint16_t>(value.size() + 1));
        for (char16_t unit : value) put_u16(unit);
        put_u16(0);
        return *this;
    }

    Block& child(const Block& node) {
        pad();
        const auto bytes = node.bytes();
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }

    // Past 65535 bytes wLength is wrong: version_resource refuses the whole.
    std::vector<unsigned char> bytes() const {
        std::vector<unsigned char> result = bytes_;
        ByteWriter(result).put_u16(0, static_cast<std::uint16_t>(result.size()));
        return result;
    }

private:
    void put_u16(std::uint16_t value) { ByteWriter(bytes_).append_u16(value); }
    void set_u16(std::size_t at, std::uint16_t value) { ByteWriter(bytes_).put_u16(at, value); }
    void pad() {
        while (bytes_.size() % 4 != 0) bytes_.push_back(0);
    }

    std::vector<unsigned char> bytes_;
};

constexpr std::uint16_t binary_type = 0;
constexpr std::uint16_t text_type = 1;

std::u16string utf16(std::string_view text, const char* what) {
    auto converted = utf8_to_utf16(text);
    if (!converted) throw PackError(std::string("the ") + what + " is not valid UTF-8");
    return *converted;
}

VersionNumber checked_version(std::string_view text, const char* what) {
    const auto number = parse_version_number(text);
    if (!number) {
        throw PackError(std::string("the ") + what + " '" + std::string(text) +
                        "' is not a version number (up to four numbers from 0 to 65535 "
                        "separated by dots)");
    }
    return *number;
}

void append_u32(std::vector<unsigned char>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// VS_FIXEDFILEINFO for an application on 32-bit Windows NT and later, no
// flags, no date.
std::vector<unsigned char> fixed_file_info(const VersionNumber& file, const VersionNumber& product) {
    std::vector<unsigned char> out;
    append_u32(out, 0xFEEF04BD);  // signature
    append_u32(out, 0x00010000);  // structure version 1.0
    append_u32(out, static_cast<std::uint32_t>(file[0]) << 16 | file[1]);
    append_u32(out, static_cast<std::uint32_t>(file[2]) << 16 | file[3]);
    append_u32(out, static_cast<std::uint32_t>(product[0]) << 16 | product[1]);
    append_u32(out, static_cast<std::uint32_t>(product[2]) << 16 | product[3]);
    append_u32(out, 0x3F);        // VS_FFI_FILEFLAGSMASK
    append_u32(out, 0);           // file flags
    append_u32(out, 0x00040004);  // VOS_NT_WINDOWS32
    append_u32(out, 1);           // VFT_APP
    append_u32(out, 0);           // subtype
    append_u32(out, 0);           // date, most significant
    append_u32(out, 0);           // date, least significant
    return out;
}

}  // namespace

std::optional<VersionNumber> parse_version_number(std::string_view text) {
    VersionNumber number{};
    std::size_t part = 0;
    const char* at = text.data();
    const char* end = text.data() + text.size();
    while (true) {
        if (part == number.size() || at == end || *at < '0' || *at > '9') return std::nullopt;
        unsigned value = 0;
        const auto result = std::from_chars(at, end, value);
        if (result.ec != std::errc() || value > 0xFFFF) return std::nullopt;
        number[part++] = static_cast<std::uint16_t>(value);
        at = result.ptr;
        if (at == end) return number;
        if (*at++ != '.') return std::nullopt;
    }
}

namespace {

constexpr std::size_t max_resource_bytes = 0xFFFF;

struct TextField {
    std::u16string_view key;
    const char* option;
    std::u16string value;
};

std::vector<unsigned char> build_resource(const VersionNumber& file, const VersionNumber& product,
                                          const std::vector<TextField>& texts) {
    // US English in Unicode: the table's key and the translation agree.
    Block table(u"040904B0", text_type);
    for (const auto& text : texts) {
        const bool optional =
            text.key == u"CompanyName" || text.key == u"LegalCopyright" || text.key == packer_version_key;
        if (optional && text.value.empty()) continue;
        table.child(Block(text.key, text_type).text_value(text.value));
    }
    Block string_file_info(u"StringFileInfo", text_type);
    string_file_info.child(table);

    Block translation(u"Translation", binary_type);
    translation.binary_value({0x09, 0x04, 0xB0, 0x04}, 4);
    Block var_file_info(u"VarFileInfo", text_type);
    var_file_info.child(translation);

    const auto fixed = fixed_file_info(file, product);
    Block root(u"VS_VERSION_INFO", binary_type);
    root.binary_value(fixed, static_cast<std::uint16_t>(fixed.size()));
    root.child(string_file_info).child(var_file_info);
    return root.bytes();
}

// Names the longest text and how long it may be with the others as they
// are, the one change that makes the whole fit.
[[noreturn]] void refuse_too_long(const VersionNumber& file, const VersionNumber& product, std::vector<TextField> texts,
                                  std::size_t total) {
    auto& longest = *std::max_element(texts.begin(), texts.end(),
                                      [](const auto& a, const auto& b) { return a.value.size() < b.value.size(); });
    const std::size_t given = longest.value.size();
    // Each unit less takes 2 bytes off, give or take 2 of padding: start
    // just above what fits and step down to it.
    const std::size_t excess = total - max_resource_bytes;
    std::size_t room = given - std::min(given, excess / 2 > 2 ? excess / 2 - 2 : 1);
    while (room > 0) {
        longest.value.resize(room);
        if (build_resource(file, product, texts).size() <= max_resource_bytes) break;
        --room;
    }
    const std::string key(longest.key.begin(), longest.key.end());
    throw PackError("the version information is too long: " + key + " (" + longest.option + ") has " +
                    std::to_string(given) + " UTF-16 units, and with the other fields as they are at most " +
                    std::to_string(room) + " fit (a version resource holds at most " +
                    std::to_string(max_resource_bytes) + " bytes, " + std::to_string(total) + " were needed)");
}

}  // namespace

std::vector<unsigned char> version_resource(const VersionFields& fields) {
    const VersionNumber file = checked_version(fields.file_version, "file version");
    const VersionNumber product = checked_version(fields.product_version, "product version");

    const std::tuple<std::u16string_view, const char*, const std::string*> strings[] = {
        {u"CompanyName", "--company", &fields.company},
        {u"FileDescription", "--description", &fields.description},
        {u"FileVersion", "--file-version", &fields.file_version},
        {u"InternalName", "--original-filename", &fields.internal_name},
        {u"LegalCopyright", "--copyright", &fields.copyright},
        {u"OriginalFilename", "--original-filename", &fields.original_filename},
        {u"ProductName", "--product-name", &fields.product_name},
        {u"ProductVersion", "--product-version", &fields.product_version},
        {packer_version_key, "the packer's version", &fields.packer_version},
    };
    std::vector<TextField> texts;
    for (const auto& [key, option, value] : strings) {
        const std::string name(key.begin(), key.end());
        texts.push_back({key, option, utf16(*value, name.c_str())});
    }
    auto bytes = build_resource(file, product, texts);
    if (bytes.size() > max_resource_bytes) {
        refuse_too_long(file, product, std::move(texts), bytes.size());
    }
    return bytes;
}

namespace {

// One node of the tree as read back: its key, where its value lies and
// where its children start and end.
struct Node {
    std::u16string key;
    std::size_t value;
    std::uint16_t value_length;
    std::size_t children;
    std::size_t end;
};

std::size_t aligned(std::size_t at) { return (at + 3) / 4 * 4; }

Node read_node(const ByteReader& in, std::size_t at, std::size_t parent_end) {
    Node result;
    const std::uint16_t length = in.u16(at);
    result.end = at + length;
    if (length < 6 || result.end > parent_end) throw PackError("a version node leaves its parent");
    result.value_length = in.u16(at + 2);
    const bool text = in.u16(at + 4) == text_type;
    std::size_t i = at + 6;
    for (char16_t unit; (unit = in.u16(i)) != 0; i += 2) result.key.push_back(unit);
    result.value = aligned(i + 2);
    const std::size_t value_bytes = text ? std::size_t{result.value_length} * 2 : result.value_length;
    result.children = aligned(result.value + value_bytes);
    if (result.children > aligned(result.end)) throw PackError("a version value leaves its node");
    return result;
}

template <typename Visit>
void each_child(const ByteReader& in, const Node& parent, Visit&& function) {
    for (std::size_t at = parent.children; at < parent.end; at = aligned(at)) {
        const Node child = read_node(in, at, parent.end);
        function(child);
        at = child.end;
    }
}

}  // namespace

std::optional<std::string> version_string(std::span<const unsigned char> resource, std::u16string_view key) {
    const ByteReader in(resource, "the version information ends early");
    std::optional<std::string> found;
    try {
        const Node root = read_node(in, 0, resource.size());
        each_child(in, root, [&](const Node& file_info) {
            if (file_info.key != u"StringFileInfo") return;
            each_child(in, file_info, [&](const Node& table) {
                each_child(in, table, [&](const Node& entry) {
                    if (found || entry.key != key) return;
                    std::u16string value;
                    for (std::size_t i = 0; i < entry.value_length; ++i) {
                        const char16_t unit = in.u16(entry.value + 2 * i);
                        if (unit == 0) break;
                        value.push_back(unit);
                    }
                    found = utf16_to_display(value);
                });
            });
        });
    } catch (const PackError&) {
        return std::nullopt;
    }
    return found;
}

}  // namespace fenzar::pack
