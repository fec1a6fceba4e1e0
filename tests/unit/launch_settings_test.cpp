// The launch settings block, from both ends: the launcher's reading rules as
// a table of blocks, and the packer's block for --cache (the application's
// name from the first record, the data's digest) read back by the launcher.
#include <gtest/gtest.h>

#include <string>

#include "cache_settings.h"
#include "error.h"
#include "payload/launch_settings.h"
#include "settings_block.h"
#include "sha256.h"
#include "support/attached_data_builder.h"

namespace fenzar {

namespace {

TEST(LaunchSettings, BlocksAcceptedAndRefused) {
    struct Case {
        const char* what;
        Bytes block;
        bool accepted;
        bool cache;
    };
    Bytes reserved = make_launch_settings(u"app");
    reserved[launch_settings_format::name_length_offset + 3] = 1;
    Bytes junk_after = make_launch_settings(u"app");
    junk_after[launch_settings_format::name_offset + 2 * 3] = 'x';
    Bytes longest = make_launch_settings(std::u16string(64, u'a'));
    Bytes too_long = make_launch_settings(std::u16string(64, u'a'));
    too_long[launch_settings_format::name_length_offset] = 65;
    Bytes zero_inside = make_launch_settings(std::u16string(u"a\0b", 3));
    const Case cases[] = {
        {"none", {}, true, false},
        {"a name", make_launch_settings(u"app"), true, true},
        {"64 units", longest, true, true},
        {"65 units", too_long, false, false},
        {"empty name", make_launch_settings(u""), false, false},
        {"one byte short", Bytes(launch_settings_format::block_bytes - 1, 0), false, false},
        {"one byte long", Bytes(launch_settings_format::block_bytes + 1, 0), false, false},
        {"reserved byte set", reserved, false, false},
        {"units after the name", junk_after, false, false},
        {"a zero inside", zero_inside, false, false},
        {"a separator", make_launch_settings(u"a\\b"), false, false},
        {"dot dot", make_launch_settings(u".."), false, false},
        {"a device", make_launch_settings(u"con"), false, false},
        {"a colon", make_launch_settings(u"a:b"), false, false},
        {"a trailing dot", make_launch_settings(u"app."), false, false},
        {"a trailing space", make_launch_settings(u"app "), false, false},
    };
    for (const Case& c : cases) {
        LaunchSettings settings;
        EXPECT_EQ(read_launch_settings(c.block.data(), c.block.size(), &settings), c.accepted) << c.what;
        EXPECT_EQ(settings.cache, c.cache) << c.what;
    }
    LaunchSettings settings;
    Bytes block = make_launch_settings(u"My App", 0x0F);
    ASSERT_TRUE(read_launch_settings(block.data(), block.size(), &settings));
    EXPECT_EQ(std::u16string(settings.name), u"My App");
    char16_t text[launch_settings_format::digest_text_units + 1];
    format_digest(settings.digest, text);
    EXPECT_EQ(std::u16string(text), u"0f101112131415161718191a1b1c1d1e");
}

std::string hex(std::span<const unsigned char> bytes) {
    std::string text;
    for (unsigned char byte : bytes) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 0xF];
    }
    return text;
}

std::span<const unsigned char> bytes_of(const std::string& text) {
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// FIPS 180-4's examples and the lengths around the padding's one-or-two
// block boundary (55 bytes fit one final block, 56 need two).
TEST(Sha256, KnownDigests) {
    struct Case {
        std::string data;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hex(fenzar::pack::sha256(bytes_of(c.data))), c.digest) << c.data.size() << " bytes";
    }
}

TEST(CacheSettings, ThePackersBlockIsReadBackByTheLauncher) {
    const Bytes data = make_attached_data(make_archive({{u"App.dll", "library"}}));
    struct Case {
        std::u16string first_record;
        std::u16string name;
    };
    // The key of "app.exe": the first 4 bytes of the SHA-256 of its UTF-16LE
    // name.
    const std::string key_text =
        hex(fenzar::pack::sha256(std::vector<unsigned char>{'a', 0, 'p', 0, 'p', 0, '.', 0, 'e', 0, 'x', 0, 'e', 0}));
    const std::u16string key = u"-" + std::u16string(key_text.begin(), key_text.begin() + 8);
    const Case cases[] = {
        {u"App.dll", u"App" + key},
        {u"tool", u"tool" + key},
        {u"my.app.dll", u"my.app" + key},
        {u"\u00dcber.dll", u"\u00dcber" + key},
        {std::u16string(64, u'n') + u".dll", std::u16string(55, u'n') + key},
    };
    for (const Case& c : cases) {
        const auto block = fenzar::pack::cache_settings(data, c.first_record, u"App.EXE");
        LaunchSettings settings;
        ASSERT_TRUE(read_launch_settings(block.data(), block.size(), &settings));
        EXPECT_TRUE(settings.cache);
        EXPECT_EQ(std::u16string(settings.name), c.name);
        EXPECT_EQ(hex(std::span(settings.digest)), hex(fenzar::pack::sha256(data)).substr(0, 32));
    }
}

Bytes with_record(Bytes block, uint32_t tag, const Bytes& payload, size_t padding) {
    for (int shift = 0; shift < 32; shift += 8) block.push_back(static_cast<unsigned char>(tag >> shift));
    for (int shift = 0; shift < 32; shift += 8) block.push_back(static_cast<unsigned char>(payload.size() >> shift));
    block.insert(block.end(), payload.begin(), payload.end());
    block.insert(block.end(), padding, 0);
    return block;
}

Bytes utf16_bytes(const std::u16string& text) {
    Bytes bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return bytes;
}

