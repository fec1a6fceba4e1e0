// The child's command line: the quoting of single arguments, the whole line
// built from the raw command line, its limit, and the round trip through the
// launcher's splitter (the rules of CommandLineToArgvW).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "child/command_line.h"
#include "child/split_command_line.h"
#include "launcher/own_path.h"
#include "platform_override.h"

namespace fenzar {

namespace {

// [q] is a double quote and [b] a backslash, as in the table of cases.
std::u16string decode(const std::u16string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 3, u"[q]") == 0) {
            out += u'"';
            i += 2;
        } else if (text.compare(i, 3, u"[b]") == 0) {
            out += u'\\';
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::u16string written_for(const std::u16string& argument) {
    auto child_command_line = std::make_unique<ChildCommandLine>();
    append_argument(*child_command_line, argument.c_str());
    return child_command_line->data();
}

std::vector<std::u16string> split(const std::u16string& line) {
    CommandLineArguments split = split_command_line(line.c_str());
    return std::vector<std::u16string>(split.pointers.get(), split.pointers.get() + split.count);
}

struct QuotingCase {
    std::u16string argument;
    std::u16string written;
};

const QuotingCase quoting_cases[] = {
    {u"plain", u"plain"},
    {u"two words", u"[q]two words[q]"},
    {u"a[q]b", u"[q]a[b][q]b[q]"},
    {u"say [q]hi[q]", u"[q]say [b][q]hi[b][q][q]"},
    {u"[q]", u"[q][b][q][q]"},
    {u"C:[b]dir with space[b]", u"[q]C:[b]dir with space[b][b][q]"},
    {u"C:[b]dir with space[b][b]", u"[q]C:[b]dir with space[b][b][b][b][q]"},
    {u"x[b][q]y", u"[q]x[b][b][b][q]y[q]"},
    {u"x[b][b][q]y z", u"[q]x[b][b][b][b][b][q]y z[q]"},
    {u"a[b][b]z c", u"[q]a[b][b]z c[q]"},
    {u"back[b]slash", u"back[b]slash"},
    {u"[b]", u"[b]"},
    {u" ", u"[q] [q]"},
    {u"", u"[q][q]"},
    // Tab, line feed and vertical tab force quotes and stay as they are.
    {u"a\tb", u"[q]a\tb[q]"},
    {u"a\nb", u"[q]a\nb[q]"},
    {u"a\vb", u"[q]a\vb[q]"},
    {u"\t", u"[q]\t[q]"},
    // Carriage return and form feed do not.
    {u"a\rb", u"a\rb"},
    {u"a\fb", u"a\fb"},
    // Backslashes before a character other than a quote stay single.
    {u"[b][b]server[b]share dir[b]x", u"[q][b][b]server[b]share dir[b]x[q]"},
    {u"\u00e9t\u00e9 \u65e5\u672c", u"[q]\u00e9t\u00e9 \u65e5\u672c[q]"},
};

TEST(AppendArgument, WritesEachArgumentWithTheQuotingTheSplitterUndoes) {
    PlatformOverride platform;
    for (const QuotingCase& row : quoting_cases) {
        std::u16string argument = decode(row.argument);
        EXPECT_EQ(written_for(argument), decode(row.written)) << "argument: " << testing::PrintToString(argument);
    }
}

TEST(AppendArgument, EveryArgumentSurvivesTheSplitter) {
    PlatformOverride platform;
    for (const QuotingCase& row : quoting_cases) {
        std::u16string argument = decode(row.argument);
        // The splitter treats only space and tab as separators; line feed and
        // vertical tab are quoted anyway.
        std::vector<std::u16string> arguments = split(u"program " + written_for(argument));
        ASSERT_EQ(arguments.size(), 2u) << testing::PrintToString(argument);
        EXPECT_EQ(arguments[1], argument);
    }
}

TEST(AppendArgument, AppendsAfterWhatIsAlreadyThere) {
    PlatformOverride platform;
    auto child_command_line = std::make_unique<ChildCommandLine>();
    append_argument(*child_command_line, u"first");
    append_wide_char_bounded(*child_command_line, u' ');
    append_argument(*child_command_line, u"second one\\");
    EXPECT_EQ(std::u16string(child_command_line->data()), u"first \"second one\\\\\"");
}

// build_child_command_line against a chosen raw command line and module path,
// which the flow reads just before it.
std::u16string raw_command_line;
std::u16string module_path;

class BuildCommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        platform.table().get_raw_command_line = []() -> const char16_t* { return raw_command_line.c_str(); };
        platform.table().get_own_module_file_name = [](char16_t* out, uint32_t size) -> uint32_t {
            if (module_path.size() + 1 > size) return 0;
            std::copy(module_path.c_str(), module_path.c_str() + module_path.size() + 1, out);
            return static_cast<uint32_t>(module_path.size());
        };
    }

    // As the flow does it in a new run.
    void build_line() {
        OwnPaths own_paths;
        fill_module_file_name(own_paths);
        build_child_command_line(child_command_line, own_paths.module_file_name.data());
    }

