#include "target_dir/expand_spec.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/arguments.h"
#include "platform_override.h"

namespace fenzar {

namespace {

// The system as the expansion sees it; the case-insensitive comparison, the
// digit class and the widening of bytes stay those of the platform layer.
struct FakeSystem {
    std::map<std::u16string, std::u16string> environment;
    std::vector<std::u16string> variables_written;
    std::u16string temp = u"C:\\Temp\\";
    std::vector<uint32_t> temp_sizes;
    std::u16string profile = u"C:\\Users\\me";
    std::u16string local_app_data = u"C:\\Users\\me\\AppData\\Local";
    int32_t folder_result = 0;
    uint32_t process_id = 4242;
    uint64_t file_time = 0;
    // The counter is this value xor the address it is written to.
    uint64_t counter_xor_address = 0;
};

FakeSystem* fake = nullptr;

uint32_t fake_get_environment_variable(const char16_t* name, char16_t* buffer, uint32_t size) {
    auto found = fake->environment.find(name);
    if (found == fake->environment.end() || found->second.empty()) return 0;
    const std::u16string& value = found->second;
    if (value.size() >= size) return static_cast<uint32_t>(value.size() + 1);
    std::memcpy(buffer, value.c_str(), (value.size() + 1) * sizeof(char16_t));
    return static_cast<uint32_t>(value.size());
}

bool fake_set_environment_variable(const char16_t* name, const char16_t* value) {
    fake->variables_written.push_back(name);
    if (value == nullptr) {
        fake->environment.erase(name);
    } else {
        fake->environment[name] = value;
    }
    return true;
}

// GetTempPathW writes nothing when the path and its terminator do not fit.
uint32_t fake_get_temp_path(uint32_t size, char16_t* out) {
    fake->temp_sizes.push_back(size);
    const std::u16string& temp = fake->temp;
    if (temp.size() + 1 > size) return static_cast<uint32_t>(temp.size() + 1);
    std::memcpy(out, temp.c_str(), (temp.size() + 1) * sizeof(char16_t));
    return static_cast<uint32_t>(temp.size());
}

int32_t fake_get_folder_path(int csidl, char16_t* out) {
    if (fake->folder_result != 0) return fake->folder_result;
    const std::u16string* folder = nullptr;
    if (csidl == 0x28) folder = &fake->profile;
    if (csidl == 0x1C) folder = &fake->local_app_data;
    if (folder == nullptr) return static_cast<int32_t>(0x80070057u);
    std::memcpy(out, folder->c_str(), (folder->size() + 1) * sizeof(char16_t));
    return 0;
}

uint32_t fake_current_process_id() { return fake->process_id; }
uint64_t fake_system_time() { return fake->file_time; }

void fake_query_performance_counter(int64_t* counter) {
    uint64_t address = reinterpret_cast<uintptr_t>(counter);
    *counter = static_cast<int64_t>(fake->counter_xor_address ^ address);
}

std::u16string text_of(const char16_t* units) { return std::u16string(units); }

class ExpandSpecTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = &system_;
        platform::Table& table = override_.table();
        table.get_environment_variable = fake_get_environment_variable;
        table.set_environment_variable = fake_set_environment_variable;
        table.get_temp_path = fake_get_temp_path;
        table.get_folder_path = fake_get_folder_path;
        table.current_process_id = fake_current_process_id;
        table.system_time_as_file_time = fake_system_time;
        table.query_performance_counter = fake_query_performance_counter;
        set_program(u"C:\\a\\tool.EXE");
    }
    void TearDown() override { fake = nullptr; }

    void set_program(const char16_t* program) {
        program_ = program;
        argv_[0] = program_.data();
        argv_[1] = nullptr;
        arguments_ = {1, argv_};
    }

    bool expand(const std::u16string& template_text, uint64_t capacity = 4096) {
        output_.assign(capacity + 1, u'#');
        return expand_spec(output_.data(), template_text.c_str(), capacity, arguments_);
    }
    std::u16string output() const { return text_of(output_.data()); }

    PlatformOverride override_;
    FakeSystem system_;
    SavedArguments arguments_;
    std::u16string program_;
    char16_t* argv_[2] = {};
    std::vector<char16_t> output_;
};

struct ExpansionCase {
    const char16_t* template_text;
    bool succeeds;
    const char16_t* expected;
};

