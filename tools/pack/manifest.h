// The launcher's application manifest: the built-in one with the execution
// level the user asked for, and the level read back from a launcher.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fenzar::pack {

// The rights Windows gives the launcher when it starts: the user's own
// (asInvoker), the most the user can have, asking an administrator for
// consent (highestAvailable), or administrator rights, with a UAC prompt
// at every start (requireAdministrator).
enum class ExecutionLevel { as_invoker, highest_available, require_administrator };

// The manifest's name for the level ("asInvoker", ...).
std::string_view execution_level_name(ExecutionLevel level);

// The level of that name, exactly as the manifest spells it; nullopt else.
std::optional<ExecutionLevel> parse_execution_level(std::string_view name);

// MANIFEST with the level attribute of its requestedExecutionLevel element
// set to LEVEL, everything else byte for byte. Throws PackError when the
// manifest has no such attribute.
std::vector<unsigned char> with_execution_level(std::span<const unsigned char> manifest, ExecutionLevel level);

// How a windowed program tells Windows it draws for the screen's DPI:
// unaware (Windows scales its bitmap, blurred), system (sharp at the DPI of
// the main screen at sign-in, scaled elsewhere) or per monitor, version 2
// (the program redraws for each monitor's DPI).
enum class DpiAwareness { unaware, system, per_monitor_v2 };

// The option's name for it ("unaware", "system", "permonitorv2"); nullopt
// for any other name.
std::optional<DpiAwareness> parse_dpi_awareness(std::string_view name);

// MANIFEST with the dpiAware and dpiAwareness settings for AWARENESS added
// as the last lines of its windowsSettings element, indented one step more
// than its end tag; everything else byte for byte. Throws PackError when
// the manifest has no windowsSettings end tag.
std::vector<unsigned char> with_dpi_awareness(std::span<const unsigned char> manifest, DpiAwareness awareness);

// The level attribute of the manifest's requestedExecutionLevel element, as
// it stands; nullopt when there is none.
std::optional<std::string> requested_execution_level(std::span<const unsigned char> manifest);

}  // namespace fenzar::pack
