// The wide entry (-municode): arguments arrive as UTF-16 and go on as
// generalized UTF-8, which keeps even an unpaired surrogate of a file name.
#include <string>
#include <vector>

#include "command_main.h"
#include "names.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        const std::wstring_view argument = argv[i];
        arguments.push_back(fenzar::pack::utf16_to_wtf8(std::u16string(argument.begin(), argument.end())));
    }
    std::vector<char*> pointers;
    for (auto& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return fenzar::pack::command_main(argc, pointers.data());
}
