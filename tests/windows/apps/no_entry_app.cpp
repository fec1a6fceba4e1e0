// Test application that exports something, but not run_code.
extern "C" __declspec(dllexport) int run(int argc, wchar_t**, const wchar_t*) { return argc; }
