#include "target_base.h"

#include <algorithm>
#include <initializer_list>

#include "names.h"
#include "payload/launch_settings.h"
#include "payload/record_name.h"

namespace fenzar::pack {

namespace {

std::string upper_ascii(std::u16string_view name) {
    std::string text = utf16_to_display(name);
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool is_one_of(const std::string& name, std::initializer_list<const char*> names) {
    return std::any_of(names.begin(), names.end(), [&](const char* candidate) { return name == candidate; });
}

// The expansion matches names without regard to case.
std::string placeholder_problem(std::u16string_view name, bool at_start) {
    const std::string upper = upper_ascii(name);
    const std::string shown = "{" + utf16_to_display(name) + "}";
    if (is_one_of(upper, {"TEMP", "HOME", "CACHE_DIR"})) {
        return at_start ? std::string() : shown + " is a full path and can only begin the base";
    }
    if (is_one_of(upper, {"PID", "TIME_US", "RANDOM", "TIME"})) {
        return shown +
               " changes at every start: each launcher's base would be a different folder, and the "
               "directories that dead launchers leave could never be found and removed; the launcher adds "
               "its own unique name below the base";
    }
    if (is_one_of(upper, {"PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR"})) {
        return shown +
               " is the path the launcher was started by, which whoever starts it chooses and which can "
               "be relative";
    }
    return shown + " is no placeholder of a base (use {TEMP}, {HOME} or {CACHE_DIR})";
}

bool is_forbidden_in_folder_name(char16_t unit) {
    return unit < 0x20 || unit == u'<' || unit == u'>' || unit == u'"' || unit == u'|' || unit == u'?' ||
           unit == u'*' || unit == u':';
}

// What Windows' file systems take as one name.
constexpr std::size_t max_folder_units = 255;

bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

std::string folder_problem(std::u16string_view folder) {
    if (folder.empty()) return "the base has an empty folder name (two backslashes in a row)";
    if (folder.size() > max_folder_units) {
        return "a folder name of the base is longer than " + std::to_string(max_folder_units) +
               " UTF-16 units, which Windows does not allow";
    }
    for (std::size_t i = 0; i < folder.size(); ++i) {
        if (is_forbidden_in_folder_name(folder[i])) {
            return "the folder name '" + utf16_to_display(folder) +
                   "' holds a character that Windows does not allow in names";
        }
        if (is_high_surrogate(folder[i]) && i + 1 < folder.size() && is_low_surrogate(folder[i + 1])) {
            ++i;
        } else if (is_high_surrogate(folder[i]) || is_low_surrogate(folder[i])) {
            return "the folder name '" + utf16_to_display(folder) + "' holds an unpaired surrogate";
        }
    }
    if (std::all_of(folder.begin(), folder.end(), [](char16_t unit) { return unit == u'.' || unit == u' '; })) {
        return "the base has a '.' or '..' folder";
    }
    if (folder.back() == u'.' || folder.back() == u' ') {
        return "the folder name '" + utf16_to_display(folder) + "' ends in a dot or space, which Windows drops";
    }
    if (is_device_component(folder.data(), folder.size())) {
        return "the folder name '" + utf16_to_display(folder) + "' is a Windows device name";
    }
    return {};
}

// The folders after the root: "" or "\" followed by folder names.
std::string folders_problem(std::u16string_view rest) {
    if (rest.empty()) return {};
    if (rest.front() != u'\\') return "the base's start must be followed by a backslash";
    if (rest.size() == 1) return "the base ends with a backslash";
    rest.remove_prefix(1);
    while (true) {
        const std::size_t end = std::min(rest.find(u'\\'), rest.size());
        if (end == rest.size() - 1) return "the base ends with a backslash";
        if (std::string problem = folder_problem(rest.substr(0, end)); !problem.empty()) return problem;
        if (end == rest.size()) return {};
        rest.remove_prefix(end + 1);
    }
}

bool is_ascii_letter(char16_t unit) { return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z'); }

}  // namespace

std::string target_base_problem(std::u16string_view base) {
    if (base.empty()) return "the base is empty";
    if (base.size() > launch_settings_format::max_target_base_units) {
        return "the base is longer than " + std::to_string(launch_settings_format::max_target_base_units) +
               " UTF-16 units";
    }
    for (std::size_t i = 0; i < base.size(); ++i) {
        if (base[i] == u'}') return "the base has a '}' without its '{'";
        if (base[i] != u'{') continue;
        const std::size_t close = base.find_first_of(u"{}", i + 1);
        if (close == std::u16string_view::npos || base[close] != u'}') return "the base has a '{' without its '}'";
        if (std::string problem = placeholder_problem(base.substr(i + 1, close - i - 1), i == 0); !problem.empty()) {
            return problem;
        }
        i = close;
    }
    if (base.find(u'/') != std::u16string_view::npos) {
        return "the base holds a forward slash: write its folders with backslashes";
    }
    if (base.front() == u'{') return folders_problem(base.substr(base.find(u'}') + 1));
    if (base.size() >= 3 && is_ascii_letter(base[0]) && base[1] == u':' && base[2] == u'\\') {
        if (base.size() == 3) return "a drive's root is no base: name a folder on it, such as C:\\Apps";
        return folders_problem(base.substr(2));
    }
    if (base.starts_with(u"\\\\")) {
        std::u16string_view rest = base.substr(2);
        const std::size_t server_end = std::min(rest.find(u'\\'), rest.size());
        const std::u16string_view server = rest.substr(0, server_end);
        if (server == u"?" || server == u".") return "a device path (\\\\?\\ or \\\\.\\) is no base";
        if (server_end == rest.size()) return "a share is written \\\\server\\share";
        rest.remove_prefix(server_end + 1);
        const std::size_t share_end = std::min(rest.find(u'\\'), rest.size());
        const std::u16string_view share = rest.substr(0, share_end);
        if (server.empty() || share.empty()) return "a share is written \\\\server\\share";
        if (share_end == rest.size()) {
            return "a share's root is no base: name a folder on it, such as \\\\server\\share\\Apps";
        }
        for (const std::u16string_view name : {server, share}) {
            if (std::string problem = folder_problem(name); !problem.empty()) return problem;
        }
        return folders_problem(rest.substr(share_end));
    }
    return "the base is relative: it must begin with {TEMP}, {HOME}, {CACHE_DIR}, a drive (C:\\...) or a share "
           "(\\\\server\\share)";
}

}  // namespace fenzar::pack
