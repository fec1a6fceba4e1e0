// Every refusal of the packer is one of these; the command line prints its
// message on one line and exits non-zero.
#pragma once

#include <stdexcept>
#include <string>

namespace fenzar::pack {

class pack_error : public std::runtime_error {
public:
    explicit pack_error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace fenzar::pack
