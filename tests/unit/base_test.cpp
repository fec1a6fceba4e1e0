// Bounded wide strings, strict decimal parsing, environment access and the
// system-error line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/environment.h"
#include "base/report.h"
#include "base/wide.h"
#include "platform_override.h"

namespace fenzar {

namespace {

TEST(BoundedCopy, AcceptsExactlyTheCapacityAndStopsOneBeyond) {
    PlatformOverride platform;
    WideBuffer<5> buffer;
    buffer.units[5] = u'#';
    copy_wide_bounded(buffer, u"abcde");
    EXPECT_EQ(std::u16string(buffer.data()), u"abcde");
    EXPECT_EQ(buffer.units[5], 0) << "the terminator takes the extra element";

    WideBuffer<5> other;
    EXPECT_IMMEDIATE_STOP(copy_wide_bounded(other, u"abcdef"));
    EXPECT_IMMEDIATE_STOP(copy_wide_bounded(other, nullptr));
}

TEST(BoundedAppend, FullBufferTakesAnEmptyAdditionOnly) {
    PlatformOverride platform;
    WideBuffer<4> buffer;
    copy_wide_bounded(buffer, u"ab");
    append_wide_bounded(buffer, u"cd");
    EXPECT_EQ(std::u16string(buffer.data()), u"abcd");
    append_wide_bounded(buffer, u"");
    EXPECT_EQ(std::u16string(buffer.data()), u"abcd");
    EXPECT_IMMEDIATE_STOP(append_wide_bounded(buffer, u"e"));
    EXPECT_IMMEDIATE_STOP(append_wide_char_bounded(buffer, u'e'));
    EXPECT_IMMEDIATE_STOP(append_ascii_bounded(buffer, "e"));
    EXPECT_EQ(std::u16string(buffer.data()), u"abcd") << "nothing stored past the capacity";
}

// What lies behind the terminator may be anything (an output buffer filled
// piece by piece); a copy that does not fit must not write over it.
TEST(BoundedCopy, ASourceThatDoesNotFitLeavesTheBufferAsItWas) {
    PlatformOverride platform;
    const struct {
        const char16_t* start;
        const char16_t* added;
        bool append;
    } cases[] = {
        {u"ab", u"cde", true},
        {u"", u"abcde", true},
        {u"ab", u"cdefgh", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.append ? "append" : "copy"));
        WideBuffer<4> buffer;
        for (char16_t& unit : buffer.units) unit = u'#';
        copy_wide_bounded(buffer, c.start);
        const std::u16string before(buffer.units, 5);
        EXPECT_IMMEDIATE_STOP(c.append ? append_wide_bounded(buffer, c.added) : copy_wide_bounded(buffer, c.added));
        EXPECT_EQ(std::u16string(buffer.units, 5), before);
    }
}

TEST(BoundedAppend, WidensAsciiByteByByte) {
    PlatformOverride platform;
    WideBuffer<40> name;
    append_ascii_bounded(name, variable::directory);
    EXPECT_EQ(std::u16string(name.data()), u"FENZAR_ONEFILE_DIRECTORY");
    append_ascii_char_bounded(name.data(), '7', 40);
    EXPECT_EQ(wide_length(name.data()), 25u);
}

TEST(BoundedAppend, ByteThatDoesNotWidenToOneCharacterStops) {
    PlatformOverride platform;
    platform.table().widen_byte = [](char, char16_t out[2]) -> size_t {
        out[0] = 0;
        return static_cast<size_t>(-1);
    };
    WideBuffer<8> buffer;
    EXPECT_IMMEDIATE_STOP(append_ascii_bounded(buffer, "A"));
}

TEST(ParseDecimalStrict, AcceptsOnlyOneWholeNumberInThe32BitRange) {
    PlatformOverride platform;
    struct Case {
        const char16_t* text;
        bool accepted;
        int32_t value;
    };
    const Case cases[] = {
        {u"42", true, 42},
        {u" 42", true, 42},
        {u"\t\n42", true, 42},
        {u"+42", true, 42},
        {u"-7", true, -7},
        {u"0042", true, 42},
        {u"2147483647", true, 2147483647},
        {u"-2147483648", true, INT32_MIN},
        {u"2147483648", false, 0},
        {u"-2147483649", false, 0},
        {u"99999999999999999999", false, 0},
        {u"42 ", false, 0},
        {u"42a", false, 0},
        {u"a42", false, 0},
        {u"", false, 0},
        {u"+", false, 0},
        {u" ", false, 0},
    };
    for (const Case& c : cases) {
        int32_t value = 12345;
        EXPECT_EQ(parse_decimal_strict(c.text, &value), c.accepted)
            << std::string(c.text, c.text + wide_length(c.text)).c_str();
        EXPECT_EQ(value, c.accepted ? c.value : 12345) << "stored only on success";
    }
}

TEST(RequireDecimalDigits, StopsOnAnythingButDigits) {
    PlatformOverride platform;
    require_decimal_digits(u"0042");
    EXPECT_IMMEDIATE_STOP(require_decimal_digits(u""));
    EXPECT_IMMEDIATE_STOP(require_decimal_digits(nullptr));
    EXPECT_IMMEDIATE_STOP(require_decimal_digits(u"+42"));
    EXPECT_IMMEDIATE_STOP(require_decimal_digits(u"4 2"));
}

TEST(CutAtLastBackslash, DropsTheLastBackslashAndWhatFollows) {
    struct Case {
        const char16_t* path;
        const char16_t* cut;
    };
    const Case cases[] = {
        {u"C:\\Tools\\app.exe", u"C:\\Tools"},
        {u"C:\\app.exe", u"C:"},
        {u"\\\\server\\share\\app.exe", u"\\\\server\\share"},
        {u"app.exe", u"app.exe"},
        {u"C:\\dir\\", u"C:\\dir"},
        {u"", u""},
    };
    for (const Case& c : cases) {
        WideBuffer<64> path;
        copy_wide_bounded(path, c.path);
        cut_at_last_backslash(path.data());
        EXPECT_EQ(std::u16string(path.data()), std::u16string(c.cut));
    }
}

TEST(MakeFullPath, StopsWhenTheFullPathDoesNotFit) {
    PlatformOverride platform;
    static uint32_t result;
    platform.table().get_full_path_name = [](const char16_t*, uint32_t, char16_t* out) -> uint32_t {
        out[0] = u'X';
        out[1] = 0;
        return result;
    };
    WideBuffer<4096> path;
    copy_wide_bounded(path, u"rel");
    result = 1;
    make_full_path_in_place(path);
    EXPECT_EQ(std::u16string(path.data()), u"X");
    for (uint32_t bad : {0u, 4096u, 5000u}) {
        result = bad;
        EXPECT_IMMEDIATE_STOP(make_full_path_in_place(path));
    }
}

class Environment : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("FENZAR_TEST_VALUE"); }
};

