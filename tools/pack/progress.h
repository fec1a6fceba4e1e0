// Progress of a long compression on a terminal's stderr; silent when stderr
// is not a terminal or the work is small.
#pragma once

#include <cstdint>

namespace fenzar::pack {

class ProgressMeter {
public:
    explicit ProgressMeter(std::uint64_t total);
    ~ProgressMeter();
    void update(std::uint64_t done);

private:
    std::uint64_t total_;
    bool enabled_;
    int shown_percent_ = -1;
};

}  // namespace fenzar::pack
