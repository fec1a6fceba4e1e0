// Test application that cannot load without neighbour_lib.dll.
#include <cstdio>

extern "C" __declspec(dllimport) int neighbour_value();

extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t*) {
    std::printf("neighbour=%d\n", neighbour_value());
    std::fflush(stdout);
    return 0;
}

// For needs_needer_app, which imports this library in turn.
extern "C" __declspec(dllexport) int neighbour_twice() { return 2 * neighbour_value(); }
