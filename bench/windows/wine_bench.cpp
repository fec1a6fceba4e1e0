// fenzar_wine_bench, run under Wine:
//   decode FILE          decode the attached data FILE through a 128 KiB window
//   unpack FILE TARGET [CLOSES]
//                        the launcher's reader and unpacking loop into TARGET;
//                        also prints the seconds spent in each file call.
//                        CLOSES: adaptive (the launcher's, by default),
//                        inline or pooled closes beside the writer thread,
//                        or serial: no thread at all, every call on the
//                        decoding thread, as before the writer.
//                        FENZAR_TEST_SLOW_CLOSE=MS_PER_FILE:MS_PER_MB
//                        simulates a virus scanner at each close
//                        (tests/windows/hooks/slow_close.h)
//   remove TARGET        the launcher's removal of the tree TARGET
// Prints the seconds the step took. FILE is mapped, as a launcher's attached
// data is, so reading it is part of the step.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include <memory>

#include "decode_loop.h"
#include "hooks/slow_close.h"
#include "platform/platform.h"
#include "removal/tree_removal.h"
#include "unpack/unpack.h"

namespace fenzar {

namespace {

struct MappedFile {
    const unsigned char* data = nullptr;
    uint64_t size = 0;
};

MappedFile map_whole_file(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER size = {};
    HANDLE mapping = nullptr;
    const void* view = nullptr;
    if (file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &size)) {
        mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    }
    if (mapping != nullptr) view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) {
        std::fwprintf(stderr, L"cannot map %ls\n", path);
        std::exit(1);
    }
    return {static_cast<const unsigned char*>(view), static_cast<uint64_t>(size.QuadPart)};
}

// Seconds spent in the unpacking loop's system calls, by call, summed over
// the threads that make them.
struct CallTimes {
    std::atomic<double> create_file = 0, write_file = 0, close_file = 0, create_directory = 0;
} call_times;

platform::Table original;

template <typename Call>
auto timed_call(std::atomic<double>& total, Call call) {
    auto start = std::chrono::steady_clock::now();
    auto result = call();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double seen = total.load();
    while (!total.compare_exchange_weak(seen, seen + seconds)) {
    }
    return result;
}

// The launcher's unpacking, with the closes as asked.
bool unpack_with(AttachedData attached_data, const char16_t* directory, const wchar_t* closes, bool* pooled) {
    auto unpacking = std::make_unique<Unpacking>();
    if (std::wcscmp(closes, L"inline") == 0)
        unpacking->close_mode = CloseMode::inline_only;
    else if (std::wcscmp(closes, L"pooled") == 0)
        unpacking->close_mode = CloseMode::pooled;
    else if (std::wcscmp(closes, L"serial") == 0)
        platform::table.start_thread = [](void (*)(void*), void*) { return platform::ThreadHandle{nullptr}; };
    else if (std::wcscmp(closes, L"adaptive") != 0)
        return false;
    PayloadReader reader;
    Interruption no_handler;
    open_payload(reader, attached_data);
    unpack_archive(*unpacking, reader, no_handler, directory);
    *pooled = unpacking->writer.closes_pooled();
    return true;
}

void time_file_calls() {
    original = platform::table;
    platform::table.create_file_for_writing = [](const char16_t* path) {
        return timed_call(call_times.create_file, [&] { return original.create_file_for_writing(path); });
    };
    platform::table.write_file = [](platform::FileHandle file, const void* data, uint32_t length) {
        return timed_call(call_times.write_file, [&] { return original.write_file(file, data, length); });
    };
    platform::table.close_file = [](platform::FileHandle file) {
        return timed_call(call_times.close_file, [&] { return original.close_file(file); });
    };
    platform::table.create_directory = [](const char16_t* path) {
        return timed_call(call_times.create_directory, [&] { return original.create_directory(path); });
    };
}

}  // namespace

}  // namespace fenzar

using namespace fenzar;

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: fenzar_wine_bench decode FILE | unpack FILE TARGET [CLOSES] | remove TARGET\n");
        return 2;
    }
    MappedFile data;
    if (std::wcscmp(argv[1], L"remove") != 0) data = map_whole_file(argv[2]);
    auto start = std::chrono::steady_clock::now();
    if (std::wcscmp(argv[1], L"decode") == 0) {
        if (decode_attached_data(data.data, data.size) == 0) return 1;
    } else if (std::wcscmp(argv[1], L"unpack") == 0 && argc > 3) {
        const char* slow = std::getenv("FENZAR_TEST_SLOW_CLOSE");
        if (slow != nullptr && *slow != 0 && !slow_close::install(slow)) return 2;
        time_file_calls();
        bool pooled = false;
        if (!unpack_with({data.data, data.size}, reinterpret_cast<const char16_t*>(argv[3]),
                         argc > 4 ? argv[4] : L"adaptive", &pooled)) {
            return 2;
        }
        std::printf("create_file=%.4f write_file=%.4f close_file=%.4f create_directory=%.4f closes_pooled=%d\n",
                    call_times.create_file.load(), call_times.write_file.load(), call_times.close_file.load(),
                    call_times.create_directory.load(), pooled ? 1 : 0);
    } else if (std::wcscmp(argv[1], L"remove") == 0) {
        static TreeRemoval removal;
        remove_directory_tree(removal, reinterpret_cast<const char16_t*>(argv[2]));
    } else {
        return 2;
    }
    std::printf("seconds=%.4f\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
}
