// The packer's attached data, decoded here with libzstd and parsed by the
// test itself: records, end marker, frame parameters, padding and trailer;
// refusals that leave nothing behind; determinism; listing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

// For ZSTD_getFrameHeader: the frame's window and flags.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "archive.h"
#include "attached_data_writer.h"
#include "error.h"
#include "listing.h"
#include "output_file.h"

namespace {

namespace fs = std::filesystem;
using namespace fenzar::pack;
using Bytes = std::vector<unsigned char>;

class TempTree {
public:
    TempTree() {
        std::string pattern = (fs::temp_directory_path() / "pack_test_XXXXXX").string();
        root = ::mkdtemp(pattern.data());
    }
    ~TempTree() {
        std::error_code ignored;
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root, ignored);
    }
    fs::path write(const fs::path& relative, const Bytes& content) const {
        const fs::path path = root / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        return path;
    }
    fs::path write(const fs::path& relative, const std::string& content) const {
        return write(relative, Bytes(content.begin(), content.end()));
    }
    fs::path root;
};

Bytes random_bytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    Bytes result(count);
    for (auto& byte : result) byte = static_cast<unsigned char>(generator());
    return result;
}

Bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::uint64_t read_u64(const Bytes& data, std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | data.at(at + i);
    return value;
}

struct ParsedRecord {
    std::u16string name;
    Bytes data;
};

// The attached data taken apart independently of the packer's own reader.
struct ParsedAttachedData {
    ZSTD_frameHeader header;
    std::size_t frame_length;
    std::vector<ParsedRecord> records;
};

ParsedAttachedData parse_attached_data(const Bytes& file) {
    ParsedAttachedData result{};
    EXPECT_GE(file.size(), 3u + 8u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 3), "ZUQ");
    const unsigned char* frame = file.data() + 3;
    const std::size_t available = file.size() - 3;
    EXPECT_EQ(ZSTD_getFrameHeader(&result.header, frame, available), 0u);
    result.frame_length = ZSTD_findFrameCompressedSize(frame, available);
    EXPECT_FALSE(ZSTD_isError(result.frame_length));

    const std::size_t unpadded = 3 + result.frame_length;
    const std::size_t trailer = (unpadded + 7) / 8 * 8;
    EXPECT_EQ(file.size(), trailer + 8) << "padding is the fewest zeros to a multiple of 8";
    for (std::size_t i = unpadded; i < trailer; ++i) EXPECT_EQ(file.at(i), 0) << i;
    EXPECT_EQ(read_u64(file, trailer), trailer);

    Bytes archive(result.header.frameContentSize);
    const std::size_t decoded = ZSTD_decompress(archive.data(), archive.size(), frame, result.frame_length);
    EXPECT_EQ(decoded, archive.size()) << ZSTD_getErrorName(decoded);

    std::size_t at = 0;
    while (true) {
        std::u16string name;
        while (true) {
            const auto unit = static_cast<char16_t>(archive.at(at) | (archive.at(at + 1) << 8));
            at += 2;
            if (unit == 0) break;
            name.push_back(unit);
        }
        if (name.empty()) break;
        const std::uint64_t size = read_u64(archive, at);
        at += 8;
        result.records.push_back(
            {name, Bytes(archive.begin() + static_cast<long>(at), archive.begin() + static_cast<long>(at + size))});
        at += size;
    }
    EXPECT_EQ(at, archive.size()) << "nothing follows the end marker";
    return result;
}

fs::path build(const TempTree& tree, const fs::path& application, const std::vector<fs::path>& paths,
               const CompressionOptions& options = {}, const std::string& output_name = "out.bin") {
    const fs::path output = tree.root / output_name;
    write_attached_data_file(collect_entries(application, paths), options, output);
    return output;
}

