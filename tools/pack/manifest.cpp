#include "manifest.h"

#include <cstddef>

#include "error.h"

namespace fenzar::pack {

namespace {

constexpr std::string_view level_names[] = {"asInvoker", "highestAvailable", "requireAdministrator"};

bool xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

struct TextRange {
    std::size_t start;
    std::size_t size;
};

// Where the value of the attribute NAME lies in the attributes of a start
// tag, text[from, to).
std::optional<TextRange> attribute_value(std::string_view text, std::size_t from, std::size_t to,
                                         std::string_view name) {
    for (std::size_t at = text.find(name, from); at != std::string_view::npos && at < to;
         at = text.find(name, at + 1)) {
        if (!xml_space(text[at - 1])) continue;
        std::size_t i = at + name.size();
        while (i < to && xml_space(text[i])) ++i;
        if (i == to || text[i] != '=') continue;
        ++i;
        while (i < to && xml_space(text[i])) ++i;
        if (i == to || (text[i] != '"' && text[i] != '\'')) return std::nullopt;
        const std::size_t close = text.find(text[i], i + 1);
        if (close == std::string_view::npos || close > to) return std::nullopt;
        return TextRange{i + 1, close - i - 1};
    }
    return std::nullopt;
}

// Where the value of the level attribute of the first requestedExecutionLevel
// start tag lies (with or without a namespace prefix). Manifests are small
// and written by tools, so a scan of the tag does; comments and CDATA are not
// told apart.
std::optional<TextRange> level_value(std::string_view text) {
    constexpr std::string_view element = "requestedExecutionLevel";
    for (std::size_t at = text.find(element); at != std::string_view::npos; at = text.find(element, at + 1)) {
        const std::size_t after = at + element.size();
        if (after >= text.size() || !(xml_space(text[after]) || text[after] == '/' || text[after] == '>')) {
            continue;
        }
        // "<requestedExecutionLevel" or "<prefix:requestedExecutionLevel".
        std::size_t open = at;
        if (open > 0 && text[open - 1] == ':') {
            --open;
            while (open > 0 && text[open - 1] != '<' && text[open - 1] != '>' && !xml_space(text[open - 1])) {
                --open;
            }
        }
        if (open == 0 || text[open - 1] != '<') continue;
        const std::size_t close = text.find('>', after);
        if (close == std::string_view::npos) return std::nullopt;
        return attribute_value(text, after, close, "level");
    }
    return std::nullopt;
}

std::string_view as_text(std::span<const unsigned char> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

std::string_view execution_level_name(ExecutionLevel level) { return level_names[static_cast<std::size_t>(level)]; }

std::optional<ExecutionLevel> parse_execution_level(std::string_view name) {
    for (std::size_t i = 0; i < std::size(level_names); ++i) {
        if (level_names[i] == name) return static_cast<ExecutionLevel>(i);
    }
    return std::nullopt;
}

std::vector<unsigned char> with_execution_level(std::span<const unsigned char> manifest, ExecutionLevel level) {
    const std::string_view text = as_text(manifest);
    const auto value = level_value(text);
    if (!value) throw PackError("the manifest requests no execution level to set");
    const std::string_view name = execution_level_name(level);
    std::vector<unsigned char> result(manifest.begin(), manifest.begin() + static_cast<std::ptrdiff_t>(value->start));
    result.insert(result.end(), name.begin(), name.end());
    result.insert(result.end(), manifest.begin() + static_cast<std::ptrdiff_t>(value->start + value->size),
                  manifest.end());
    return result;
}

std::optional<DpiAwareness> parse_dpi_awareness(std::string_view name) {
    if (name == "unaware") return DpiAwareness::unaware;
    if (name == "system") return DpiAwareness::system;
    if (name == "permonitorv2") return DpiAwareness::per_monitor_v2;
    return std::nullopt;
}

std::vector<unsigned char> with_dpi_awareness(std::span<const unsigned char> manifest, DpiAwareness awareness) {
    // Windows 10 1607 and later read dpiAwareness and ignore dpiAware; older
    // systems read only dpiAware, where "true/pm" is the first per-monitor
    // mode. A list in dpiAwareness is tried in order: 1607 knows PerMonitor
    // but not yet PerMonitorV2.
    constexpr std::string_view dpi_aware_namespace = "http://schemas.microsoft.com/SMI/2005/WindowsSettings";
    constexpr std::string_view awareness_namespace = "http://schemas.microsoft.com/SMI/2016/WindowsSettings";
    std::string_view aware;
    std::string_view awareness_value;
    switch (awareness) {
        case DpiAwareness::unaware:
            aware = "false";
            awareness_value = "unaware";
            break;
        case DpiAwareness::system:
            aware = "true";
            awareness_value = "system";
            break;
        case DpiAwareness::per_monitor_v2:
            aware = "true/pm";
            awareness_value = "PerMonitorV2, PerMonitor";
            break;
    }
    const std::string_view text = as_text(manifest);
    const std::size_t end_tag = text.find("</windowsSettings>");
    if (end_tag == std::string_view::npos) {
        throw PackError("the manifest has no windowsSettings to set the DPI awareness in");
    }
    const std::size_t newline = text.rfind('\n', end_tag);
    const std::size_t line = newline == std::string_view::npos ? 0 : newline + 1;
    const std::string_view before = text.substr(line, end_tag - line);
    // On a line of its own the end tag keeps it, and the new lines take its
    // indentation one step in; else they go right before the tag.
    const bool own_line = before.find_first_not_of(" \t") == std::string_view::npos;
    const std::size_t at = own_line ? line : end_tag;
    const std::string indent = own_line ? std::string(before) + "  " : "";
    std::string lines;
    lines +=
        indent + "<dpiAware xmlns=\"" + std::string(dpi_aware_namespace) + "\">" + std::string(aware) + "</dpiAware>\n";
    lines += indent + "<dpiAwareness xmlns=\"" + std::string(awareness_namespace) + "\">" +
             std::string(awareness_value) + "</dpiAwareness>\n";
    std::vector<unsigned char> result(manifest.begin(), manifest.begin() + static_cast<std::ptrdiff_t>(at));
    result.insert(result.end(), lines.begin(), lines.end());
    result.insert(result.end(), manifest.begin() + static_cast<std::ptrdiff_t>(at), manifest.end());
    return result;
}

std::optional<std::string> requested_execution_level(std::span<const unsigned char> manifest) {
    const std::string_view text = as_text(manifest);
    const auto value = level_value(text);
    if (!value) return std::nullopt;
    return std::string(text.substr(value->start, value->size));
}

}  // namespace fenzar::pack
