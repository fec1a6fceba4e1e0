// Writing outputs: large spans leave in bounded pieces (the Windows C
// runtime fails one write above 2 GiB), in order, and a failed write is
// reported with the system's reason. A stream of our own (fopencookie,
// unbuffered) sees every write call as the packer makes it. A launcher above
// 2 GiB end to end would write that much at every run; the bound is shown
// here instead.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "error.h"
#include "output_file.h"

namespace {

using namespace fenzar::pack;

struct RecordingSink {
    std::vector<std::size_t> calls;
    std::vector<unsigned char> received;
    std::size_t fail_after = SIZE_MAX;  // bytes accepted before writes fail
    int error = 0;
};

ssize_t record_write(void* cookie, const char* data, std::size_t size) {
    auto& sink = *static_cast<RecordingSink*>(cookie);
    sink.calls.push_back(size);
    if (sink.received.size() + size > sink.fail_after) {
        errno = sink.error;
        return -1;
    }
    sink.received.insert(sink.received.end(), data, data + size);
    return static_cast<ssize_t>(size);
}

std::FILE* open_sink(RecordingSink& sink) {
    std::FILE* stream = fopencookie(&sink, "wb", {nullptr, record_write, nullptr, nullptr});
    std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

TEST(WriteOutput, LargeSpansLeaveInBoundedPiecesInOrder) {
    std::vector<unsigned char> data(2 * max_write_piece + 12345);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + (i >> 16));
    RecordingSink sink;
    std::FILE* stream = open_sink(sink);
    write_output(stream, data, "cannot write x");
    std::fclose(stream);
    EXPECT_EQ(sink.calls, (std::vector<std::size_t>{max_write_piece, max_write_piece, 12345}));
    EXPECT_TRUE(sink.received == data);
}

TEST(WriteOutput, AFailedWriteSaysWhy) {
    const std::vector<unsigned char> data(max_write_piece + 10, 'x');
    for (const auto& [error, reason] : {std::pair{ENOSPC, "No space left on device"},
                                        std::pair{EFBIG, "File too large"}, std::pair{EIO, "Input/output error"}}) {
        RecordingSink sink;
        sink.fail_after = max_write_piece;
        sink.error = error;
        std::FILE* stream = open_sink(sink);
        try {
            write_output(stream, data, "cannot write x");
            ADD_FAILURE() << "accepted";
        } catch (const PackError& failure) {
            EXPECT_EQ(std::string(failure.what()), std::string("cannot write x: ") + reason);
        }
        std::fclose(stream);
        EXPECT_EQ(sink.received.size(), max_write_piece);
    }
}

}  // namespace