TEST_F(ExpandSpecTest, GrammarAndPlaceholders) {
    const ExpansionCase cases[] = {
        {u"{TEMP}", true, u"C:\\Temp"},
        {u"{temp}", true, u"C:\\Temp"},
        {u"{Temp}", true, u"C:\\Temp"},
        {u"{TEMP}\\x", true, u"C:\\Temp\\x"},
        {u"{}", false, u""},
        {u"{FOO}", false, u""},
        {u"ab{FOO}cd", false, u"ab"},
        {u"ab{TEMP", true, u"ab"},
        {u"ab{", true, u"ab"},
        {u"a{b{TEMP}", true, u"aC:\\Temp"},
        {u"{x{y}", false, u""},
        {u"x}y}", true, u"x}y}"},
        {u"{TEMP}}", true, u"C:\\Temp}"},
        {u"plain\\text", true, u"plain\\text"},
        {u"", true, u""},
        {u"{PROGRAM}", true, u"C:\\a\\tool.EXE"},
        {u"{program_base}", true, u"C:\\a\\tool"},
        {u"{Program_Dir}", true, u"C:\\a"},
        {u"{PID}", true, u"4242"},
        {u"{HOME}", true, u"C:\\Users\\me"},
        {u"{cache_dir}\\x", true, u"C:\\Users\\me\\AppData\\Local\\x"},
        {u"{PROGRAM_DIR}|{PROGRAM_BASE}|{PID}", true, u"C:\\a|C:\\a\\tool|4242"},
        {u"{TIME_U}", false, u""},
        {u"{TEMP }", false, u""},
    };
    for (const ExpansionCase& c : cases) {
        SCOPED_TRACE(std::string(c.template_text, c.template_text + text_of(c.template_text).size()));
        EXPECT_EQ(expand(c.template_text), c.succeeds);
        EXPECT_EQ(output(), c.expected);
    }
}

TEST_F(ExpandSpecTest, TrailingBackslashesOfFolders) {
    struct Case {
        const char16_t* temp;
        const char16_t* profile;
        const char16_t* template_text;
        const char16_t* expected;
    };
    const Case cases[] = {
        {u"C:\\Temp\\", u"", u"{TEMP}\\x", u"C:\\Temp\\x"},
        {u"C:\\Temp\\\\", u"", u"{TEMP}", u"C:\\Temp"},
        {u"", u"", u"x\\{TEMP}", u"x"},
        {u"", u"", u"\\\\{TEMP}", u""},
        {u"", u"C:\\", u"{HOME}", u"C:"},
        {u"", u"", u"a\\{HOME}", u"a"},
        {u"", u"C:\\u\\", u"{HOME}\\{TEMP}", u"C:\\u"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.template_text, c.template_text + text_of(c.template_text).size()));
        system_.temp = c.temp;
        system_.profile = c.profile;
        EXPECT_TRUE(expand(c.template_text));
        EXPECT_EQ(output(), c.expected);
    }
}

TEST_F(ExpandSpecTest, ValuesAreNotScannedAgain) {
    set_program(u"C:\\{TEMP}\\x.exe");
    system_.profile = u"{PID}";
    EXPECT_TRUE(expand(u"{PROGRAM_BASE};{HOME}"));
    EXPECT_EQ(output(), u"C:\\{TEMP}\\x;{PID}");
}

TEST_F(ExpandSpecTest, FolderThatCannotBeFoundFails) {
    system_.folder_result = static_cast<int32_t>(0x80004005u);
    for (const char16_t* template_text : {u"a{HOME}", u"a{CACHE_DIR}"}) {
        EXPECT_FALSE(expand(template_text));
        EXPECT_EQ(output(), u"a");
    }
}

