#include "attached_data_writer.h"

// For ZSTD_getCParams: the window that a level picks for a given size.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "error.h"
#include "output_file.h"
#include "payload/attached_data.h"

namespace fenzar::pack {

namespace {

struct CctxDeleter {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
using CctxPointer = std::unique_ptr<ZSTD_CCtx, CctxDeleter>;

void check_zstd(std::size_t result, const char* what) {
    if (ZSTD_isError(result)) {
        throw PackError(std::string("compression failed (") + what + "): " + ZSTD_getErrorName(result));
    }
}

CctxPointer make_context(const CompressionOptions& options, std::uint64_t content_size) {
    CctxPointer context(ZSTD_createCCtx());
    if (!context) throw PackError("compression failed: out of memory");
    ZSTD_CCtx* c = context.get();
    check_zstd(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, options.level), "level");
    check_zstd(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1), "checksum");
    check_zstd(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1), "content size");
    // zstd shrinks an explicit window to fit the pledged size, so a small
    // archive still gets a small (single-segment) frame.
    int window_log =
        std::min<int>(attached_data_format::max_window_log, ZSTD_getCParams(options.level, content_size, 0).windowLog);
    if (options.long_window) {
        window_log = attached_data_format::max_window_log;
        check_zstd(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1), "long mode");
    }
    check_zstd(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log), "window");
    if (options.threads > 0) {
        check_zstd(ZSTD_CCtx_setParameter(c, ZSTD_c_nbWorkers, options.threads), "threads");
    }
    check_zstd(ZSTD_CCtx_setPledgedSrcSize(c, content_size), "content size");
    return context;
}

void write_bytes(std::FILE* out, const void* bytes, std::size_t count) {
    write_output(out, {static_cast<const unsigned char*>(bytes), count}, "cannot write the output");
}

class FrameWriter {
public:
    FrameWriter(ZSTD_CCtx* context, std::FILE* out) : context_(context), out_(out), buffer_(ZSTD_CStreamOutSize()) {}

    void compress(const unsigned char* bytes, std::size_t count) {
        ZSTD_inBuffer input{bytes, count, 0};
        while (input.pos < input.size) step(input, ZSTD_e_continue);
    }

    void finish() {
        ZSTD_inBuffer input{nullptr, 0, 0};
        while (step(input, ZSTD_e_end) != 0) {
        }
    }

    std::uint64_t written() const { return written_; }

private:
    std::size_t step(ZSTD_inBuffer& input, ZSTD_EndDirective directive) {
        ZSTD_outBuffer output{buffer_.data(), buffer_.size(), 0};
        const std::size_t remaining = ZSTD_compressStream2(context_, &output, &input, directive);
        check_zstd(remaining, "stream");
        write_bytes(out_, buffer_.data(), output.pos);
        written_ += output.pos;
        return remaining;
    }

    ZSTD_CCtx* context_;
    std::FILE* out_;
    std::vector<unsigned char> buffer_;
    std::uint64_t written_ = 0;
};

}  // namespace

std::uint64_t write_attached_data(const std::vector<ArchiveEntry>& entries, const CompressionOptions& options,
                                  std::FILE* out, const ProgressCallback& progress) {
    const std::uint64_t content_size = archive_size(entries);
    const CctxPointer context = make_context(options, content_size);

    namespace format = attached_data_format;
    write_bytes(out, format::magic, sizeof format::magic);

    FrameWriter frame(context.get(), out);
    std::uint64_t consumed = 0;
    stream_archive(entries, [&](const unsigned char* bytes, std::size_t count) {
        frame.compress(bytes, count);
        consumed += count;
        if (progress) progress(consumed);
    });
    frame.finish();

    const std::uint64_t unpadded = sizeof format::magic + frame.written();
    const std::uint64_t trailer_offset = format::trailer_offset_after(unpadded);
    const unsigned char zeros[format::trailer_alignment] = {};
    write_bytes(out, zeros, trailer_offset - unpadded);
    unsigned char trailer[format::trailer_bytes];
    format::put_size(trailer_offset, trailer);
    write_bytes(out, trailer, sizeof trailer);
    return trailer_offset + sizeof trailer;
}

void write_attached_data_file(const std::vector<ArchiveEntry>& entries, const CompressionOptions& options,
                              const std::filesystem::path& destination, const ProgressCallback& progress) {
    OutputFile output(destination);
    write_attached_data(entries, options, output.stream(), progress);
    output.commit(0666);
}

}  // namespace fenzar::pack
