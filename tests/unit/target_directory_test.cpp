// The target directory's full-path step.
#include "target_dir/target_directory.h"

#include <gtest/gtest.h>

#include "platform_override.h"

namespace {

uint32_t full_path_length;

uint32_t fake_full_path(const char16_t*, uint32_t size, char16_t* out) {
    if (full_path_length < size) {
        for (uint32_t i = 0; i < full_path_length; ++i) out[i] = u'p';
        out[full_path_length] = 0;
    }
    return full_path_length;
}

TEST(TargetDirectory, FullPathOf4095IsAcceptedAnd4096Stops) {
    PlatformOverride platform;
    platform.table().get_full_path_name = fake_full_path;
    full_path_length = 4095;
    TargetDirectory target_directory;
    EXPECT_TRUE(resolve_target_directory(target_directory, SavedArguments{}));
    EXPECT_EQ(wide_length(target_directory.data()), 4095u);
    for (uint32_t length : {0u, 4096u, 4097u}) {
        full_path_length = length;
        EXPECT_IMMEDIATE_STOP(resolve_target_directory(target_directory, SavedArguments{}));
    }
}

}  // namespace
