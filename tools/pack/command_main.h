// The packer's command line, shared by the entry points of Linux
// (posix/entry.cpp) and Windows (win32/entry.cpp). Arguments are UTF-8; see
// path_from_argument for the paths among them.
#pragma once

namespace fenzar::pack {

int command_main(int argc, char** argv);

}  // namespace fenzar::pack
