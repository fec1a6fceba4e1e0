// Test program: unpack_into.exe ATTACHED_DATA TARGET_DIRECTORY runs the
// launcher's unpacking loop over the win32 layer, with the attached data read
// from a file and any target directory, also one longer than the temporary
// directory that Wine hands a real launcher (GetTempPathW stays within 260
// characters there). Exit status 0 after the end marker; failures end it the
// way they end a launcher.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "unpack/unpack.h"

using namespace fenzar;

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: unpack_into ATTACHED_DATA TARGET_DIRECTORY\n", stderr);
        return 120;
    }
    std::FILE* file = _wfopen(argv[1], L"rb");
    if (file == nullptr) return 121;
    std::vector<unsigned char> data;
    unsigned char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) data.insert(data.end(), buffer, buffer + n);
    std::fclose(file);

    unpack_attached_data({data.data(), data.size()}, reinterpret_cast<const char16_t*>(argv[2]));
    return 0;
}
