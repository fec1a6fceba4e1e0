#include "names.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>

#include "error.h"
#include "payload/record_name.h"

namespace fenzar::pack {

namespace {

std::optional<std::u16string> decode_utf8(std::string_view text, bool lone_surrogates) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length;
        char32_t value;
        char32_t minimum;
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, value = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, value = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, value = lead & 0x07, minimum = 0x10000;
        } else {
            return std::nullopt;
        }
        if (text.size() - i < length) return std::nullopt;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            value = (value << 6) | (next & 0x3F);
        }
        if (value < minimum || value > 0x10FFFF || (!lone_surrogates && value >= 0xD800 && value <= 0xDFFF)) {
            return std::nullopt;
        }
        if (value >= 0x10000) {
            value -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(value));
        }
        i += length;
    }
    return out;
}

}  // namespace

std::optional<std::u16string> utf8_to_utf16(std::string_view text) { return decode_utf8(text, false); }

std::optional<std::u16string> wtf8_to_utf16(std::string_view text) { return decode_utf8(text, true); }

namespace {

void append_utf8(std::string& out, char32_t value) {
    if (value < 0x80) {
        out.push_back(static_cast<char>(value));
    } else if (value < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (value >> 6)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (value >> 12)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (value >> 18)));
        out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
}

bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

struct UppercaseRun {
    char16_t first;
    char16_t last;
    char16_t step;
    std::int32_t delta;
};

constexpr UppercaseRun uppercase_runs[] = {
#include "uppercase_table.inc"
};

char16_t uppercase_unit(char16_t unit) {
    const auto run = std::upper_bound(std::begin(uppercase_runs), std::end(uppercase_runs), unit,
                                      [](char16_t value, const UppercaseRun& r) { return value < r.first; });
    if (run == std::begin(uppercase_runs)) return unit;
    const UppercaseRun& candidate = *(run - 1);
    if (unit > candidate.last || (unit - candidate.first) % candidate.step != 0) return unit;
    return static_cast<char16_t>(unit + candidate.delta);
}

// Code point order for UTF-16: surrogates (the supplementary planes) after
// every other unit.
unsigned code_point_rank(char16_t unit) {
    if (unit >= 0xE000) return unit - 0x800u;
    if (unit >= 0xD800) return unit + 0x2000u;
    return unit;
}

bool is_forbidden_character(char16_t unit) {
    return unit < 0x20 || unit == u'<' || unit == u'>' || unit == u'"' || unit == u'|' || unit == u'?' || unit == u'*';
}

// UTF-16 to UTF-8, pairs joined; an unpaired surrogate is escaped as
// \u{XXXX} or, for generalized UTF-8, encoded as it stands.
std::string encode_utf16(std::u16string_view text, bool escape_unpaired) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (is_high_surrogate(unit) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (escape_unpaired && (is_high_surrogate(unit) || is_low_surrogate(unit))) {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u{%04X}", static_cast<unsigned>(unit));
            out += escaped;
        } else {
            append_utf8(out, unit);
        }
    }
    return out;
}

}  // namespace

std::string utf16_to_display(std::u16string_view text) { return encode_utf16(text, true); }

std::string utf16_to_wtf8(std::u16string_view text) { return encode_utf16(text, false); }

namespace {

// File names as the system gives them: bytes on Linux, taken as UTF-8, and
// UTF-16 units on Windows. Each system uses one of each pair.
[[maybe_unused]] std::string display_native(const std::string& native) { return native; }

[[maybe_unused]] std::string display_native(const std::wstring& native) {
    return utf16_to_display(std::u16string(native.begin(), native.end()));
}

[[maybe_unused]] std::u16string component_from_native(const std::string& native, const std::filesystem::path& origin) {
    if (native.find('\\') != std::string::npos) {
        throw PackError(display_path(origin) + ": a file name holds a backslash");
    }
    auto converted = utf8_to_utf16(native);
    if (!converted) throw PackError(display_path(origin) + ": a file name is not valid UTF-8");
    return std::move(*converted);
}

[[maybe_unused]] std::u16string component_from_native(const std::wstring& native, const std::filesystem::path&) {
    return std::u16string(native.begin(), native.end());
}

}  // namespace

std::string display_path(const std::filesystem::path& path) { return display_native(path.native()); }

std::u16string name_component(const std::filesystem::path& file_name, const std::filesystem::path& origin) {
    return component_from_native(file_name.native(), origin);
}

bool component_less(std::u16string_view a, std::u16string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char16_t x, char16_t y) { return code_point_rank(x) < code_point_rank(y); });
}

std::u16string fold_name(std::u16string_view name) {
    std::u16string folded(name);
    for (auto& unit : folded) unit = uppercase_unit(unit);
    return folded;
}

std::string name_problem(std::u16string_view name) {
    if (name.empty()) return "the name is empty";
    if (name.size() > max_name_units) return "the name is longer than 1023 UTF-16 units";
    if (const char* problem = record_name_problem(name.data(), name.size())) return problem;
    for (char16_t unit : name) {
        if (is_forbidden_character(unit)) {
            return "the name holds a character that Windows does not allow in file names";
        }
    }
    // Windows stores such a name, but no text form names it: messages,
    // listings and the other system cannot show or recreate the file.
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (is_high_surrogate(name[i]) && i + 1 < name.size() && is_low_surrogate(name[i + 1])) {
            ++i;
        } else if (is_high_surrogate(name[i]) || is_low_surrogate(name[i])) {
            return "the name holds an unpaired surrogate (UTF-16 that is not Unicode text)";
        }
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(name.find(u'\\', start), name.size());
        const std::u16string_view component = name.substr(start, end - start);
        if (component.back() == u'.' || component.back() == u' ') {
            return "a component of the name ends in a dot or space, which Windows drops";
        }
        if (end == name.size()) return {};
        start = end + 1;
    }
}

std::optional<std::pair<std::size_t, std::size_t>> find_file_under_directory_clash(
    const std::vector<std::u16string>& names) {
    std::map<std::u16string, std::size_t> files;
    for (std::size_t i = 0; i < names.size(); ++i) files.emplace(fold_name(names[i]), i);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::u16string folded = fold_name(names[i]);
        for (std::size_t cut = folded.find(u'\\'); cut != std::u16string::npos; cut = folded.find(u'\\', cut + 1)) {
            if (auto file = files.find(folded.substr(0, cut)); file != files.end()) {
                return std::pair{file->second, i};
            }
        }
    }
    return std::nullopt;
}

std::u16string entry_name_from_components(const std::vector<std::u16string>& components,
                                          const std::filesystem::path& origin) {
    std::u16string name;
    for (const auto& component : components) {
        if (!name.empty()) name.push_back(u'\\');
        name += component;
    }
    if (auto problem = name_problem(name); !problem.empty()) {
        throw PackError(display_path(origin) + ": " + problem);
    }
    return name;
}

}  // namespace fenzar::pack
