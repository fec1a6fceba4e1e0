// Replays inputs without libFuzzer, so that ctest can replay the corpora with
// any compiler: every file named, and every file in each directory named (in
// name order), fed once to the target.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            std::vector<fs::path> files;
            for (const auto& entry : fs::directory_iterator(argv[i])) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else {
            inputs.emplace_back(argv[i]);
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no inputs\n");
        return 1;
    }
    for (const fs::path& input : inputs) {
        std::ifstream file(input, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (!file.good() && !file.eof()) {
            std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
            return 1;
        }
        // A copy of exactly the input's size, so that a read past it is seen.
        std::vector<uint8_t> data(bytes.begin(), bytes.end());
        auto* exact = new uint8_t[data.size()];
        std::copy(data.begin(), data.end(), exact);
        LLVMFuzzerTestOneInput(exact, data.size());
        delete[] exact;
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
