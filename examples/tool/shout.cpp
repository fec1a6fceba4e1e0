#define SHOUT_BUILD
#include "shout.h"

void shout(char* text) {
    for (char* c = text; *c != 0; ++c) {
        if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
    }
}
