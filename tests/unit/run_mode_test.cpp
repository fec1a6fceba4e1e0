// The run-mode decision and the parent's environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "launcher/run_mode.h"
#include "platform_override.h"

namespace {

int process_opens = 0;
uint32_t open_error = platform::error_invalid_parameter;

struct ProcessExit {
    int status;
};

class RunModeDecision : public ::testing::Test {
protected:
    void SetUp() override {
        process_opens = 0;
        open_error = platform::error_invalid_parameter;
        // No process may be opened unless the value parses; none is found.
        platform.table().open_process_for_query = [](uint32_t) -> platform::ProcessHandle {
            ++process_opens;
            platform::set_last_error(open_error);
            return {nullptr};
        };
        platform.table().exit_process = [](int status) { throw ProcessExit{status}; };
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

TEST_F(RunModeDecision, ProcessThatDoesNotExistMeansParentMode) {
    setenv("FENZAR_ONEFILE_PARENT", " +4242", 1);
    EXPECT_EQ(detect_run_mode(own_paths), RunMode::parent);
    EXPECT_EQ(process_opens, 1);
}

// A process that exists but may not be examined leaves the question open:
// taking parent mode would unpack and start a child that meets the same
// refusal, one launcher after another.
TEST_F(RunModeDecision, ProcessThatCannotBeExaminedEndsWithStatus2) {
    setenv("FENZAR_ONEFILE_PARENT", "4242", 1);
    for (uint32_t error : {platform::error_access_denied, platform::error_gen_failure}) {
        open_error = error;
        testing::internal::CaptureStderr();
        try {
            detect_run_mode(own_paths);
            ADD_FAILURE() << "a run mode was chosen";
        } catch (const ProcessExit& exit) {
            EXPECT_EQ(exit.status, 2);
        }
        std::string message = testing::internal::GetCapturedStderr();
        EXPECT_EQ(message.rfind("Error, couldn't examine parent process. ([Error " + std::to_string(error) + "] ", 0), 0u)
            << message;
    }
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
