// The Windows packer has no toolchain to link a launcher with; it writes
// launchers once it carries the launcher template itself.
#include "error.h"
#include "link.h"

namespace fenzar::pack {

namespace {

[[noreturn]] void refuse() {
    throw pack_error(
        "this fenzar-pack cannot write launcher executables yet; 'fenzar-pack build' writes "
        "the attached data");
}

}  // namespace

void check_link_inputs(const link_request&) { refuse(); }

void link_launcher(const link_request&) { refuse(); }

}  // namespace fenzar::pack