TEST(PackArchive, RoundTripKeepsNamesBytesAndOrder) {
    TempTree tree;
    const Bytes library = random_bytes(300000, 1);
    const Bytes big = random_bytes(1 << 20, 2);
    const auto app = tree.write("in/app.dll", library);
    tree.write("in/data/b.txt", "bee");
    tree.write("in/data/a.txt", "a");
    tree.write("in/data/Z.txt", "upper case sorts first");
    tree.write("in/data/sub/big.bin", big);
    tree.write("in/data/empty", "");
    tree.write("in/data/\xc3\xbc\xf0\x9f\x98\x80.txt", "non-ASCII");
    fs::create_directories(tree.root / "in/data/nothing_inside");
    const auto loose = tree.write("in/other/loose.txt", "loose");

    const auto parsed = parse_attached_data(read_file(build(tree, app, {tree.root / "in/data/", loose})));

    const std::vector<std::pair<std::u16string, Bytes>> expected = {
        {u"app.dll", library},
        {u"data\\Z.txt", Bytes{'u', 'p', 'p', 'e', 'r', ' ', 'c', 'a', 's', 'e', ' ',
                               's', 'o', 'r', 't', 's', ' ', 'f', 'i', 'r', 's', 't'}},
        {u"data\\a.txt", Bytes{'a'}},
        {u"data\\b.txt", Bytes{'b', 'e', 'e'}},
        {u"data\\empty", Bytes{}},
        {u"data\\sub\\big.bin", big},
        {u"data\\\u00fc\xD83D\xDE00.txt", Bytes{'n', 'o', 'n', '-', 'A', 'S', 'C', 'I', 'I'}},
        {u"loose.txt", Bytes{'l', 'o', 'o', 's', 'e'}},
    };
    ASSERT_EQ(parsed.records.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(parsed.records[i].name, expected[i].first) << i;
        EXPECT_EQ(parsed.records[i].data, expected[i].second) << i;
    }
}

TEST(PackArchive, DirectoryDotStoresContentsAtTheTop) {
    TempTree tree;
    const auto app = tree.write("app.dll", "MZ");
    tree.write("data/x/y.txt", "y");
    const auto parsed = parse_attached_data(read_file(build(tree, app, {tree.root / "data/."})));
    ASSERT_EQ(parsed.records.size(), 2u);
    EXPECT_EQ(parsed.records[1].name, u"x\\y.txt");
}

TEST(PackArchive, FrameHasChecksumAndSizeAndSmallWindowForSmallInput) {
    TempTree tree;
    const auto app = tree.write("app.dll", random_bytes(5000, 3));
    for (int level : {1, 19, 22}) {
        CompressionOptions options;
        options.level = level;
        const auto parsed = parse_attached_data(read_file(build(tree, app, {}, options)));
        EXPECT_EQ(parsed.header.checksumFlag, 1u) << level;
        EXPECT_EQ(parsed.header.frameContentSize, 2u * 8 + 8 + 5000 + 2) << level;
        EXPECT_LE(parsed.header.windowSize, 8192u) << level;
        EXPECT_EQ(parsed.header.dictID, 0u) << level;
    }
}

// An archive above 2^27 bytes needs a frame with a window descriptor; long
// mode must still keep the window at 2^27. Zeros from a sparse file keep
// this quick.
TEST(PackArchive, LargeArchiveWindowStaysAtMost2To27) {
    TempTree tree;
    const auto app = tree.write("app.dll", "MZ");
    const fs::path zeros = tree.root / "zeros.bin";
    std::ofstream(zeros).close();
    fs::resize_file(zeros, (1ull << 27) + (8ull << 20));
    CompressionOptions options;
    options.level = 1;
    options.long_window = true;
    const fs::path output = build(tree, app, {zeros}, options);
    const Bytes file = read_file(output);
    ZSTD_frameHeader header;
    ASSERT_EQ(ZSTD_getFrameHeader(&header, file.data() + 3, file.size() - 3), 0u);
    EXPECT_EQ(header.windowSize, 1ull << 27);
    EXPECT_EQ(header.checksumFlag, 1u);
    const auto records = read_records(file);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].size, (1ull << 27) + (8ull << 20));
}

TEST(PackArchive, OutputIsDeterministic) {
    TempTree tree;
    const auto app = tree.write("app.dll", random_bytes(200000, 4));
    tree.write("d/one", random_bytes(3 << 20, 5));
    tree.write("d/two", std::string(2 << 20, 'x'));
    for (int threads : {0, 2}) {
        CompressionOptions options;
        options.level = 3;
        options.threads = threads;
        const auto first = read_file(build(tree, app, {tree.root / "d"}, options, "first.bin"));
        const auto second = read_file(build(tree, app, {tree.root / "d"}, options, "second.bin"));
        EXPECT_EQ(first, second) << "threads " << threads;
        parse_attached_data(first);
    }
}

