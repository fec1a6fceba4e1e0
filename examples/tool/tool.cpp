// An ordinary console program, written with no thought of Fenzar: it prints
// its arguments, reads motto.txt from its own directory and prints it in
// capitals through shout.dll, a DLL of its own. It ends with the number of
// arguments it was given.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "shout.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) std::printf("argument %d: [%s]\n", i, argv[i]);

    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string beside(path, length);
    beside = beside.substr(0, beside.find_last_of('\\') + 1) + "motto.txt";
    std::FILE* file = std::fopen(beside.c_str(), "r");
    if (file == nullptr) {
        std::fprintf(stderr, "tool: cannot read %s\n", beside.c_str());
        return 100;
    }
    char line[256] = {};
    if (std::fgets(line, sizeof line, file) == nullptr) line[0] = 0;
    std::fclose(file);
    line[std::strcspn(line, "\r\n")] = 0;
    shout(line);
    std::printf("motto.txt, shouted: %s\n", line);
    return argc - 1;
}
