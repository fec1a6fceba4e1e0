// The run-mode decision and the parent's environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "launcher/run_mode.h"
#include "platform_override.h"

namespace {

int process_opens = 0;

class RunModeDecision : public ::testing::Test {
protected:
    void SetUp() override {
        process_opens = 0;
        // No process may be opened unless the value parses; none is found.
        platform.table().open_process_for_query = [](uint32_t) -> platform::ProcessHandle {
            ++process_opens;
            return {nullptr};
        };
    }
    void TearDown() override { unsetenv("FENZAR_ONEFILE_PARENT"); }
    PlatformOverride platform;
    OwnPaths own_paths;
};

TEST_F(RunModeDecision, UnusableValuesMeanParentModeWithoutAskingTheSystem) {
    unsetenv("FENZAR_ONEFILE_PARENT");
    EXPECT_EQ(detect_run_mode(own_paths), RunMode::parent);
    for (const char* value : {"", "abc", "12x", "12 ", "2147483648", "-2147483649", "99999999999999999999"}) {
        setenv("FENZAR_ONEFILE_PARENT", value, 1);
        EXPECT_EQ(detect_run_mode(own_paths), RunMode::parent) << value;
    }
    EXPECT_EQ(process_opens, 0);
}

TEST_F(RunModeDecision, ProcessThatCannotBeOpenedMeansParentMode) {
    setenv("FENZAR_ONEFILE_PARENT", " +4242", 1);
    EXPECT_EQ(detect_run_mode(own_paths), RunMode::parent);
    EXPECT_EQ(process_opens, 1);
}

TEST(ParentEnvironment, ClearsInheritedValuesAndPublishesTheOwnId) {
    PlatformOverride platform;
    platform.table().current_process_id = []() -> uint32_t { return 4711; };
    setenv("FENZAR_ONEFILE_START", "1", 1);
    setenv("FENZAR_ONEFILE_TIME_US", "000001", 1);
    setenv("FENZAR_ONEFILE_RANDOM", "AAAAAAAAAAA", 1);
    setenv("FENZAR_ONEFILE_PARENT", "12", 1);
    prepare_parent_environment();
    EXPECT_EQ(std::getenv("FENZAR_ONEFILE_START"), nullptr);
    EXPECT_EQ(std::getenv("FENZAR_ONEFILE_TIME_US"), nullptr);
    EXPECT_EQ(std::getenv("FENZAR_ONEFILE_RANDOM"), nullptr);
    EXPECT_STREQ(std::getenv("FENZAR_ONEFILE_PARENT"), "4711");
    unsetenv("FENZAR_ONEFILE_PARENT");
}

}  // namespace