TEST(PackArchive, ListShowsWhatWasBuilt) {
    TempTree tree;
    const auto app = tree.write("app.dll", random_bytes(1000, 6));
    tree.write("d/a", "aaaa");
    tree.write("d/e", "");
    tree.write("d/s/\xc3\xa9", "e acute");
    const auto entries = collect_entries(app, {tree.root / "d"});
    const auto file = read_file(build(tree, app, {tree.root / "d"}));
    const auto located = locate_attached_data(file);
    EXPECT_EQ(located.offset, 0u);
    const auto parsed = parse_attached_data(file);
    ASSERT_EQ(located.records.size(), parsed.records.size());
    ASSERT_EQ(located.records.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(located.records[i].name, parsed.records[i].name);
        EXPECT_EQ(located.records[i].size, parsed.records[i].data.size());
        EXPECT_EQ(located.records[i].name, entries[i].name);
    }
}

// The head of a PE image: "MZ", the PE signature at `pe`, an optional header
// of `magic` with `directories` data directories, the certificate table's
// entry (the fifth) set to `table_offset` and `table_size`.
Bytes pe_head(std::uint16_t magic, std::uint32_t directories, std::uint32_t table_offset, std::uint32_t table_size,
              std::size_t pe = 0x80) {
    Bytes image(pe + 24 + 240 + 40, 0);
    image[0] = 'M';
    image[1] = 'Z';
    const auto put = [&](std::size_t at, std::uint32_t value, int width) {
        for (int i = 0; i < width; ++i) image[at + i] = static_cast<unsigned char>(value >> (8 * i));
    };
    put(0x3C, static_cast<std::uint32_t>(pe), 4);
    std::memcpy(&image[pe], "PE\0\0", 4);
    const std::size_t optional = pe + 24;
    put(optional, magic, 2);
    // PE32+ keeps the count at 108 and the directories from 112; PE32 16
    // bytes earlier.
    const std::size_t count = magic == 0x10B ? 92 : 108;
    put(optional + count, directories, 4);
    put(optional + count + 4 + 8 * 4, table_offset, 4);
    put(optional + count + 4 + 8 * 4 + 4, table_size, 4);
    return image;
}

TEST(PackArchive, SigningOfPeFiles) {
    struct SigningCase {
        const char* what;
        Bytes head;
        PeSigning expected;
    };
    Bytes mz_only = {'M', 'Z', 0, 0};
    Bytes cut = pe_head(0x20B, 16, 0x1000, 0x500);
    cut.resize(0x80 + 24 + 140);  // ends inside the certificate table's entry
    Bytes no_signature = pe_head(0x20B, 16, 0x1000, 0x500);
    no_signature[0x80] = 'N';
    Bytes far_header = pe_head(0x20B, 16, 0x1000, 0x500, pe_head_bytes - 100);
    far_header.resize(pe_head_bytes);  // what the reader keeps of it
    const SigningCase cases[] = {
        {"PE32+ with a certificate table", pe_head(0x20B, 16, 0x1000, 0x500), PeSigning::signed_pe},
        {"PE32+ without one", pe_head(0x20B, 16, 0, 0), PeSigning::unsigned_pe},
        {"an offset but no size is empty", pe_head(0x20B, 16, 0x1000, 0), PeSigning::unsigned_pe},
        {"PE32 with a certificate table", pe_head(0x10B, 16, 0x800, 0x300), PeSigning::signed_pe},
        {"PE32 without one", pe_head(0x10B, 16, 0, 0), PeSigning::unsigned_pe},
        {"too few directories to have the table", pe_head(0x20B, 4, 0x1000, 0x500), PeSigning::unsigned_pe},
        {"neither optional header", pe_head(0x107, 16, 0x1000, 0x500), PeSigning::not_pe},
        {"MZ without a PE signature", no_signature, PeSigning::not_pe},
        {"MZ and nothing more", mz_only, PeSigning::not_pe},
        {"headers cut off", cut, PeSigning::not_pe},
        {"PE header beyond the bytes read", far_header, PeSigning::not_pe},
        {"text", Bytes{'h', 'e', 'l', 'l', 'o'}, PeSigning::not_pe},
        {"empty", Bytes{}, PeSigning::not_pe},
    };
    for (const auto& c : cases) EXPECT_EQ(signing_of(c.head), c.expected) << c.what;
}