TEST(LaunchSettings, ExtendedFormAcceptedAndRefused) {
    using namespace launch_settings_format;
    const Bytes no_cache(block_bytes, 0);
    const Bytes one = {1, 0, 0, 0};
    const Bytes base = utf16_bytes(u"{CACHE_DIR}\\Vendor");
    const size_t base_padding = (8 - base.size() % 8) % 8;
    Bytes padding_not_zero = with_record(no_cache, target_base_tag, base, base_padding);
    if (base_padding > 0) padding_not_zero.back() = 1;
    struct Case {
        const char* what;
        Bytes block;
        bool accepted;
        bool cache;
        bool runs_program;
        std::u16string target_base;
    };
    const Case cases[] = {
        {"a program", with_record(no_cache, program_tag, one, 4), true, false, true, u""},
        {"a program and the cache", with_record(make_launch_settings(u"app"), program_tag, one, 4), true, true, true,
         u""},
        {"a base", with_record(no_cache, target_base_tag, base, base_padding), true, false, false,
         u"{CACHE_DIR}\\Vendor"},
        {"both, in order", with_record(with_record(no_cache, program_tag, one, 4), target_base_tag, base, base_padding),
         true, false, true, u"{CACHE_DIR}\\Vendor"},
        {"the longest base", with_record(no_cache, target_base_tag, utf16_bytes(std::u16string(1024, u'a')), 0), true,
         false, false, std::u16string(1024, u'a')},
        {"a base one unit too long", with_record(no_cache, target_base_tag, utf16_bytes(std::u16string(1025, u'a')), 6),
         false, false, false, u""},
        {"a zero in the base", with_record(no_cache, target_base_tag, utf16_bytes(std::u16string(u"a\0b", 3)), 2),
         false, false, false, u""},
        {"an empty base", with_record(no_cache, target_base_tag, {}, 0), false, false, false, u""},
        {"out of order", with_record(with_record(no_cache, target_base_tag, base, base_padding), program_tag, one, 4),
         false, false, false, u""},
        {"twice", with_record(with_record(no_cache, program_tag, one, 4), program_tag, one, 4), false, false, false,
         u""},
        {"an unknown tag", with_record(no_cache, 3, one, 4), false, false, false, u""},
        {"a program value not 1", with_record(no_cache, program_tag, {2, 0, 0, 0}, 4), false, false, false, u""},
        {"padding not zero", padding_not_zero, base_padding == 0, false, base_padding == 0,
         base_padding == 0 ? u"{CACHE_DIR}\\Vendor" : u""},
        {"cut in the padding", with_record(no_cache, program_tag, one, 0), false, false, false, u""},
        {"no record", Bytes(block_bytes + 8, 0), false, false, false, u""},
        {"a broken cache block", with_record(make_launch_settings(u"a\\b"), program_tag, one, 4), false, false, false,
         u""},
    };
    for (const Case& c : cases) {
        LaunchSettings settings;
        EXPECT_EQ(read_launch_settings(c.block.data(), c.block.size(), &settings), c.accepted) << c.what;
        EXPECT_EQ(settings.cache, c.cache) << c.what;
        EXPECT_EQ(settings.runs_program, c.runs_program) << c.what;
        EXPECT_EQ(std::u16string(settings.target_base), c.target_base) << c.what;
    }
}

TEST(LaunchSettings, ThePackersSettingsAreReadBackByTheLauncher) {
    using fenzar::pack::SettingsRequest;
    const Bytes data = make_attached_data(make_archive({{u"App.dll", "library"}}));
    struct Case {
        SettingsRequest request;
        size_t size;
    };
    const Case cases[] = {
        {{false, false, u""}, 0},
        // --cache alone keeps the block launchers have always carried.
        {{true, false, u""}, launch_settings_format::block_bytes},
        {{false, true, u""}, launch_settings_format::block_bytes + 16},
        {{true, true, u"{HOME}\\App"}, launch_settings_format::block_bytes + 16 + 8 + 24},
    };
    for (const Case& c : cases) {
        const auto block = fenzar::pack::settings_block(c.request, data, u"App.dll", u"app.exe");
        EXPECT_EQ(block.size(), c.size);
        LaunchSettings settings;
        ASSERT_TRUE(read_launch_settings(block.data(), block.size(), &settings));
        EXPECT_EQ(settings.cache, c.request.cache);
        EXPECT_EQ(settings.runs_program, c.request.runs_program);
        EXPECT_EQ(std::u16string(settings.target_base), c.request.target_base);
    }
}

TEST(CacheSettings, TwoLaunchersOfOneLibraryNameGetTheirOwnFolders) {
    using fenzar::pack::cache_folder_name;
    EXPECT_NE(cache_folder_name(u"app", u"hello.exe"), cache_folder_name(u"app", u"tool.exe"));
    EXPECT_EQ(cache_folder_name(u"app", u"Hello.EXE"), cache_folder_name(u"app", u"hello.exe"));
    // A name shortened to make room never ends in what Windows drops.
    const std::u16string shortened = cache_folder_name(std::u16string(54, u'n') + u". x", u"a.exe");
    EXPECT_EQ(shortened.substr(0, 55), std::u16string(54, u'n') + u"-");
    EXPECT_TRUE(is_usable_application_name(shortened.c_str(), shortened.size()));
}

TEST(CacheSettings, NamesThatCannotNameTheFolderAreRefused) {
    const std::u16string refused[] = {u"con.dll", u"app..dll", u"app .dll", std::u16string(65, u'n') + u".dll",
                                      u"a:b.dll"};
    for (const auto& name : refused) {
        EXPECT_THROW(fenzar::pack::cache_application_name(name), fenzar::pack::PackError);
    }
}

}  // namespace

}  // namespace fenzar