TEST_F(ExpandSpecTest, ProgramFamily) {
    struct Case {
        const char16_t* program;
        const char16_t* base;
        const char16_t* directory;
    };
    const Case cases[] = {
        {u"C:\\a\\tool.EXE", u"C:\\a\\tool", u"C:\\a"},
        {u"tool", u"tool", u"tool"},
        {u".exe", u"", u".exe"},
        {u"exe", u"exe", u"exe"},
        {u"C:/a/b.Exe", u"C:/a/b", u"C:/a/b.Exe"},
        {u"C:\\a.exe\\b", u"C:\\a.exe\\b", u"C:\\a.exe"},
        {u"C:\\tool.exe.exe", u"C:\\tool.exe", u"C:"},
        {u"\\tool.exe", u"\\tool", u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.program, c.program + text_of(c.program).size()));
        set_program(c.program);
        EXPECT_TRUE(expand(u"{PROGRAM_BASE}"));
        EXPECT_EQ(output(), c.base);
        EXPECT_TRUE(expand(u"x={PROGRAM_DIR}"));
        EXPECT_EQ(output(), std::u16string(u"x=") + c.directory);
    }
}

TEST_F(ExpandSpecTest, MissingProgramIsAnImmediateStop) {
    for (const char16_t* template_text : {u"{PROGRAM}", u"{PROGRAM_BASE}", u"{PROGRAM_DIR}"}) {
        arguments_ = {0, nullptr};
        EXPECT_IMMEDIATE_STOP(expand(template_text));
        argv_[0] = nullptr;
        arguments_ = {0, argv_};
        EXPECT_IMMEDIATE_STOP(expand(template_text));
    }
}

TEST_F(ExpandSpecTest, ProcessIdFromParentVariable) {
    struct Case {
        const char16_t* parent;    // null: absent
        const char16_t* expected;  // null: immediate stop
    };
    const Case cases[] = {
        {u"0042", u"0042"}, {u"7", u"7"},      {u"99999999999999999999", u"99999999999999999999"},
        {nullptr, u"4242"}, {u"", u"4242"},    {u"+42", nullptr},
        {u"-42", nullptr},  {u" 42", nullptr}, {u"42 ", nullptr},
        {u"4a", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.parent == nullptr ? "absent" : std::string(c.parent, c.parent + text_of(c.parent).size()));
        system_.environment.clear();
        if (c.parent != nullptr) system_.environment[u"FENZAR_ONEFILE_PARENT"] = c.parent;
        if (c.expected == nullptr) {
            EXPECT_IMMEDIATE_STOP(expand(u"{PID}"));
        } else {
            EXPECT_TRUE(expand(u"{PID}"));
            EXPECT_EQ(output(), c.expected);
        }
    }
    EXPECT_TRUE(system_.variables_written.empty());
}

TEST(RandomToken, KnownSeeds) {
    struct Case {
        uint32_t seed;
        uint8_t bytes[8];
        const char16_t* token;
    };
    const Case cases[] = {
        {1, {0x21, 0x01, 0xC5, 0x4F, 0xD1, 0xD0, 0x1A, 0xB2}, u"IQHFT9HQGrI"},
        {0, {0x21, 0x01, 0xC5, 0x4F, 0xD1, 0xD0, 0x1A, 0xB2}, u"IQHFT9HQGrI"},
        {0xFFFFFFFFu, {0x1F, 0xFF, 0x43, 0xDA, 0x91, 0xEC, 0xB0, 0xFB}, u"H_9D2pHssPs"},
        {4242, {0xFB, 0xF8, 0xF6, 0xD9, 0xC3, 0xD6, 0x2E, 0x97}, u"-_j22cPWLpc"},
        {0x12345678u, {0xA5, 0xA3, 0xC4, 0x98, 0x88, 0x4D, 0x1D, 0x29}, u"paPEmIhNHSk"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seed);
        uint8_t bytes[8] = {};
        make_random_bytes(c.seed, bytes);
        EXPECT_EQ(0, std::memcmp(bytes, c.bytes, 8));
        char16_t token[12];
        std::memset(token, 0xFF, sizeof token);
        make_random_token(c.seed, token);
        EXPECT_EQ(text_of(token), c.token);
    }
}

TEST_F(ExpandSpecTest, RandomSeedMixesCounterItsAddressAndProcessId) {
    struct Case {
        uint64_t counter_xor_address;
        const char16_t* token;
    };
    // Seeds: 4242 ^ 4242 = 0 (taken as 1); 4242 ^ 0x9ABCDEF0 ^ 0x12345678.
    const Case cases[] = {
        {4242, u"IQHFT9HQGrI"},
        {0x123456789ABCDEF0ull, u"P6DvBSodGh4"},
    };
    for (const Case& c : cases) {
        system_.environment.clear();
        system_.counter_xor_address = c.counter_xor_address;
        EXPECT_TRUE(expand(u"{RANDOM}"));
        EXPECT_EQ(output(), c.token);
        EXPECT_EQ(system_.environment[u"FENZAR_ONEFILE_RANDOM"], c.token);
    }
}