TEST_F(Environment, EmptyOrUnsetReadsAsAbsent) {
    unsetenv("FENZAR_TEST_VALUE");
    EXPECT_FALSE(get_environment_copy("FENZAR_TEST_VALUE").valid());
    setenv("FENZAR_TEST_VALUE", "", 1);
    EXPECT_FALSE(get_environment_copy("FENZAR_TEST_VALUE").valid());
}

TEST_F(Environment, LongestValueIsReturnedWhole) {
    std::string value(32767, 'v');
    value[0] = 'a';
    value[32766] = 'z';
    setenv("FENZAR_TEST_VALUE", value.c_str(), 1);
    EnvironmentCopy copy = get_environment_copy("FENZAR_TEST_VALUE");
    ASSERT_TRUE(copy.valid());
    EXPECT_EQ(wide_length(copy.get()), 32767u);
    EXPECT_EQ(copy[0], u'a');
    EXPECT_EQ(copy[32766], u'z');
}

TEST_F(Environment, SetNumberAndUnsetAreSeenByLaterReads) {
    set_environment_number("FENZAR_TEST_VALUE", -2147483647 - 1);
    EXPECT_STREQ(std::getenv("FENZAR_TEST_VALUE"), "-2147483648");
    set_environment_value("FENZAR_TEST_VALUE", u"w\u00e9rt");
    EnvironmentCopy copy = get_environment_copy("FENZAR_TEST_VALUE");
    ASSERT_TRUE(copy.valid());
    EXPECT_EQ(std::u16string(copy.get()), u"w\u00e9rt");
    unset_environment_value("FENZAR_TEST_VALUE");
    EXPECT_FALSE(get_environment_copy("FENZAR_TEST_VALUE").valid());
}

std::string system_error_line(uint32_t code, const char* platform_text) {
    PlatformOverride platform;
    static std::string text;
    text = platform_text == nullptr ? "" : platform_text;
    static bool has_text;
    has_text = platform_text != nullptr;
    platform.table().format_system_message = [](uint32_t, char** out) -> uint32_t {
        if (!has_text) return 0;
        *out = text.data();
        return static_cast<uint32_t>(text.size());
    };
    testing::internal::CaptureStderr();
    report_system_error("T", code);
    return testing::internal::GetCapturedStderr();
}

