// Entry name rules of the packer and its UTF-8 to UTF-16 conversion.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "names.h"

namespace fenzar {

namespace {

using fenzar::pack::component_less;
using fenzar::pack::find_file_under_directory_clash;
using fenzar::pack::fold_name;
using fenzar::pack::name_problem;
using fenzar::pack::utf16_to_wtf8;
using fenzar::pack::utf8_to_utf16;
using fenzar::pack::wtf8_to_utf16;

struct RefusedNameCase {
    std::u16string name;
    const char* reason;
};

class RefusedName : public testing::TestWithParam<RefusedNameCase> {};

TEST_P(RefusedName, GivesItsReason) {
    EXPECT_NE(name_problem(GetParam().name).find(GetParam().reason), std::string::npos)
        << "got: " << name_problem(GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedName,
    testing::Values(
        RefusedNameCase{u"", "empty"}, RefusedNameCase{u"\\app.dll", "absolute"},
        RefusedNameCase{u"\\\\server\\share\\x", "absolute"}, RefusedNameCase{u"C:\\x.txt", "drive or colon"},
        RefusedNameCase{u"C:x.txt", "drive or colon"}, RefusedNameCase{u"file.txt:stream", "drive or colon"},
        RefusedNameCase{u"data/x.txt", "forward slash"}, RefusedNameCase{u"data\\\\x.txt", "empty component"},
        RefusedNameCase{u"data\\", "empty component"}, RefusedNameCase{u".\\x.txt", "\".\" or \"..\""},
        RefusedNameCase{u"data\\..\\..\\x.txt", "\".\" or \"..\""}, RefusedNameCase{u"..", "\".\" or \"..\""},
        RefusedNameCase{std::u16string(1024, u'a'), "longer than 1023"}, RefusedNameCase{u"a<b", "does not allow"},
        RefusedNameCase{u"what?", "does not allow"}, RefusedNameCase{u"tab\there", "does not allow"},
        RefusedNameCase{u"dir.\\x", "dot or space"}, RefusedNameCase{u"x ", "dot or space"},
        RefusedNameCase{u"nul", "device name"}, RefusedNameCase{u"data\\CON.txt", "device name"},
        RefusedNameCase{u"com7.log", "device name"}, RefusedNameCase{u"Lpt1", "device name"},
        RefusedNameCase{u"com0", "device name"}, RefusedNameCase{u"LPT0.txt", "device name"},
        RefusedNameCase{u"CONIN$", "device name"}, RefusedNameCase{u"conout$.log", "device name"},
        RefusedNameCase{u"Clock$", "device name"}, RefusedNameCase{u"COM\u00B9", "device name"},
        RefusedNameCase{u"lpt\u00B3.x", "device name"}, RefusedNameCase{u"nul .txt", "device name"},
        RefusedNameCase{u"a\\...\\b", "\".\" or \"..\""}, RefusedNameCase{u". .\\x", "\".\" or \"..\""},
        RefusedNameCase{u"lone\xD800", "unpaired surrogate"}, RefusedNameCase{u"\xDC00_first", "unpaired surrogate"},
        RefusedNameCase{u"dir\xDE00\\x", "unpaired surrogate"},
        RefusedNameCase{u"swapped\xDE00\xD83D", "unpaired surrogate"}));

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
                                       u".config\\x"};
    for (const auto& name : accepted) {
        EXPECT_EQ(name_problem(name), "") << fenzar::pack::utf16_to_display(name);
    }
}

TEST(FileUnderDirectoryClash, FindsAFileThatIsAlsoADirectory) {
    using Names = std::vector<std::u16string>;
    using Clash = std::optional<std::pair<std::size_t, std::size_t>>;
    const std::pair<Names, Clash> cases[] = {
        {{u"app.dll", u"x", u"x\\y"}, std::pair<std::size_t, std::size_t>{1, 2}},
        {{u"x\\y", u"x"}, std::pair<std::size_t, std::size_t>{1, 0}},
        {{u"a\\b", u"a\\b\\c\\d"}, std::pair<std::size_t, std::size_t>{0, 1}},
        // As Windows compares names.
        {{u"\u00c9", u"\u00e9\\x"}, std::pair<std::size_t, std::size_t>{0, 1}},
        // A repeated file is no directory.
        {{u"x", u"x"}, std::nullopt},
        {{u"x", u"xy\\z", u"x.d\\z"}, std::nullopt},
        {{u"d\\x", u"d\\y"}, std::nullopt},
        {{u"ss", u"\u00df\\x"}, std::nullopt},
    };
    for (const auto& [given, expected] : cases) {
        EXPECT_EQ(find_file_under_directory_clash(given), expected) << fenzar::pack::utf16_to_display(given.back());
    }
}

TEST(Utf8ToUtf16, ConvertsEveryLength) {
    EXPECT_EQ(utf8_to_utf16("a\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80"), std::u16string(u"a\u00fc\u20ac\xD83D\xDE00"));
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

// Pairs that NTFS's case-insensitive comparison makes one file, across the
// kinds of runs in the uppercase table: contiguous ranges, every other unit,
// single far moves, and titlecase letters.
TEST(FoldName, MakesWindowsCaseVariantsEqual) {
    const std::pair<std::u16string, std::u16string> same[] = {
        {u"Readme.TXT", u"README.txt"},
        {u"\u00C9.txt", u"\u00E9.txt"},      // É é
        {u"\u03A3.txt", u"\u03C3.txt"},      // Σ σ
        {u"\u03C2", u"\u03C3"},              // final sigma
        {u"\u0416\u0436", u"\u0436\u0416"},  // Ж ж
        {u"\u0100\u0101", u"\u0101\u0100"},  // Ā ā
        {u"\u0178", u"\u00FF"},              // Ÿ ÿ
        {u"\u01C4", u"\u01C6"},              // Ǆ ǆ
        {u"\u01C5", u"\u01C6"},              // ǅ ǆ
        {u"\uFF21", u"\uFF41"},              // fullwidth A a
        {u"\u24B6", u"\u24D0"},              // Ⓐ ⓐ
        {u"\u10A0", u"\u2D00"},              // Georgian
        {u"dir\\\u00C9\\x", u"DIR\\\u00E9\\X"},
    };
    for (const auto& [a, b] : same) {
        EXPECT_EQ(fold_name(a), fold_name(b)) << fenzar::pack::utf16_to_display(a);
    }
}

// A unit maps to one unit only, and only by its own simple mapping.
TEST(FoldName, KeepsDifferentNamesApart) {
    const std::pair<std::u16string, std::u16string> different[] = {
        {u"\u00DF", u"ss"},                  // ß has no one-unit uppercase
        {u"\u00DF", u"\u1E9E"},              // ß ẞ
        {u"i", u"\u0130"},                   // i İ
        {u"a", u"\u00E1"},                   // a á
        {u"\xD801\xDC28", u"\xD801\xDC00"},  // Deseret: surrogates stay as they are
        {u"a.txt", u"a.txt "},
    };
    for (const auto& [a, b] : different) {
        EXPECT_NE(fold_name(a), fold_name(b)) << fenzar::pack::utf16_to_display(a);
    }
}

// Folding a folded name changes nothing: a table entry that moved a unit
// onto another lower-case unit would show here.
TEST(FoldName, IsStableForEveryUnit) {
    for (char32_t unit = 0; unit <= 0xFFFF; ++unit) {
        const std::u16string once = fold_name(std::u16string(1, static_cast<char16_t>(unit)));
        ASSERT_EQ(fold_name(once), once) << std::hex << static_cast<unsigned>(unit);
    }
}

// Directory entries are taken in the byte order of their UTF-8 names on
// Linux; component_less must order the UTF-16 names of Windows the same way.
TEST(ComponentLess, AgreesWithUtf8ByteOrder) {
    std::mt19937 generator(11);
    const char32_t samples[] = {u'a',   u'Z',   0x7F,   0xE9,    0x7FF,   0x800,   0xD7FF,
                                0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    auto random_name = [&] {
        std::u16string name;
        for (int length = generator() % 4 + 1; length > 0; --length) {
            const char32_t value = samples[generator() % std::size(samples)];
            if (value >= 0x10000) {
                name.push_back(static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10)));
                name.push_back(static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
            } else {
                name.push_back(static_cast<char16_t>(value));
            }
        }
        return name;
    };
    for (int i = 0; i < 20000; ++i) {
        const auto a = random_name();
        const auto b = random_name();
        EXPECT_EQ(component_less(a, b), utf16_to_wtf8(a) < utf16_to_wtf8(b))
            << utf16_to_wtf8(a) << " " << utf16_to_wtf8(b);
    }
}

TEST(Wtf8, KeepsEveryUtf16TextAcrossTheRoundTrip) {
    const std::u16string texts[] = {u"",
                                    u"plain",
                                    u"\u00FC\u20AC\xD83D\xDE00",
                                    u"lone\xD800",
                                    u"\xDC00"
                                    u"first",
                                    u"\xDBFF\xDBFF\xDFFF",
                                    u"a\xDFFF\xD800"
                                    u"b"};
    for (const auto& text : texts) {
        EXPECT_EQ(wtf8_to_utf16(utf16_to_wtf8(text)), text) << utf16_to_wtf8(text);
    }
    EXPECT_EQ(utf16_to_wtf8(u"\xD83D\xDE00"), "\xf0\x9f\x98\x80");
    EXPECT_FALSE(utf8_to_utf16(utf16_to_wtf8(u"lone\xD800")));
}

}  // namespace

}  // namespace fenzar
