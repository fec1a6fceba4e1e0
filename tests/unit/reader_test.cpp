// The payload stream reader against frames made here with libzstd: byte-exact
// output for any request sizes, the refill rules at the window's edges, and the
// exit with status 2 for every fault in the attached data.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// From AddressSanitizer's runtime; its header is not installed with g++ here.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include "payload/reader.h"
#include "platform_override.h"
#include "support/attached_data_builder.h"

namespace fenzar {

namespace {

// Attached data written out by hand: the magic, a frame holding "hello" in
// one raw block, padding to a multiple of 8 and the offset.
const unsigned char hand_made_attached_data[] = {'Z',  'U', 'Q', 0x28, 0xB5, 0x2F, 0xFD, 0x20, 5, 0x29, 0x00,
                                                 0x00, 'h', 'e', 'l',  'l',  'o',  0,    0,    0, 0,    0,
                                                 0,    0,   24,  0,    0,    0,    0,    0,    0, 0};

constexpr size_t window_size = 131072;
const std::string header_message = "Error, couldn't find attached data header.\n";
const std::string decode_message = "Error, couldn't decode attached data.\n";

struct Exited {
    int status;
};

Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

void append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

// Mixed content: random stretches the compressor stores raw, repeated text,
// long runs of one byte.
Bytes mixed_content(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes content;
    content.reserve(size);
    while (content.size() < size) {
        size_t stretch = std::uniform_int_distribution<size_t>(1, 200000)(random);
        switch (random() % 3) {
            case 0:
                for (size_t i = 0; i < stretch; ++i) content.push_back(static_cast<unsigned char>(random()));
                break;
            case 1:
                for (size_t i = 0; i < stretch; ++i) content.push_back("the quick brown fox, "[i % 21]);
                break;
            default:
                content.insert(content.end(), stretch, static_cast<unsigned char>(random()));
        }
    }
    content.resize(size);
    return content;
}

// One frame without a content size, as a packer streaming its archive writes
// it, so that the header keeps the window log asked for (0: the level's).
// block_ends: content offsets after which the current block is ended.
Bytes compress(const Bytes& content, bool checksum = true, int window_log = 0,
               const std::vector<size_t>& block_ends = {}) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    if (window_log != 0) ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, window_log);
    Bytes frame(ZSTD_compressBound(content.size()) + 1024);
    ZSTD_outBuffer out = {frame.data(), frame.size(), 0};
    size_t start = 0;
    auto feed = [&](size_t end, ZSTD_EndDirective directive) {
        ZSTD_inBuffer in = {content.data() + start, end - start, 0};
        size_t remaining;
        do {
            remaining = ZSTD_compressStream2(context, &out, &in, directive);
            EXPECT_FALSE(ZSTD_isError(remaining)) << ZSTD_getErrorName(remaining);
        } while (remaining != 0 && !ZSTD_isError(remaining));
        start = end;
    };
    // A first call with e_end would make the size known and shrink the window.
    feed(0, ZSTD_e_continue);
    for (size_t end : block_ends) feed(end, ZSTD_e_flush);
    feed(content.size(), ZSTD_e_end);
    ZSTD_freeCCtx(context);
    frame.resize(out.pos);
    return frame;
}

Bytes skippable_frame(size_t length) {
    Bytes frame = {0x50, 0x2A, 0x4D, 0x18};
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<unsigned char>(length >> (8 * i)));
    frame.insert(frame.end(), length, 0xAB);
    return frame;
}

size_t heap_bytes_in_use() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// Exit with status 2 throws instead of ending the test; the reader is closed
// after every test that opened it.
class Reader : public ::testing::Test {
protected:
    Reader() {
        platform_.table().exit_process = [](int status) {
            std::fflush(stdout);
            throw Exited{status};
        };
    }
    ~Reader() override {
        if (opened_) close_payload(reader_);
    }

    void open(const Bytes& data) {
        data_ = data;
        open_payload(reader_, {data_.data(), data_.size()});
        opened_ = true;
    }

    void close() {
        close_payload(reader_);
        opened_ = false;
    }

    Bytes read(size_t count) {
        Bytes bytes(count);
        read_payload(reader_, bytes.data(), count);
        return bytes;
    }

    // Runs the statement, which must end with status 2 after printing exactly
    // the message line.
    template <typename Statement>
    void expect_exit_with_message(Statement statement, const std::string& message) {
        testing::internal::CaptureStdout();
        int status = -1;
        try {
            statement();
        } catch (const Exited& exited) {
            status = exited.status;
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), message);
        EXPECT_EQ(status, 2) << "-1: it did not exit";
    }

    PlatformOverride platform_;
    Bytes data_;
    bool opened_ = false;
    PayloadReader reader_;
};