// The reader keeps each record's first bytes across the decoder's pieces and
// judges each record by its own bytes only.
TEST(PackArchive, ListTellsSignedFromUnsignedPeFiles) {
    TempTree tree;
    Bytes big_signed = pe_head(0x20B, 16, 0x1000, 0x500);
    const Bytes tail = random_bytes(3 << 20, 7);
    big_signed.insert(big_signed.end(), tail.begin(), tail.end());
    const auto app = tree.write("app.dll", pe_head(0x20B, 16, 0, 0));
    tree.write("d/a_signed.dll", big_signed);
    tree.write("d/b_empty", "");
    tree.write("d/c_unsigned.exe", pe_head(0x10B, 16, 0, 0));
    tree.write("d/d_text", "MZ is how this text starts");
    const auto records = read_records(read_file(build(tree, app, {tree.root / "d"})));
    ASSERT_EQ(records.size(), 5u);
    const PeSigning expected[] = {PeSigning::unsigned_pe, PeSigning::signed_pe, PeSigning::not_pe,
                                  PeSigning::unsigned_pe, PeSigning::not_pe};
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].signing, expected[i]) << i;
    }
}

// A minimal PE image with one read-only data section named `section_name`
// that holds what a launcher's data section holds: the length, 8 bytes, the
// attached data, then a decoy (the magics followed by garbage).
Bytes pe_image_around(const Bytes& attached_data, const char* section_name, std::size_t* data_offset) {
    Bytes image(0x400, 0);
    image[0] = 'M';
    image[1] = 'Z';
    const std::size_t pe = 0x80;
    image[0x3C] = pe;
    std::memcpy(&image[pe], "PE\0\0", 4);
    image[pe + 6] = 1;     // one section
    image[pe + 20] = 240;  // optional header size
    const std::size_t section = pe + 24 + 240;
    std::memcpy(&image[section], section_name, std::strlen(section_name));
    Bytes contents(16, 0);
    for (int i = 0; i < 8; ++i) contents[i] = static_cast<unsigned char>(attached_data.size() >> (8 * i));
    *data_offset = 0x400 + contents.size();
    contents.insert(contents.end(), attached_data.begin(), attached_data.end());
    contents.insert(contents.end(), {'Z', 'U', 'Q', 0x28, 0xB5, 0x2F, 0xFD, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4});
    const auto put32 = [&](std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) image[at + i] = static_cast<unsigned char>(value >> (8 * i));
    };
    put32(section + 8, static_cast<std::uint32_t>(contents.size()));
    put32(section + 12, 0x1000);
    put32(section + 16, static_cast<std::uint32_t>(contents.size()));
    put32(section + 20, 0x400);
    put32(section + 36, 0x40000040);  // initialised data, readable
    image.insert(image.end(), contents.begin(), contents.end());
    return image;
}

// A launcher's data is where its data section's length says, and nowhere
// else: an image without that section is no launcher, whatever it holds.
TEST(PackArchive, ListFindsTheDataInALaunchersDataSection) {
    TempTree tree;
    const auto app = tree.write("app.dll", "library");
    const auto attached = read_file(build(tree, app, {}));
    std::size_t expected_offset = 0;
    const auto image = pe_image_around(attached, ".fzdata", &expected_offset);
    const auto located = locate_attached_data(image);
    EXPECT_EQ(located.offset, expected_offset);
    ASSERT_EQ(located.records.size(), 1u);
    EXPECT_EQ(located.records[0].name, u"app.dll");
    EXPECT_EQ(located.records[0].size, 7u);

    const auto other = pe_image_around(attached, ".rdata", &expected_offset);
    try {
        locate_attached_data(other);
        ADD_FAILURE() << "an image without .fzdata was listed";
    } catch (const PackError& error) {
        EXPECT_NE(std::string(error.what()).find("no attached data section (.fzdata)"), std::string::npos)
            << error.what();
    }
}

