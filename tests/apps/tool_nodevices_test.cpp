#include "apps_test_support.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

// korvax-tool built without the device backends: its device commands say so.
namespace {

TEST(DeviceCommandsNotBuilt, PlayAndDevicesSayTheyAreNotBuiltAndExitTwo) {
    brl::testing::TempDir dir;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"play", dir.File("any.korvax")}, std::vector<std::string>{"devices"}}) {
        const korvax_apps::Outcome outcome = korvax_apps::RunProgram(dir.Path(), KORVAX_TOOL, arguments);
        EXPECT_EQ(outcome.exitCode, 2) << outcome.output;
        EXPECT_NE(outcome.output.find("is not built"), std::string::npos) << outcome.output;
    }
}

} // namespace