TEST_F(Reader, RandomRequestSizesReproduceTheContentExactly) {
    const Bytes content = mixed_content(5 * 1024 * 1024 + 12345, 7);
    const Bytes data = wrap_attached_data(compress(content));
    for (uint32_t seed : {1u, 2u}) {
        SCOPED_TRACE(seed);
        open(data);
        std::mt19937 random(seed);
        size_t offset = 0;
        while (offset < content.size()) {
            // Many name-unit and size-field reads as well as large pieces.
            size_t count = random() % 4 == 0 ? std::uniform_int_distribution<size_t>(1, 8)(random)
                                             : std::uniform_int_distribution<size_t>(1, 70000)(random);
            count = std::min(count, content.size() - offset);
            Bytes piece = read(count);
            ASSERT_EQ(std::memcmp(piece.data(), content.data() + offset, count), 0)
                << "request of " << count << " at " << offset;
            offset += count;
        }
        close();
    }
}

TEST_F(Reader, RequestsAcrossTheWindowsEndTakeTheRestAfterARefill) {
    const Bytes content = mixed_content(3 * window_size + 500, 11);
    const Bytes data = wrap_attached_data(compress(content));
    // Reads before and the spanning request; every refill of a mid-frame
    // window produces a whole window.
    const struct {
        size_t before;
        size_t spanning;
    } cases[] = {
        {window_size - 1, 2}, {window_size - 1, window_size + 2}, {0, 2 * window_size + 1},
        {window_size, 1},     {2 * window_size - 3, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.before << " then " << c.spanning);
        open(data);
        EXPECT_EQ(read(c.before), Bytes(content.begin(), content.begin() + c.before));
        EXPECT_EQ(read(c.spanning), Bytes(content.begin() + c.before, content.begin() + c.before + c.spanning));
        close();
    }
}

// A skippable frame or an empty frame ahead of the archive's frame: the
// decoder stops at the end of each frame, so the first refill produces no
// bytes while input remains, and the request must go on with another refill.
TEST_F(Reader, ARefillThatProducesNothingIsFollowedByAnother) {
    const Bytes content = mixed_content(300000, 3);
    const Bytes frame = compress(content);
    const struct {
        const char* name;
        Bytes leading;
    } cases[] = {
        {"skippable frame", skippable_frame(20)},
        {"empty frame", compress({})},
        {"two empty frames",
         [] {
             Bytes both = compress({});
             append(both, compress({}));
             return both;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes frames = c.leading;
        append(frames, frame);

        // The premise: a whole-window decoder call produces nothing first.
        ZSTD_DCtx* decoder = ZSTD_createDCtx();
        Bytes window(window_size);
        ZSTD_outBuffer out = {window.data(), window.size(), 0};
        ZSTD_inBuffer in = {frames.data(), frames.size(), 0};
        ASSERT_FALSE(ZSTD_isError(ZSTD_decompressStream(decoder, &out, &in)));
        ZSTD_freeDCtx(decoder);
        ASSERT_EQ(out.pos, 0u);
        ASSERT_LT(in.pos, in.size);

        open(wrap_attached_data(frames));
        EXPECT_EQ(read(2), Bytes(content.begin(), content.begin() + 2));
        EXPECT_EQ(read(content.size() - 2), Bytes(content.begin() + 2, content.end()));
        close();
    }
}

// The offsets just after each block of a frame without a dictionary id or a
// content size.
std::vector<size_t> block_ends(const Bytes& frame) {
    std::vector<size_t> ends;
    size_t position = 6;
    for (bool last = false; !last;) {
        uint32_t header = frame[position] | frame[position + 1] << 8 | frame[position + 2] << 16;
        last = header & 1;
        bool run_length = ((header >> 1) & 3) == 1;
        position += 3 + (run_length ? 1 : header >> 3);
        ends.push_back(position);
    }
    return ends;
}

// A frame cut after its second block, no trailer. The blocks hold 1,000 and
// 131,072 bytes, so the first refill fills the window and consumes the whole
// input while the decoder still holds the last 1,000 bytes. Only the further
// call after a full window reaches them. (At the end of a whole frame zstd
// keeps one input byte back until its output is flushed, so the input cannot
// be consumed there while output is pending.)
struct CutFrame {
    Bytes content;  // what the two blocks hold
    Bytes frame;
};

CutFrame frame_cut_after_a_full_window() {
    Bytes content = mixed_content(1000, 5);
    for (int line = 0; content.size() < 1000 + window_size + 5000; ++line) {
        append(content, text_bytes("record " + std::to_string(line) + " of the archive\n"));
    }
    const Bytes frame = compress(content, true, 0, {1000, 1000 + window_size});
    content.resize(1000 + window_size);
    return {content, Bytes(frame.begin(), frame.begin() + block_ends(frame).at(1))};
}

TEST_F(Reader, AFullRefillIsFollowedByAnotherEvenWithTheInputConsumed) {
    const CutFrame cut = frame_cut_after_a_full_window();

    ZSTD_DCtx* decoder = ZSTD_createDCtx();
    Bytes window(window_size);
    ZSTD_outBuffer out = {window.data(), window.size(), 0};
    ZSTD_inBuffer in = {cut.frame.data(), cut.frame.size(), 0};
    ASSERT_FALSE(ZSTD_isError(ZSTD_decompressStream(decoder, &out, &in)));
    ZSTD_freeDCtx(decoder);
    ASSERT_EQ(out.pos, window_size);
    ASSERT_EQ(in.pos, in.size);

    open(wrap_attached_data(cut.frame, false));
    EXPECT_EQ(read(cut.content.size()), cut.content);
    expect_exit_with_message([&] { read(1); }, decode_message);
}

// The same cut frame read in other pieces: the bytes held after a full window
// come out whether the request that filled it also asks for them or a later
// one does.
TEST_F(Reader, TheHeldBytesComeOutHoweverTheRequestsAreSplit) {
    const CutFrame cut = frame_cut_after_a_full_window();
    const Bytes data = wrap_attached_data(cut.frame, false);
    std::vector<std::vector<size_t>> splits = {{window_size, 1000}, {window_size - 1, 1, 1000}, {2, window_size + 998}};
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        std::mt19937 random(seed);
        std::vector<size_t> counts;
        for (size_t total = 0; total < cut.content.size();) {
            size_t count = random() % 4 == 0 ? std::uniform_int_distribution<size_t>(1, 8)(random)
                                             : std::uniform_int_distribution<size_t>(1, 70000)(random);
            counts.push_back(std::min(count, cut.content.size() - total));
            total += counts.back();
        }
        splits.push_back(counts);
    }
    for (size_t i = 0; i < splits.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "split " << i << " of " << splits[i].size() << " requests");
        open(data);
        size_t offset = 0;
        for (size_t count : splits[i]) {
            ASSERT_EQ(read(count), Bytes(cut.content.begin() + offset, cut.content.begin() + offset + count))
                << "request of " << count << " at " << offset;
            offset += count;
        }
        expect_exit_with_message([&] { read(1); }, decode_message);
        close();
    }
}

