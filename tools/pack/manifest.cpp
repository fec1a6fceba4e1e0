#include "manifest.h"

#include <cstddef>

#include "error.h"

namespace fenzar::pack {

namespace {

constexpr std::string_view level_names[] = {"asInvoker", "highestAvailable", "requireAdministrator"};

bool xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

struct text_range {
    std::size_t start;
    std::size_t size;
};

// Where the value of the attribute NAME lies in the attributes of a start
// tag, text[from, to).
std::optional<text_range> attribute_value(std::string_view text, std::size_t from, std::size_t to,
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
        return text_range{i + 1, close - i - 1};
    }
    return std::nullopt;
}

// Where the value of the level attribute of the first requestedExecutionLevel
// start tag lies (with or without a namespace prefix). Manifests are small
// and written by tools, so a scan of the tag does; comments and CDATA are not
// told apart.
std::optional<text_range> level_value(std::string_view text) {
    constexpr std::string_view element = "requestedExecutionLevel";
    for (std::size_t at = text.find(element); at != std::string_view::npos;
         at = text.find(element, at + 1)) {
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

std::string_view execution_level_name(execution_level level) {
    return level_names[static_cast<std::size_t>(level)];
}

std::optional<execution_level> parse_execution_level(std::string_view name) {
    for (std::size_t i = 0; i < std::size(level_names); ++i) {
        if (level_names[i] == name) return static_cast<execution_level>(i);
    }
    return std::nullopt;
}

std::vector<unsigned char> with_execution_level(std::span<const unsigned char> manifest,
                                                execution_level level) {
    const std::string_view text = as_text(manifest);
    const auto value = level_value(text);
    if (!value) throw pack_error("the manifest requests no execution level to set");
    const std::string_view name = execution_level_name(level);
    std::vector<unsigned char> result(manifest.begin(), manifest.begin() + static_cast<std::ptrdiff_t>(value->start));
    result.insert(result.end(), name.begin(), name.end());
    result.insert(result.end(), manifest.begin() + static_cast<std::ptrdiff_t>(value->start + value->size),
                  manifest.end());
    return result;
}

std::optional<std::string> requested_execution_level(std::span<const unsigned char> manifest) {
    const std::string_view text = as_text(manifest);
    const auto value = level_value(text);
    if (!value) return std::nullopt;
    return std::string(text.substr(value->start, value->size));
}

}  // namespace fenzar::pack
