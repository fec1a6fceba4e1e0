// Test application whose run_code lacks extern "C": it exports the C++
// compiler's name for it, which the packer refuses with a hint.
__declspec(dllexport) int run_code(int, wchar_t**, const wchar_t*) { return 0; }
