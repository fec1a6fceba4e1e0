#include "scratch_directory.h"

#include "system.h"

namespace fenzar::pack {

ScratchDirectory::ScratchDirectory() : path_(create_scratch_directory()) {}

ScratchDirectory::~ScratchDirectory() { remove_scratch_directory(path_); }

}  // namespace fenzar::pack
