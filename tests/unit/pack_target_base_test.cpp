// The packer's rule for --target-base: what the launcher can expand to the
// same full path at every start, in both of its processes.
#include "target_base.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

using fenzar::pack::target_base_problem;

// "C:" and folders of up to 200 units, length units in all.
std::u16string long_base(std::size_t length) {
    std::u16string base = u"C:";
    while (base.size() < length) {
        base += u'\\';
        base.append(std::min<std::size_t>(200, length - base.size()), u'a');
    }
    return base;
}

struct BaseCase {
    std::u16string base;
    // Empty for a base that is accepted; else a part of the reason.
    const char* problem;
};

TEST(PackTargetBase, AcceptsFullPathsThatEveryStartExpandsAlike) {
    const BaseCase cases[] = {
        {u"{TEMP}", ""},
        {u"{CACHE_DIR}\\Vendor\\App", ""},
        {u"{cache_dir}\\Vendor\\App", ""},
        {u"{Home}\\.app data\\x y", ""},
        {u"C:\\Apps", ""},
        {u"z:\\Program Data\\Vendor\\App\u00e9", ""},
        {u"\\\\server\\share\\Apps\\Run", ""},
        {long_base(1024), ""},
        {u"C:\\" + std::u16string(255, u'a'), ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(target_base_problem(c.base), "") << std::string(c.base.begin(), c.base.end());
    }
}

TEST(PackTargetBase, RefusesWhatCannotWorkAndSaysWhy) {
    const BaseCase cases[] = {
        {u"", "empty"},
        {long_base(1025), "longer than 1024 UTF-16 units"},
        {u"C:\\" + std::u16string(256, u'a'), "longer than 255"},
        // Relative in every way Windows knows.
        {u"Apps", "relative"},
        {u"Apps\\{TEMP}", "can only begin the base"},
        {u"C:Apps", "relative"},
        {u"\\Apps", "relative"},
        {u".\\Apps", "relative"},
        // Placeholders.
        {u"{FOO}\\x", "{FOO} is no placeholder"},
        {u"{}\\x", "{} is no placeholder"},
        {u"{TEMP}\\{PID}", "{PID} changes at every start"},
        {u"{TEMP}\\{random}", "{random} changes at every start"},
        {u"{TIME_US}", "changes at every start"},
        {u"{TIME}", "changes at every start"},
        {u"{PROGRAM_DIR}\\run", "the path the launcher was started by"},
        {u"{PROGRAM}", "the path the launcher was started by"},
        {u"{CACHE_DIR}\\{TEMP}", "{TEMP} is a full path and can only begin the base"},
        {u"{TEMP", "'{' without its '}'"},
        {u"{TE{MP}\\x", "'{' without its '}'"},
        {u"{TEMP}}\\x", "'}' without its '{'"},
        {u"{TEMP}x", "followed by a backslash"},
        // Folders Windows cannot make, or makes under another name.
        {u"C:\\", "a drive's root is no base"},
        {u"C:\\Apps\\", "ends with a backslash"},
        {u"{TEMP}\\", "ends with a backslash"},
        {u"C:\\Apps\\\\Run", "empty folder name"},
        {u"C:\\Apps\\..\\Run", "'.' or '..' folder"},
        {u"C:\\Apps\\.", "'.' or '..' folder"},
        {u"C:\\Apps\\Run.", "ends in a dot or space"},
        {u"C:\\Apps\\Run ", "ends in a dot or space"},
        {u"C:\\Apps\\a:b", "does not allow"},
        {u"C:\\Apps\\a*b", "does not allow"},
        {u"C:\\Apps\\a?", "does not allow"},
        {u"C:\\Apps\\a\tb", "does not allow"},
        {u"C:\\Apps\\nul.txt", "device name"},
        {u"C:\\Apps\\COM1", "device name"},
        {u"C:\\Apps\\a\xD800", "unpaired surrogate"},
        {u"C:/Apps", "forward slash"},
        {u"{TEMP}/x", "forward slash"},
        // Device paths and half shares.
        {u"\\\\?\\C:\\Apps", "device path"},
        {u"\\\\.\\pipe\\x", "device path"},
        {u"\\\\server", "\\\\server\\share"},
        {u"\\\\server\\", "\\\\server\\share"},
        {u"\\\\\\share", "\\\\server\\share"},
        {u"\\\\server\\share\\", "ends with a backslash"},
        {u"\\\\server\\share", "a share's root is no base"},
    };
    for (const auto& c : cases) {
        const std::string problem = target_base_problem(c.base);
        EXPECT_NE(problem.find(c.problem), std::string::npos)
            << "base " << testing::PrintToString(std::u16string_view(c.base).substr(0, 40)) << " gave '" << problem
            << "'";
    }
}

}  // namespace