// Every way of asking past the archive's end must end with the decode error,
// never hang: with the trailer the decoder takes it for a new frame; without
// it the input runs out.
TEST_F(Reader, AskingBeyondTheContentIsADecodeError) {
    const Bytes two_windows = mixed_content(2 * window_size, 9);
    const Bytes small = mixed_content(5000, 10);
    const struct {
        const char* name;
        Bytes content;
        Bytes frame;
        bool with_trailer;
    } cases[] = {
        {"exactly two windows, trailer", two_windows, compress(two_windows), true},
        {"exactly two windows, no trailer", two_windows, compress(two_windows), false},
        {"exactly two windows, no checksum, no trailer", two_windows, compress(two_windows, false), false},
        {"small content, trailer", small, compress(small), true},
        {"small content, no trailer", small, compress(small), false},
        {"empty content, no trailer", {}, compress({}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        open(wrap_attached_data(c.frame, c.with_trailer));
        if (!c.content.empty()) {
            EXPECT_EQ(read(c.content.size()), c.content);
        }
        expect_exit_with_message([&] { read(2); }, decode_message);
        close();
    }
}

TEST_F(Reader, ADamagedChecksumFailsTheReadOfTheLastBytes) {
    // Content ending exactly with a full window, the case where the decoder
    // could stop before it reaches the checksum: it still checks it in the
    // same call.
    const Bytes content = mixed_content(3 * window_size, 11);
    Bytes frame = compress(content);
    frame.back() ^= 0x01;  // the last byte belongs to the content checksum
    open(wrap_attached_data(frame));
    EXPECT_EQ(read(2 * window_size), Bytes(content.begin(), content.begin() + 2 * window_size));
    expect_exit_with_message([&] { read(window_size); }, decode_message);
}

TEST_F(Reader, ArchiveEndingInsideARecordFailsWhenTheMissingBytesAreAsked) {
    Bytes archive;
    for (char16_t unit : std::u16string(u"app.dll")) append(archive, {static_cast<unsigned char>(unit), 0});
    append(archive, {0, 0});
    append(archive, {100, 0, 0, 0, 0, 0, 0, 0});
    append(archive, text_bytes("only ten b"));
    open(wrap_attached_data(compress(archive)));

    for (char16_t unit : std::u16string(u"app.dll")) EXPECT_EQ(read(2), Bytes({static_cast<unsigned char>(unit), 0}));
    EXPECT_EQ(read(2), Bytes({0, 0}));
    EXPECT_EQ(read(8), Bytes({100, 0, 0, 0, 0, 0, 0, 0}));
    expect_exit_with_message([&] { read(100); }, decode_message);
}

TEST_F(Reader, FaultsInsideTheFrameAreDecodeErrors) {
    const Bytes content = mixed_content(600000, 13);
    const Bytes frame = compress(content);
    Bytes corrupt = frame;
    corrupt[corrupt.size() / 2] ^= 0x5A;
    const Bytes truncated(frame.begin(), frame.begin() + frame.size() / 2);
    Bytes not_a_frame = text_bytes("this is no zstd frame at all");
    const struct {
        const char* name;
        Bytes frame;
        bool with_trailer;
    } cases[] = {
        {"corrupt block", corrupt, true},
        {"truncated frame, trailer", truncated, true},
        {"truncated frame, no trailer", truncated, false},
        {"not a frame", not_a_frame, true},
        {"nothing after the magic", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        open(wrap_attached_data(c.frame, c.with_trailer));
        expect_exit_with_message([&] { read(content.size()); }, decode_message);
        close();
    }
}

TEST_F(Reader, WindowLogAboveTwentySevenFailsAtTheFirstRefill) {
    const Bytes content = mixed_content(200000, 17);
    for (int window_log : {27, 28}) {
        SCOPED_TRACE(window_log);
        const Bytes frame = compress(content, true, window_log);
        ZSTD_frameHeader header;
        ASSERT_EQ(ZSTD_getFrameHeader(&header, frame.data(), frame.size()), 0u);
        ASSERT_EQ(header.windowSize, uint64_t{1} << window_log) << "the header declares the window asked for";

        open(wrap_attached_data(frame));
        if (window_log == 27) {
            EXPECT_EQ(read(content.size()), content);
        } else {
            expect_exit_with_message([&] { read(1); }, decode_message);
        }
        close();
    }
}

TEST_F(Reader, WrongMagicFailsBeforeAnythingIsAllocated) {
    const Bytes frame = compress(mixed_content(1000, 19));
    for (const char* magic : {"ZUX", "XUQ", "ZXQ", "zuq"}) {
        SCOPED_TRACE(magic);
        const Bytes data = wrap_attached_data(frame, true, magic);
        testing::internal::CaptureStdout();
        long long before = heap_bytes_in_use();
        int status = -1;
        try {
            open_payload(reader_, {data.data(), data.size()});
        } catch (const Exited& exited) {
            status = exited.status;
        }
        long long after = heap_bytes_in_use();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), header_message);
        EXPECT_EQ(status, 2);
        EXPECT_LT(after - before, static_cast<long long>(window_size)) << "no decoding window was allocated";
    }

    // The measurement does see the window of a good open.
    long long before = heap_bytes_in_use();
    open(wrap_attached_data(frame));
    EXPECT_GE(static_cast<long long>(heap_bytes_in_use()) - before, static_cast<long long>(window_size));
}

// Bytes that end where an inaccessible page begins: a read past them faults,
// whether or not a sanitizer sees the access.
class BytesBeforeAGuardPage {
public:
    explicit BytesBeforeAGuardPage(const std::string& bytes) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* pages = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(pages, MAP_FAILED);
        base_ = static_cast<unsigned char*>(pages);
        EXPECT_EQ(mprotect(base_ + page_, page_, PROT_NONE), 0);
        data_ = base_ + page_ - bytes.size();
        std::memcpy(data_, bytes.data(), bytes.size());
    }
    ~BytesBeforeAGuardPage() { munmap(base_, 2 * page_); }
    const unsigned char* data() const { return data_; }

private:
    size_t page_;
    unsigned char* base_;
    unsigned char* data_;
};

TEST_F(Reader, DataShorterThanTheMagicHasNoHeader) {
    for (const std::string& data : {std::string(), std::string("Z"), std::string("ZU")}) {
        SCOPED_TRACE(testing::Message() << data.size() << " bytes");
        BytesBeforeAGuardPage guarded(data);
        expect_exit_with_message([&] { open_payload(reader_, {guarded.data(), data.size()}); }, header_message);
    }
}

TEST_F(Reader, OpenPayloadReadsHandMadeAttachedData) {
    open_payload(reader_, {hand_made_attached_data, sizeof hand_made_attached_data});
    opened_ = true;
    EXPECT_EQ(read(5), text_bytes("hello"));
    expect_exit_with_message([&] { read(1); }, decode_message);
}

}  // namespace

}  // namespace fenzar
