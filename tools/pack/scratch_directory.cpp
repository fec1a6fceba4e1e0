#include "scratch_directory.h"

#include "system.h"

namespace fenzar::pack {

scratch_directory::scratch_directory() : path_(create_scratch_directory()) {}

scratch_directory::~scratch_directory() { remove_scratch_directory(path_); }

}  // namespace fenzar::pack