TEST(PackArchive, ListRefusesCorruptData) {
    TempTree tree;
    const auto app = tree.write("app.dll", random_bytes(4000, 7));
    const auto good = read_file(build(tree, app, {}));
    const auto frame_length = ZSTD_findFrameCompressedSize(good.data() + 3, good.size() - 3);
    struct Corruption {
        const char* what;
        std::function<void(Bytes&)> apply;
    };
    const Corruption corruptions[] = {
        {"magic", [](Bytes& d) { d[2] = 'X'; }},
        {"checksum", [&](Bytes& d) { d[3 + frame_length - 1] ^= 1; }},
        {"truncated", [&](Bytes& d) { d.resize(3 + frame_length - 10); }},
    };
    for (const auto& c : corruptions) {
        Bytes data = good;
        c.apply(data);
        EXPECT_THROW(read_records(data), PackError) << c.what;
    }
}

// A name runs on in the archive up to the launcher's limit and no further:
// crafted data must not make the listing hold an endless name.
TEST(PackArchive, ListStopsAtTheLongestName) {
    for (const std::size_t units : {std::size_t{1023}, std::size_t{1024}, std::size_t{1} << 20}) {
        Bytes archive;
        for (std::size_t i = 0; i < units; ++i) archive.insert(archive.end(), {'a', 0});
        archive.insert(archive.end(), {0, 0});
        archive.insert(archive.end(), 8, 0);
        archive.insert(archive.end(), {0, 0});
        Bytes data = {'Z', 'U', 'Q'};
        data.resize(3 + ZSTD_compressBound(archive.size()));
        data.resize(3 + ZSTD_compress(data.data() + 3, data.size() - 3, archive.data(), archive.size(), 1));
        if (units <= 1023) {
            ASSERT_EQ(read_records(data).at(0).name.size(), units);
        } else {
            try {
                read_records(data);
                ADD_FAILURE() << units << " units accepted";
            } catch (const PackError& error) {
                EXPECT_NE(std::string(error.what()).find("longer than 1023"), std::string::npos) << error.what();
            }
        }
    }
}

// Refusals: each leaves no output and no temporary file in the directory.
struct Refusal {
    const char* what;
    std::function<std::vector<fs::path>(const TempTree&)> make_paths;  // first is the app
    const char* message;
};

void PrintTo(const Refusal& r, std::ostream* out) { *out << r.what; }

class PackRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(PackRefusal, WritesNothing) {
    TempTree tree;
    const auto paths = GetParam().make_paths(tree);
    fs::create_directories(tree.root / "out");
    const fs::path output = tree.root / "out/result.bin";
    try {
        write_attached_data_file(collect_entries(paths.front(), std::vector<fs::path>(paths.begin() + 1, paths.end())),
                                 {}, output);
        ADD_FAILURE() << "accepted";
    } catch (const PackError& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().message), std::string::npos) << error.what();
        EXPECT_EQ(std::string(error.what()).find('\n'), std::string::npos);
    }
    EXPECT_TRUE(fs::is_empty(tree.root / "out"));
}

std::string test_name(const testing::TestParamInfo<Refusal>& info) { return info.param.what; }

