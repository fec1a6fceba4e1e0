#include "progress.h"

#include <cstdio>

#include "system.h"

namespace fenzar::pack {

namespace {
constexpr std::uint64_t quiet_below = 16ull << 20;
constexpr std::uint64_t mebibyte = 1ull << 20;
}  // namespace

ProgressMeter::ProgressMeter(std::uint64_t total)
    : total_(total), enabled_(total >= quiet_below && is_terminal(stderr)) {}

ProgressMeter::~ProgressMeter() {
    if (enabled_ && shown_percent_ >= 0) std::fputc('\n', stderr);
}

void ProgressMeter::update(std::uint64_t done) {
    if (!enabled_) return;
    const int percent = static_cast<int>(done * 100 / total_);
    if (percent == shown_percent_) return;
    shown_percent_ = percent;
    std::fprintf(stderr, "\rfenzar-pack: compressing %llu / %llu MiB (%d%%)",
                 static_cast<unsigned long long>(done / mebibyte), static_cast<unsigned long long>(total_ / mebibyte),
                 percent);
    std::fflush(stderr);
}

}  // namespace fenzar::pack
