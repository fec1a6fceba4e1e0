// Every refusal of the packer is one of these; the command line prints its
// message on one line and exits non-zero.
#pragma once

#include <stdexcept>
#include <string>

namespace fenzar::pack {

class PackError : public std::runtime_error {
public:
    explicit PackError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace fenzar::pack