    std::u16string build(const std::u16string& raw, const std::u16string& module) {
        raw_command_line = raw;
        module_path = module;
        build_line();
        return child_command_line.data();
    }

    PlatformOverride platform;
    ChildCommandLine child_command_line;
};

TEST_F(BuildCommandLine, ReplacesTheProgramNameByTheModulePath) {
    struct Case {
        std::u16string raw;
        std::u16string module;
        std::u16string expected;
    } cases[] = {
        {u"app", u"C:\\My Apps\\app.exe", u"\"C:\\My Apps\\app.exe\""},
        {u"app", u"C:\\apps\\app.exe", u"C:\\apps\\app.exe"},
        {u"\"c:\\APPS\\App\" x", u"C:\\apps\\app.exe", u"C:\\apps\\app.exe x"},
        {u"..\\app.exe  one \"two three\"", u"C:\\apps\\app.exe", u"C:\\apps\\app.exe one \"two three\""},
        // Empty arguments, alone, in a row and last, stay arguments.
        {u"app a \"\" b", u"C:\\My Apps\\app.exe", u"\"C:\\My Apps\\app.exe\" a \"\" b"},
        {u"app \"\"", u"C:\\apps\\app.exe", u"C:\\apps\\app.exe \"\""},
        {u"app \"\" \"\" \"\"", u"C:\\apps\\app.exe", u"C:\\apps\\app.exe \"\" \"\" \"\""},
        {u"app -f -o \"\" input", u"C:\\apps\\app.exe", u"C:\\apps\\app.exe -f -o \"\" input"},
        {u"app \"a\\\"b\" c\\\\", u"C:\\apps\\app.exe", u"C:\\apps\\app.exe \"a\\\"b\" c\\\\"},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(build(row.raw, row.module), row.expected) << testing::PrintToString(row.raw);
    }
}

TEST_F(BuildCommandLine, ChildSeesTheSameArguments) {
    const std::u16string tails[] = {
        u"plain \"two words\" \"\" \"say \\\"hi\\\"\" C:\\dir\\ \"tab\there\" x\\\\\\\"y",
        u"\"\"",
        u"\"\" \"\" x \"\"",
        u"-f -o \"\" input",
        u"a\"\" \"\"b \"\"\"\"",
    };
    for (const std::u16string& tail : tails) {
        std::u16string raw = u"app " + tail;
        std::vector<std::u16string> expected = split(raw);
        expected[0] = u"C:\\Program Files\\app.exe";
        EXPECT_EQ(split(build(raw, u"C:\\Program Files\\app.exe")), expected) << testing::PrintToString(raw);
    }
}

TEST_F(BuildCommandLine, EmptiesTheLineBeforeBuilding) {
    append_wide_bounded(child_command_line, u"left over");
    EXPECT_EQ(build(u"app x", u"C:\\a.exe"), u"C:\\a.exe x");
}

TEST_F(BuildCommandLine, UnreadableModulePathIsAnImmediateStop) {
    raw_command_line = u"app";
    module_path = std::u16string(5000, u'a');
    EXPECT_IMMEDIATE_STOP(build_line());
}

// "C:\a.exe" and a space take 9 units; the argument fills the rest.
constexpr size_t program_and_space = 9;

TEST_F(BuildCommandLine, LineOfExactlyTheCapacityIsBuiltOneMoreStops) {
    struct Case {
        const char* what;
        std::u16string argument_for_length;  // repeated unit, then suffix
        char16_t unit;
        std::u16string suffix;
        size_t overhead;  // units added by quoting
    } cases[] = {
        {"bare", u"", u'a', u"", 0},
        {"quoted", u"", u'a', u" b", 2},
        {"quoted, doubled backslashes at the end", u"", u'a', u" b\\\\", 4},
    };
    for (const Case& row : cases) {
        for (size_t total : {child_command_line_capacity, child_command_line_capacity + 1}) {
            size_t argument_length = total - program_and_space - row.overhead;
            std::u16string argument(argument_length - row.suffix.size(), row.unit);
            argument += row.suffix;
            raw_command_line = u"app " + argument;
            // Only an argument without quotes or spaces can be given bare.
            if (row.overhead > 0)
                raw_command_line = u"app \"" + argument + (row.suffix.back() == u'\\' ? u"\\\\\"" : u"\"");
            module_path = u"C:\\a.exe";
            ASSERT_EQ(split(raw_command_line).at(1), argument) << row.what;
            if (total == child_command_line_capacity) {
                build_line();
                EXPECT_EQ(wide_length(child_command_line.data()), total) << row.what;
                EXPECT_EQ(split(child_command_line.data()).at(1), argument) << row.what;
            } else {
                EXPECT_IMMEDIATE_STOP(build_line()) << row.what;
            }
        }
    }
}

}  // namespace

