// The execution level in a launcher's manifest: set by the packer, read back
// by `list`, everything else of the manifest kept byte for byte.
#include <gtest/gtest.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "manifest.h"

namespace {

using fenzar::pack::execution_level_name;
using fenzar::pack::ExecutionLevel;
using fenzar::pack::PackError;
using fenzar::pack::parse_execution_level;
using fenzar::pack::requested_execution_level;
using fenzar::pack::with_execution_level;

std::span<const unsigned char> bytes(const std::string& text) {
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

std::string text(const std::vector<unsigned char>& data) { return {data.begin(), data.end()}; }

struct ManifestCase {
    const char* what;
    std::string manifest;
    std::optional<std::string> level;
};

const ManifestCase manifests[] = {
    {"as the built-in one writes it",
     "<trustInfo><security><requestedPrivileges>\n"
     "  <requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>\n"
     "</requestedPrivileges></security></trustInfo>",
     "requireAdministrator"},
    {"with a namespace prefix, single quotes and spaces around =",
     "<ms_asmv3:requestedExecutionLevel\n uiAccess='false' level = 'highestAvailable' />", "highestAvailable"},
    {"an attribute whose name ends in level comes first",
     "<requestedExecutionLevel xlevel=\"no\" level=\"asInvoker\"></requestedExecutionLevel>", "asInvoker"},
    {"a value the packer does not write is read as it stands", "<requestedExecutionLevel level=\"\"/>", ""},
    {"the name inside another element's name or text is not the element",
     "<requestedExecutionLevels level=\"no\"/><x>requestedExecutionLevel level=\"no\"</x>", std::nullopt},
    {"the element without a level", "<requestedExecutionLevel uiAccess=\"false\"/>", std::nullopt},
    {"no element", "<assembly><dependency/></assembly>", std::nullopt},
    {"a tag that never ends", "<requestedExecutionLevel level=\"asInvoker\"", std::nullopt},
};

TEST(PackManifest, ReadsTheRequestedLevel) {
    for (const auto& c : manifests) {
        EXPECT_EQ(requested_execution_level(bytes(c.manifest)), c.level) << c.what;
    }
}

TEST(PackManifest, SetsTheLevelAndKeepsEverythingElse) {
    struct Setting {
        std::string manifest;
        ExecutionLevel level;
        std::string expected;
    };
    const Setting settings[] = {
        {"<x/>\n<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>\n<y/>",
         ExecutionLevel::as_invoker, "<x/>\n<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>\n<y/>"},
        {"<a:requestedExecutionLevel uiAccess='false' level = 'asInvoker' />", ExecutionLevel::highest_available,
         "<a:requestedExecutionLevel uiAccess='false' level = 'highestAvailable' />"},
        {"<requestedExecutionLevel level=\"\"/><requestedExecutionLevel level=\"asInvoker\"/>",
         ExecutionLevel::require_administrator,
         "<requestedExecutionLevel level=\"requireAdministrator\"/><requestedExecutionLevel level=\"asInvoker\"/>"},
    };
    for (const auto& s : settings) {
        EXPECT_EQ(text(with_execution_level(bytes(s.manifest), s.level)), s.expected);
    }
    for (const auto& c : manifests) {
        if (!c.level) {
            EXPECT_THROW(with_execution_level(bytes(c.manifest), ExecutionLevel::as_invoker), PackError) << c.what;
        }
    }
}

TEST(PackManifest, LevelNamesAreTheManifestsExactly) {
    for (const auto level :
         {ExecutionLevel::as_invoker, ExecutionLevel::highest_available, ExecutionLevel::require_administrator}) {
        EXPECT_EQ(parse_execution_level(execution_level_name(level)), level);
    }
    EXPECT_EQ(execution_level_name(ExecutionLevel::highest_available), "highestAvailable");
    for (const char* refused : {"", "asinvoker", "AsInvoker", "requireAdministrator ", "administrator"}) {
        EXPECT_EQ(parse_execution_level(refused), std::nullopt) << refused;
    }
}

TEST(PackManifest, DpiAwarenessGoesLastIntoWindowsSettings) {
    const std::string settings_2005 = "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">";
    const std::string settings_2016 = "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">";
    const std::string head = "<application>\n    <windowsSettings>\n      <longPathAware>true</longPathAware>\n";
    const std::string tail = "    </windowsSettings>\n  </application>\n";
    struct DpiCase {
        const char* what;
        std::string manifest;
        fenzar::pack::DpiAwareness awareness;
        std::string expected;
    };
    using fenzar::pack::DpiAwareness;
    const DpiCase cases[] = {
        {"unaware, at the end tag's indentation and one step", head + tail, DpiAwareness::unaware,
         head + "      " + settings_2005 + "false</dpiAware>\n      " + settings_2016 + "unaware</dpiAwareness>\n" +
             tail},
        {"system", head + tail, DpiAwareness::system,
         head + "      " + settings_2005 + "true</dpiAware>\n      " + settings_2016 + "system</dpiAwareness>\n" +
             tail},
        {"per monitor v2, with the older modes for older systems", head + tail, DpiAwareness::per_monitor_v2,
         head + "      " + settings_2005 + "true/pm</dpiAware>\n      " + settings_2016 +
             "PerMonitorV2, PerMonitor</dpiAwareness>\n" + tail},
        {"end tag behind other text on its line", "<windowsSettings><x/></windowsSettings>", DpiAwareness::system,
         "<windowsSettings><x/>" + settings_2005 + "true</dpiAware>\n" + settings_2016 +
             "system</dpiAwareness>\n</windowsSettings>"},
        {"end tag at the very start", "</windowsSettings>", DpiAwareness::unaware,
         "  " + settings_2005 + "false</dpiAware>\n  " + settings_2016 + "unaware</dpiAwareness>\n</windowsSettings>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text(fenzar::pack::with_dpi_awareness(bytes(c.manifest), c.awareness)), c.expected) << c.what;
    }
    EXPECT_THROW(fenzar::pack::with_dpi_awareness(bytes("<windowsSettings/>"), DpiAwareness::system), PackError);
}

TEST(PackManifest, DpiAwarenessNamesAreTheOptionsExactly) {
    using fenzar::pack::DpiAwareness;
    using fenzar::pack::parse_dpi_awareness;
    EXPECT_EQ(parse_dpi_awareness("unaware"), DpiAwareness::unaware);
    EXPECT_EQ(parse_dpi_awareness("system"), DpiAwareness::system);
    EXPECT_EQ(parse_dpi_awareness("permonitorv2"), DpiAwareness::per_monitor_v2);
    for (const char* refused : {"", "PerMonitorV2", "permonitor", "true", "System"}) {
        EXPECT_EQ(parse_dpi_awareness(refused), std::nullopt) << refused;
    }
}

}  // namespace
