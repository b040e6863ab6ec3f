#include "apps_test_support.h"

// korvax-tool built without the device backends: its device commands say so.
namespace {

class DeviceCommandsNotBuilt : public korvax_apps::ScratchTest {};

TEST_F(DeviceCommandsNotBuilt, PlayAndDevicesSayTheyAreNotBuiltAndExitTwo) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"play", dir.File("any.korvax")}, std::vector<std::string>{"devices"}}) {
        const korvax_apps::Outcome outcome = Tool(arguments);
        EXPECT_EQ(outcome.exitCode, 2) << outcome.output;
        EXPECT_NE(outcome.output.find("is not built"), std::string::npos) << outcome.output;
    }
}

} // namespace