INSTANTIATE_TEST_SUITE_P(
    Inputs, PackRefusal,
    testing::Values(
        Refusal{"Backslash",
                [](const TempTree& t) {
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.write("a\\b", "x")};
                },
                "backslash"},
        Refusal{"InvalidUtf8",
                [](const TempTree& t) {
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.write("d/\xff.txt", "x").parent_path()};
                },
                "not valid UTF-8"},
        Refusal{"Colon",
                [](const TempTree& t) {
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.write("a:b", "x")};
                },
                "colon"},
        Refusal{"DeviceName",
                [](const TempTree& t) {
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.write("d/nul.txt", "x").parent_path()};
                },
                "device name"},
        Refusal{"TrailingDot",
                [](const TempTree& t) {
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.write("x.", "x")};
                },
                "dot or space"},
        Refusal{"TooLong",
                [](const TempTree& t) {
                    const std::string part(200, 'n');
                    t.write("d/" + part + "/" + part + "/" + part + "/" + part + "/" + part + "/" + part + "/f", "x");
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.root / "d"};
                },
                "longer than 1023"},
        Refusal{"SameNameTwice",
                [](const TempTree& t) {
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.write("other/app.dll", "y")};
                },
                "both map to the name app.dll"},
        Refusal{"SameNameIgnoringCase",
                [](const TempTree& t) {
                    t.write("d/Readme.txt", "x");
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.write("d/README.TXT", "y").parent_path()};
                },
                "both map"},
        Refusal{"SameNameIgnoringUnicodeCase",
                [](const TempTree& t) {
                    t.write("d/\xc3\x89.txt", "x");
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.write("d/\xc3\xa9.txt", "y").parent_path()};
                },
                "the same file as"},
        Refusal{"FileBesideDirectoryOfOtherCase",
                [](const TempTree& t) {
                    t.write("d/\xce\xa3", "file");
                    return std::vector<fs::path>{t.write("app.dll", "x"),
                                                 t.write("d/\xcf\x83/x", "y").parent_path().parent_path()};
                },
                "also a directory"},
        Refusal{"FileAndDirectory",
                [](const TempTree& t) {
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.write("one/x", "file"),
                                                 t.write("two/x/inner", "y").parent_path().parent_path() / "."};
                },
                "also a directory"},
        Refusal{"DanglingSymlink",
                [](const TempTree& t) {
                    fs::create_directories(t.root / "d");
                    fs::create_symlink(t.root / "missing", t.root / "d/link");
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.root / "d"};
                },
                "cannot read"},
        Refusal{"SymlinkLoop",
                [](const TempTree& t) {
                    t.write("d/sub/f", "x");
                    fs::create_directory_symlink(t.root / "d", t.root / "d/sub/back");
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.root / "d"};
                },
                "leads back"},
        Refusal{"ApplicationIsADirectory",
                [](const TempTree& t) { return std::vector<fs::path>{t.write("app.dll/inner", "x").parent_path()}; },
                "must be a file"},
        Refusal{"ParentDirectoryArgument",
                [](const TempTree& t) {
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.write("d/f", "x").parent_path() / ".."};
                },
                "no directory name"},
        Refusal{"Fifo",
                [](const TempTree& t) {
                    fs::create_directories(t.root / "d");
                    ::mkfifo((t.root / "d/pipe").c_str(), 0600);
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.root / "d"};
                },
                "not a regular file"},
        Refusal{"MissingFile",
                [](const TempTree& t) {
                    return std::vector<fs::path>{t.write("app.dll", "x"), t.root / "absent.txt"};
                },
                "cannot read"}),
    test_name);

// The output under any of an input's names: the input itself, a symlink to
// it, a hard link to it.
TEST(PackRefusal, OutputThatIsAnInput) {
    TempTree tree;
    const auto app = tree.write("app.dll", "x");
    const auto data = tree.write("data.bin", "y");
    fs::create_symlink(app, tree.root / "symlink");
    fs::create_hard_link(data, tree.root / "hard");
    for (const char* output : {"app.dll", "data.bin", "symlink", "hard"}) {
        EXPECT_THROW(refuse_output_among_inputs(tree.root / output, {app, data}), PackError) << output;
    }
    for (const char* output : {"absent.bin", "other.bin"}) {
        tree.write("other.bin", "z");
        EXPECT_NO_THROW(refuse_output_among_inputs(tree.root / output, {app, data})) << output;
    }
}

TEST(PackRefusal, UnreadableFileWritesNothing) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    TempTree tree;
    const auto app = tree.write("app.dll", "x");
    const auto secret = tree.write("secret", "x");
    fs::permissions(secret, fs::perms::none);
    EXPECT_THROW(collect_entries(app, {secret}), PackError);
}

// A file that changes size between collection and compression: the
// temporary output is removed.
TEST(PackRefusal, FileChangedWhilePackingLeavesNothing) {
    TempTree tree;
    const auto app = tree.write("app.dll", "x");
    const auto data = tree.write("data.bin", "short");
    auto entries = collect_entries(app, {data});
    tree.write("data.bin", "a little longer");
    fs::create_directories(tree.root / "out");
    EXPECT_THROW(write_attached_data_file(entries, {}, tree.root / "out/result.bin"), PackError);
    EXPECT_TRUE(fs::is_empty(tree.root / "out"));
}

}  // namespace