namespace {

// The splitter on its own, by the rules of CommandLineToArgvW; the Wine
// tests compare it with the system's splitter on many more lines.
TEST(SplitCommandLine, FollowsTheSystemRules) {
    struct Case {
        std::u16string line;
        std::vector<std::u16string> arguments;
    } cases[] = {
        {u"", {u""}},
        {u"app", {u"app"}},
        {u"app   a\tb  ", {u"app", u"a", u"b"}},
        {u"  a", {u"", u"a"}},
        // The program name ends at the next quote or blank and takes no escapes.
        {u"[q]C:[b]my dir[b]app.exe[q] x", {u"C:[b]my dir[b]app.exe", u"x"}},
        {u"[q]a b[q]c d", {u"a b", u"c", u"d"}},
        {u"C:[b]a[q]b c[q] d", {u"C:[b]a[q]b", u"c d"}},
        {u"[q]unclosed program", {u"unclosed program"}},
        // Backslashes count only before a quote.
        {u"p a[b]b [b][b]server", {u"p", u"a[b]b", u"[b][b]server"}},
        {u"p a[b][q]b", {u"p", u"a[q]b"}},
        {u"p a[b][b][q]b c[q]", {u"p", u"a[b]b c"}},
        {u"p a[b][b][b][q]b", {u"p", u"a[b][q]b"}},
        {u"p [q]dir[b][b][q] x", {u"p", u"dir[b]", u"x"}},
        // Quotes: an empty argument, an open quote to the end, runs of quotes.
        {u"p [q][q] x", {u"p", u"", u"x"}},
        {u"p [q]open to the end", {u"p", u"open to the end"}},
        {u"p [q]a[q][q]b[q] c", {u"p", u"a[q]b c"}},
        {u"p [q]a[q][q][q]b[q] c", {u"p", u"a[q]b", u"c"}},
        {u"p [q][q][q]x[q][q][q]", {u"p", u"[q]x[q]"}},
        {u"p a[q][q][q]b c", {u"p", u"a[q]b", u"c"}},
        {u"p [q]a b[q]c", {u"p", u"a bc"}},
    };
    for (const Case& row : cases) {
        std::vector<std::u16string> expected;
        for (const std::u16string& argument : row.arguments) expected.push_back(decode(argument));
        EXPECT_EQ(split(decode(row.line)), expected) << testing::PrintToString(decode(row.line));
    }
}

}  // namespace

// A program's command line: its quoted path, then the raw line's tail as it
// stands. The tail begins where the splitter ends argument 0, so the
// program's own splitter sees the same arguments from argument 1 on.
TEST(ProgramCommandLine, KeepsTheTailAfterTheLaunchersNameExactly) {
    struct Case {
        std::u16string raw;
        std::u16string tail;
    };
    const Case cases[] = {
        {u"app.exe", u""},
        {u"app.exe a b", u" a b"},
        {u"app.exe   spaced  out  ", u"   spaced  out  "},
        {u"app.exe\ttab", u"\ttab"},
        {u"[q]C:[b]My Apps[b]app.exe[q] x", u" x"},
        {u"[q]C:[b]My Apps[b]app.exe[q]glued [q]y z[q]", u"glued [q]y z[q]"},
        {u"[q]unterminated name", u""},
        {u"", u""},
        {u" leading blank", u" leading blank"},
        {u"app.exe a[q][q]b [q]c d[q][q][q]e x[b][b][q]y", u" a[q][q]b [q]c d[q][q][q]e x[b][b][q]y"},
    };
    for (const Case& c : cases) {
        std::u16string raw = decode(c.raw);
        SCOPED_TRACE(std::string(c.raw.begin(), c.raw.end()));
        EXPECT_EQ(std::u16string(command_line_tail(raw.c_str())), decode(c.tail));
        auto line = std::make_unique<ChildCommandLine>();
        ASSERT_TRUE(build_program_command_line(*line, u"C:\\T\\onefile_1\\tool.exe", raw.c_str()));
        EXPECT_EQ(std::u16string(line->data()), u"\"C:\\T\\onefile_1\\tool.exe\"" + decode(c.tail));
        // The splitter gives the program what it gives the launcher, but
        // argument 0.
        std::vector<std::u16string> launcher = split(raw.empty() ? u"x" : raw);
        std::vector<std::u16string> program = split(line->data());
        if (!raw.empty()) {
            ASSERT_EQ(program.size(), launcher.size());
            EXPECT_TRUE(std::equal(program.begin() + 1, program.end(), launcher.begin() + 1));
        }
    }
}

TEST(ProgramCommandLine, ALineBeyondTheCapacityIsRefusedAndLeftEmpty) {
    const std::u16string path = u"C:\\p.exe";
    // Quotes and path take path.size() + 2 units; the tail fills the rest.
    std::u16string fits = u"p " + std::u16string(child_command_line_capacity - path.size() - 2 - 1, u'a');
    auto line = std::make_unique<ChildCommandLine>();
    ASSERT_TRUE(build_program_command_line(*line, path.c_str(), fits.c_str()));
    EXPECT_EQ(wide_length(line->data()), child_command_line_capacity);
    std::u16string too_long = fits + u"a";
    EXPECT_FALSE(build_program_command_line(*line, path.c_str(), too_long.c_str()));
    EXPECT_EQ(line->data()[0], 0);
}

}  // namespace fenzar
