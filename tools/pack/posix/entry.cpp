#include "command_main.h"

int main(int argc, char** argv) { return fenzar::pack::command_main(argc, argv); }
