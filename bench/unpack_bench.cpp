// fenzar_unpack_bench MODE ATTACHED_DATA TARGET [--memory]
//   MODE fenzar:    the launcher's reader and unpacking loop on the POSIX layer
//   MODE reference: the least a single thread can do: decode through a
//                   128 KiB window with ZSTD_decompressStream, write 32 KiB
//                   pieces, create each directory once, nothing else
//   MODE decode:    only the decoding of that loop (TARGET is not used)
// Prints the seconds spent unpacking; with --memory also the peak of
// anonymous memory (sampled every 5 ms) and the peak resident size.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "decode_loop.h"
#include "platform/posix/native_path.h"
#include "unpack/unpack.h"

namespace fenzar {

namespace {

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

long status_field_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0) return std::strtol(line.c_str() + length + 1, nullptr, 10);
    }
    return -1;
}

void unpack_with_fenzar(const unsigned char* data, size_t size, const std::string& target) {
    unpack_attached_data({data, size}, posix_layer::path_from_native(target).c_str());
}

class ReferenceReader {
public:
    ReferenceReader(const unsigned char* data, size_t size) : input_{data + 3, size - 3, 0} {
        decoder_ = ZSTD_createDCtx();
        window_ = static_cast<unsigned char*>(std::malloc(window_size));
    }
    ~ReferenceReader() {
        ZSTD_freeDCtx(decoder_);
        std::free(window_);
    }
    void read(void* destination, size_t count) {
        auto* out = static_cast<unsigned char*>(destination);
        while (count > 0) {
            if (position_ == filled_) refill();
            size_t n = std::min(count, filled_ - position_);
            std::memcpy(out, window_ + position_, n);
            position_ += n;
            out += n;
            count -= n;
        }
    }

private:
    static constexpr size_t window_size = 131072;
    void refill() {
        ZSTD_outBuffer output = {window_, window_size, 0};
        size_t result = ZSTD_decompressStream(decoder_, &output, &input_);
        if (ZSTD_isError(result) || output.pos == 0) {
            std::fprintf(stderr, "decode failed\n");
            std::exit(1);
        }
        filled_ = output.pos;
        position_ = 0;
    }
    ZSTD_inBuffer input_;
    ZSTD_DCtx* decoder_;
    unsigned char* window_;
    size_t filled_ = 0;
    size_t position_ = 0;
};

void unpack_reference(const unsigned char* data, size_t size, const std::string& target) {
    ReferenceReader reader(data, size);
    std::set<std::string> made;
    static unsigned char piece[32768];
    for (;;) {
        std::string name;
        for (;;) {
            unsigned char unit[2];
            reader.read(unit, 2);
            char16_t c = static_cast<char16_t>(unit[0] | unit[1] << 8);
            if (c == 0) break;
            name += c == u'\\' ? '/' : static_cast<char>(c);  // the payload's names are ASCII
        }
        if (name.empty()) return;
        std::string path = target + "/" + name;
        for (size_t slash = target.size(); (slash = path.find('/', slash + 1)) != std::string::npos;) {
            std::string directory = path.substr(0, slash);
            if (made.insert(directory).second) mkdir(directory.c_str(), 0755);
        }
        if (made.insert(target).second) mkdir(target.c_str(), 0755);
        unsigned char size_bytes[8];
        reader.read(size_bytes, 8);
        uint64_t remaining = 0;
        for (int i = 7; i >= 0; --i) remaining = remaining << 8 | size_bytes[i];
        int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (file < 0) fail(path.c_str());
        while (remaining > 0) {
            size_t n = std::min<uint64_t>(remaining, sizeof piece);
            reader.read(piece, n);
            if (write(file, piece, n) != static_cast<ssize_t>(n)) fail("write");
            remaining -= n;
        }
        close(file);
    }
}

}  // namespace

}  // namespace fenzar

using namespace fenzar;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s fenzar|reference|decode ATTACHED_DATA TARGET [--memory]\n", argv[0]);
        return 2;
    }
    std::string mode = argv[1];
    bool memory = argc > 4 && std::strcmp(argv[4], "--memory") == 0;
    int file = open(argv[2], O_RDONLY);
    if (file < 0) fail(argv[2]);
    struct stat status;
    fstat(file, &status);
    size_t size = static_cast<size_t>(status.st_size);
    // Mapped like the launcher image's read-only data: pages come in as read.
    auto* data = static_cast<const unsigned char*>(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file, 0));
    if (data == MAP_FAILED) fail("mmap");

    std::atomic<bool> done{false};
    std::atomic<long> peak_anon{0};
    std::thread sampler;
    if (memory) {
        sampler = std::thread([&] {
            while (!done.load()) {
                long anon = status_field_kib("RssAnon:");
                if (anon > peak_anon.load()) peak_anon.store(anon);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    auto start = std::chrono::steady_clock::now();
    if (mode == "fenzar") {
        unpack_with_fenzar(data, size, argv[3]);
    } else if (mode == "reference") {
        unpack_reference(data, size, argv[3]);
    } else if (mode == "decode") {
        if (decode_attached_data(data, size) == 0) {
            std::fprintf(stderr, "decode failed\n");
            return 1;
        }
    } else {
        std::fprintf(stderr, "unknown mode %s\n", argv[1]);
        return 2;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("seconds=%.4f\n", seconds);
    if (memory) {
        done.store(true);
        sampler.join();
        std::printf("peak_anon_kib=%ld\npeak_rss_kib=%ld\n", peak_anon.load(), status_field_kib("VmHWM:"));
    }
    return 0;
}
