// Test program: run_library.exe LIBRARY [ARGS...] runs a test application as
// a plain console program would run the same code: it loads LIBRARY, calls
// its run_code with its own arguments from LIBRARY on and returns what
// run_code returns. The console tests hold a console launcher against it.
#include <windows.h>

#include <cstdio>

using run_code_function = int (*)(int, wchar_t**, const wchar_t*);

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: run_library LIBRARY [ARGS...]\n", stderr);
        return 120;
    }
    HMODULE library = LoadLibraryW(argv[1]);
    auto run_code = library ? reinterpret_cast<run_code_function>(GetProcAddress(library, "run_code")) : nullptr;
    if (run_code == nullptr) {
        std::fprintf(stderr, "run_library: cannot run %ls (error %lu)\n", argv[1], GetLastError());
        return 120;
    }
    return run_code(argc - 1, argv + 1, argv[1]);
}
