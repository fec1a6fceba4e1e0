// Test application that needs needs_neighbour_app.dll, which in turn needs
// neighbour_lib.dll: a chain of packed DLLs with its last link missing.
#include <cstdio>

extern "C" __declspec(dllimport) int neighbour_twice();

extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t*) {
    std::printf("twice=%d\n", neighbour_twice());
    std::fflush(stdout);
    return 0;
}
