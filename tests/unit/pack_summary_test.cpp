// The packer's line about what it wrote, and its hint about --threads.
#include <gtest/gtest.h>

#include "summary.h"

namespace fenzar::pack {
namespace {

TEST(PackSummary, SaysWhatWasWrittenFromWhat) {
    WrittenSummary pack{"app.exe", "console launcher", 334848, 2, 822829, 310112, 19};
    EXPECT_EQ(summary_line(pack),
              "fenzar-pack: wrote app.exe (console launcher, 334848 bytes): 2 files, 822829 bytes compressed to "
              "310112 (37.7%) at level 19\n");
    WrittenSummary one{"a.bin", "attached data", 40, 1, 0, 40, -5};
    EXPECT_EQ(summary_line(one),
              "fenzar-pack: wrote a.bin (attached data, 40 bytes): 1 file, 0 bytes compressed to 40 (-) at level -5\n");
    WrittenSummary link{"b.exe", "windows launcher", 30000, std::nullopt, 0, 1234, 19};
    EXPECT_EQ(summary_line(link),
              "fenzar-pack: wrote b.exe (windows launcher, 30000 bytes): with 1234 bytes of "
              "attached data\n");
}

TEST(PackSummary, HintsAtThreadsOnlyForASlowSingleThreadedCompression) {
    EXPECT_EQ(threads_hint(slow_compression_seconds - 0.5, 0), std::nullopt);
    EXPECT_EQ(threads_hint(600, 2), std::nullopt);
    auto hint = threads_hint(42.7, 0);
    ASSERT_TRUE(hint);
    EXPECT_EQ(*hint,
              "fenzar-pack: compressing took 42 s on one thread; --threads N shares it among N worker "
              "threads; every N of 1 or more gives the same bytes\n");
}

}  // namespace
}  // namespace fenzar::pack
