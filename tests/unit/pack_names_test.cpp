// Entry name rules of the packer and its UTF-8 to UTF-16 conversion.
#include <gtest/gtest.h>

#include <string>

#include "names.h"

namespace {

using fenzar::pack::name_problem;
using fenzar::pack::utf8_to_utf16;

struct refused_name {
    std::u16string name;
    const char* reason;
};

class RefusedName : public testing::TestWithParam<refused_name> {};

TEST_P(RefusedName, GivesItsReason) {
    EXPECT_NE(name_problem(GetParam().name).find(GetParam().reason), std::string::npos)
        << "got: " << name_problem(GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedName,
    testing::Values(
        refused_name{u"", "empty"}, refused_name{u"\\app.dll", "absolute"},
        refused_name{u"\\\\server\\share\\x", "absolute"},
        refused_name{u"C:\\x.txt", "drive or colon"}, refused_name{u"C:x.txt", "drive or colon"},
        refused_name{u"file.txt:stream", "drive or colon"},
        refused_name{u"data/x.txt", "forward slash"},
        refused_name{u"data\\\\x.txt", "empty component"},
        refused_name{u"data\\", "empty component"}, refused_name{u".\\x.txt", "\".\" or \"..\""},
        refused_name{u"data\\..\\..\\x.txt", "\".\" or \"..\""},
        refused_name{u"..", "\".\" or \"..\""},
        refused_name{std::u16string(1024, u'a'), "longer than 1023"},
        refused_name{u"a<b", "does not allow"}, refused_name{u"what?", "does not allow"},
        refused_name{u"tab\there", "does not allow"}, refused_name{u"dir.\\x", "dot or space"},
        refused_name{u"x ", "dot or space"}, refused_name{u"nul", "device name"},
        refused_name{u"data\\CON.txt", "device name"}, refused_name{u"com7.log", "device name"},
        refused_name{u"Lpt1", "device name"}, refused_name{u"com0", "device name"},
        refused_name{u"LPT0.txt", "device name"}, refused_name{u"CONIN$", "device name"},
        refused_name{u"conout$.log", "device name"}, refused_name{u"Clock$", "device name"},
        refused_name{u"COM\u00B9", "device name"}, refused_name{u"lpt\u00B3.x", "device name"},
        refused_name{u"nul .txt", "device name"}, refused_name{u"a\\...\\b", "\".\" or \"..\""},
        refused_name{u". .\\x", "\".\" or \"..\""}));

TEST(AcceptedName, HasNoProblem) {
    const std::u16string accepted[] = {u"app.dll",
                                       u"data\\sub\\x.bin",
                                       std::u16string(1023, u'a'),
                                       u"..hidden",
                                       u"a..b",
                                       u"com10",
                                       u"lpt\u00B4",
                                       u"conin",
                                       u"console.txt",
                                       u"nulx",
                                       u"\u00fc\u20ac",
                                       u"\xD83D\xDE00",
                                       u"lone\xD800",
                                       u".config\\x"};
    for (const auto& name : accepted) {
        EXPECT_EQ(name_problem(name), "") << fenzar::pack::utf16_to_display(name);
    }
}

TEST(Utf8ToUtf16, ConvertsEveryLength) {
    EXPECT_EQ(utf8_to_utf16("a\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80"),
              std::u16string(u"a\u00fc\u20ac\xD83D\xDE00"));
    EXPECT_EQ(utf8_to_utf16("\xf4\x8f\xbf\xbf"), std::u16string(u"\xDBFF\xDFFF"));
}

TEST(Utf8ToUtf16, RefusesMalformedInput) {
    const char* malformed[] = {
        "\x80",              // continuation without a lead
        "\xc0\x80",          // overlong NUL
        "\xe0\x80\xaf",      // overlong slash
        "\xed\xa0\x80",      // encoded surrogate
        "\xf4\x90\x80\x80",  // above U+10FFFF
        "\xe2\x82",          // truncated
        "\xc3\x28",          // bad continuation
        "\xff",
    };
    for (const char* text : malformed) EXPECT_FALSE(utf8_to_utf16(text)) << text;
}

TEST(Utf16ToDisplay, EscapesUnpairedSurrogates) {
    EXPECT_EQ(fenzar::pack::utf16_to_display(u"a\xDC00"
                                             u"b\xD83D\xDE00"),
              "a\\u{DC00}b\xf0\x9f\x98\x80");
}

}  // namespace