TEST_F(ExpandSpecTest, PublishedValuesOfTheParentsFormAreUsedVerbatimAndNotWrittenBack) {
    system_.environment[u"FENZAR_ONEFILE_RANDOM"] = u"Az09-_Az09-";
    system_.environment[u"FENZAR_ONEFILE_TIME_US"] = u"000007";
    system_.environment[u"FENZAR_ONEFILE_START"] = u"0133000000000003457";
    system_.file_time = 133000000000003450ull;
    EXPECT_TRUE(expand(u"{RANDOM}_{TIME_US}_{TIME}"));
    EXPECT_EQ(output(), u"Az09-_Az09-_000007_0133000000000003457");
    EXPECT_TRUE(system_.variables_written.empty());
}

// An inherited value of another form would move the directory a re-entered
// instance loads its library from: it counts as absent, so a fresh value is
// made and published in its place.
TEST_F(ExpandSpecTest, PublishedValuesOfAnotherFormAreReplacedByFreshOnes) {
    struct Case {
        const char16_t* random;
        const char16_t* time_us;
        const char16_t* time;
    };
    const Case cases[] = {
        {u"..\\..\\evil", u"..\\..", u"..\\x"},
        {u"AAAAAAAAAA", u"00000", u""},
        {u"AAAAAAAAAAAA", u"0000000", u"12345678901234567890"},
        {u"AAAAA.AAAAA", u"+00001", u"-1"},
        {u"AAAAA\\AAAAA", u" 00001", u"1 "},
        {u"AAAAAAAAAA\u00C4", u"00000\u0661", u"1\u0661"},
        {u"C:AAAAAAAAA", u"00:001", u"{abc}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::u16string(c.random)));
        system_.environment.clear();
        system_.variables_written.clear();
        system_.environment[u"FENZAR_ONEFILE_RANDOM"] = c.random;
        system_.environment[u"FENZAR_ONEFILE_TIME_US"] = c.time_us;
        if (c.time[0] != 0) system_.environment[u"FENZAR_ONEFILE_START"] = c.time;
        system_.file_time = 133000000000003457ull;
        system_.counter_xor_address = 4242;
        EXPECT_TRUE(expand(u"{RANDOM}_{TIME_US}_{TIME}"));
        EXPECT_EQ(output(), u"IQHFT9HQGrI_000345_133000000000003457");
        EXPECT_EQ(system_.environment[u"FENZAR_ONEFILE_RANDOM"], u"IQHFT9HQGrI");
        EXPECT_EQ(system_.environment[u"FENZAR_ONEFILE_TIME_US"], u"000345");
        EXPECT_EQ(system_.environment[u"FENZAR_ONEFILE_START"], u"133000000000003457");
        EXPECT_EQ(system_.variables_written.size(), 3u);
    }
}

TEST_F(ExpandSpecTest, TimeValuesFromTheSystemClock) {
    struct Case {
        uint64_t file_time;
        const char16_t* time_us;
        const char16_t* time;
    };
    const Case cases[] = {
        {133000000000003457ull, u"000345", u"133000000000003457"},
        {133000000009999990ull, u"999999", u"133000000009999990"},
        {133000000010000009ull, u"000000", u"133000000010000009"},
        {0, u"000000", u"0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file_time);
        system_.environment.clear();
        system_.file_time = c.file_time;
        EXPECT_TRUE(expand(u"{TIME_US}|{TIME}"));
        EXPECT_EQ(output(), std::u16string(c.time_us) + u"|" + c.time);
        EXPECT_EQ(system_.environment[u"FENZAR_ONEFILE_TIME_US"], c.time_us);
        EXPECT_EQ(system_.environment[u"FENZAR_ONEFILE_START"], c.time);
    }
}

TEST_F(ExpandSpecTest, FirstExpansionPublishesWhatTheSecondReuses) {
    system_.file_time = 133000000000003457ull;
    system_.counter_xor_address = 4242;
    const char16_t* target_spec = u"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}_{TIME}";
    EXPECT_TRUE(expand(target_spec));
    std::u16string first = output();
    EXPECT_EQ(first, u"C:\\Temp\\onefile_4242_000345_IQHFT9HQGrI_133000000000003457");
    EXPECT_EQ(system_.variables_written.size(), 3u);

    system_.file_time = 133000000077777770ull;
    system_.counter_xor_address = 99;
    system_.process_id = 5555;
    system_.environment[u"FENZAR_ONEFILE_PARENT"] = u"4242";
    EXPECT_TRUE(expand(target_spec));
    EXPECT_EQ(output(), first);
    EXPECT_EQ(system_.variables_written.size(), 3u);
}

TEST_F(ExpandSpecTest, CapacityLimits) {
    EXPECT_FALSE(expand(u"abcd", 3));
    EXPECT_EQ(output(), u"abc");
    EXPECT_TRUE(expand(u"abc", 3));
    EXPECT_EQ(output(), u"abc");

    system_.file_time = 3450;
    EXPECT_IMMEDIATE_STOP(expand(u"{TIME_US}", 3));
    system_.environment.clear();
    EXPECT_IMMEDIATE_STOP(expand(u"ab{TIME_US}", 7));
    system_.environment.clear();
    EXPECT_TRUE(expand(u"a{TIME_US}", 7));
    EXPECT_EQ(output(), u"a000345");

    set_program(u"C:\\a\\tool.exe");
    for (const char16_t* template_text : {u"{PROGRAM}", u"{PROGRAM_BASE}", u"{PROGRAM_DIR}"}) {
        EXPECT_IMMEDIATE_STOP(expand(template_text, 12));
    }
    EXPECT_IMMEDIATE_STOP(expand(u"{PID}", 3));
    system_.environment[u"FENZAR_ONEFILE_PARENT"] = u"0042";
    EXPECT_IMMEDIATE_STOP(expand(u"x{PID}", 4));
    EXPECT_IMMEDIATE_STOP(expand(u"{HOME}", 5));
    system_.environment[u"FENZAR_ONEFILE_RANDOM"] = u"abcdefghijk";
    EXPECT_IMMEDIATE_STOP(expand(u"{RANDOM}", 10));
    EXPECT_TRUE(expand(u"{RANDOM}", 11));
}

TEST_F(ExpandSpecTest, BackslashRemovedFromAFolderGivesCapacityBack) {
    system_.profile = u"C:\\abc\\";
    EXPECT_TRUE(expand(u"{HOME}x", 7));
    EXPECT_EQ(output(), u"C:\\abcx");
}

TEST_F(ExpandSpecTest, TempIsWrittenAtTheEndWithTheRemainingCapacity) {
    EXPECT_TRUE(expand(u"ab{TEMP}\\x", 20));
    EXPECT_EQ(output(), u"abC:\\Temp\\x");
    ASSERT_EQ(system_.temp_sizes.size(), 1u);
    EXPECT_EQ(system_.temp_sizes[0], 18u);

    // C:\Temp\ and its terminator need 9 units: the size counts the
    // terminator. What does not fit leaves nothing and never stops.
    EXPECT_TRUE(expand(u"ab{TEMP}", 11));
    EXPECT_EQ(output(), u"abC:\\Temp");
    EXPECT_TRUE(expand(u"abc{TEMP}", 11));
    EXPECT_EQ(output(), u"abc");
    EXPECT_TRUE(expand(u"{TEMP}", 0));
    EXPECT_EQ(output(), u"");
    EXPECT_FALSE(expand(u"abc{TEMP}\\x", 4));
    EXPECT_EQ(output(), u"abc\\");
}

TEST_F(ExpandSpecTest, LongPlaceholderNames) {
    const std::u16string longest(1023, u'A');
    const std::u16string too_long(5000, u'A');
    EXPECT_FALSE(expand(u"x{" + longest + u"}"));
    EXPECT_EQ(output(), u"x");
    EXPECT_FALSE(expand(u"x{" + too_long + u"}y"));
    EXPECT_EQ(output(), u"x");
    EXPECT_TRUE(expand(u"x{" + too_long));
    EXPECT_EQ(output(), u"x");
    EXPECT_TRUE(expand(u"x{" + too_long + u"{TEMP}"));
    EXPECT_EQ(output(), u"xC:\\Temp");
}

}  // namespace

}  // namespace fenzar