TEST(ReportSystemError, StripsOnlyTheTrailingLineEnding) {
    struct Case {
        uint32_t code;
        const char* platform_text;
        const char* line;
    };
    const Case cases[] = {
        {5, "Access is denied.\r\n", "T ([Error 5] Access is denied.)\n"},
        {5, "two\r\nlines\n\n\r", "T ([Error 5] two\r\nlines)\n"},
        {7, "\r\n\r\n", "T ([Error 7] )\n"},
        {7, nullptr, "T ([Error 7] )\n"},
        {0x80000000u, "x", "T ([Error -2147483648] x)\n"},
        {0xC0000005u, "x\n", "T ([Error -1073741819] x)\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(system_error_line(c.code, c.platform_text), c.line);
}

TEST(ReportOpenFailure, NamesThePathOnStandardErrorAndExitsWithTwo) {
    EXPECT_EXIT(report_open_failure(u"C:\\t\\onefile_1\\a.txt"), ::testing::ExitedWithCode(2),
                "^Error, failed to open 'C:\\\\t\\\\onefile_1\\\\a.txt' for writing.\n$");
}

TEST(ReportSpecFailure, PrintsTheTemplateAndStopsImmediately) {
    EXPECT_EXIT(report_spec_failure(u"{TEMP}\\onefile_{PID}"),
                ::testing::ExitedWithCode(static_cast<int>(platform::immediate_stop_status & 0xFF)),
                "^Error, couldn't runtime expand spec '\\{TEMP\\}\\\\onefile_\\{PID\\}'.\n$");
}

TEST(FailWithMessage, PlainLineOnStandardOutputAndStatusTwo) {
    PlatformOverride platform;
    static int status;
    struct Exited {};
    platform.table().exit_process = [](int code) {
        status = code;
        throw Exited{};
    };
    testing::internal::CaptureStdout();
    EXPECT_THROW(fail_with_message(message::header_not_found), Exited);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error, couldn't find attached data header.\n");
    EXPECT_EQ(status, 2);
}

// A message shows every character of a path it can: a surrogate without its
// partner would make a conversion drop the rest of the path, so it becomes
// U+FFFD; pairs and everything else stay as they are.
TEST(DisplayablePath, ReplacesOnlyLoneSurrogates) {
    struct Case {
        std::u16string path;
        std::u16string shown;
    } cases[] = {
        {u"C:\\t\\plain.txt", u"C:\\t\\plain.txt"},
        {u"C:\\\u00FC\\\u0436\\\U0001F600", u"C:\\\u00FC\\\u0436\\\U0001F600"},
        {u"a" + std::u16string(1, 0xD800) + u"b", u"a\uFFFDb"},
        {u"a" + std::u16string(1, 0xDC00) + u"b", u"a\uFFFDb"},
        {u"a" + std::u16string(1, 0xDBFF), u"a\uFFFD"},
        {std::u16string(1, 0xDC00) + std::u16string(1, 0xD800), u"\uFFFD\uFFFD"},
        {std::u16string(1, 0xD800) + std::u16string(1, 0xD800) + std::u16string(1, 0xDC00), u"\uFFFD\U00010000"},
    };
    DisplayablePath shown;
    for (const Case& c : cases) {
        EXPECT_EQ(std::u16string(displayable_path(c.path.c_str(), shown)), c.shown) << testing::PrintToString(c.path);
    }
}

}  // namespace

// Windows' texts keep "%1" where a file's name belongs; the line names the
// file there. What the lines said goes to the platform once, at the end, for
// a person who cannot see the streams.
TEST(ReportSystemErrorAbout, NamesTheFileAndShowsEveryLineAtTheEnd) {
    PlatformOverride platform;
    static std::string text;
    static std::u16string shown;
    struct Exited {};
    platform.table().format_system_message = [](uint32_t, char** out) -> uint32_t {
        *out = text.data();
        return static_cast<uint32_t>(text.size());
    };
    platform.table().show_unseen_message = [](const char16_t* said) { shown = said; };
    platform.table().exit_process = [](int) { throw Exited{}; };
    struct Case {
        const char* platform_text;
        const char16_t* file;
        const char* line;
        const char16_t* said;
    };
    const Case cases[] = {
        {"Bad EXE format for %1.\r\n", u"C:\\t\\\u00e9.dll",
         "T ([Error 193] Bad EXE format for C:\\t\\\xc3\xa9.dll.)\n",
         u"T ([Error 193] Bad EXE format for C:\\t\\\u00e9.dll.)"},
        // Only the first placeholder; a '%' of the text is no conversion.
        {"%1 is 100% %1", u"a.dll", "T ([Error 193] a.dll is 100% %1)\n", u"T ([Error 193] a.dll is 100% %1)"},
        {"No placeholder.", u"a.dll", "T ([Error 193] No placeholder.)\n", u"T ([Error 193] No placeholder.)"},
        {"Bad %1", nullptr, "T ([Error 193] Bad %1)\n", u"T ([Error 193] Bad %1)"},
    };
    for (const Case& c : cases) {
        text = c.platform_text;
        shown.clear();
        testing::internal::CaptureStderr();
        report_system_error_about("T", 193, c.file);
        report_explanation(u"Why: \u00e9.");
        EXPECT_THROW(fail_after_reports(), Exited);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(c.line) + "Why: \xc3\xa9.\n");
        // Earlier failures of this test process said more before; the end
        // of the text is this one's, without a last line break.
        std::u16string expected = std::u16string(c.said) + u"\nWhy: \u00e9.";
        ASSERT_GE(shown.size(), expected.size());
        EXPECT_EQ(shown.substr(shown.size() - expected.size()), expected);
    }
}

}  // namespace fenzar
