#include "korvax/korvaxheaders.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace brl::Korvax;
namespace fs = std::filesystem;
using brl::testing::ReadFile;

// Guards half-written exports: a patch that does not compile, or a header that cannot be
// replaced, leaves all three as they were and no temporary file behind.
TEST(HeaderExport, APatchThatDoesNotCompileOrAFileThatCannotBeWrittenLeavesAllThreeAsTheyWere) {
    brl::Logging::NullChannel log;
    brl::testing::TempDir directory;
    const std::string path = directory.File("song.korvax");
    PatchSet patches;
    std::vector<float> slots(kParameterCount, 0.0f);
    slots[0] = 0.5f;
    ASSERT_TRUE(ExportHeaders(path, patches, slots.data(), log));
    const std::string files[] = {ReadFile(path + ".values.h"), ReadFile(path + ".ops.h"),
                                 ReadFile(path + ".params.h")};
    PatchSet cyclic;
    auto* a = CreateModuleNode(cyclic.Voice(4), 29);
    auto* b = CreateModuleNode(cyclic.Voice(4), 30);
    cyclic.Voice(4).Link(a->Outputs().At(0), b->Inputs().At(0));
    cyclic.Voice(4).Link(b->Outputs().At(0), a->Inputs().At(0));
    slots[0] = 0.25f;
    EXPECT_FALSE(ExportHeaders(path, cyclic, slots.data(), log));
    EXPECT_EQ(ReadFile(path + ".values.h"), files[0]);
    EXPECT_EQ(ReadFile(path + ".ops.h"), files[1]);
    EXPECT_EQ(ReadFile(path + ".params.h"), files[2]);
    fs::remove(path + ".params.h");
    fs::create_directory(path + ".params.h"); // cannot be replaced by a file
    EXPECT_FALSE(ExportHeaders(path, patches, slots.data(), log));
    EXPECT_EQ(ReadFile(path + ".values.h"), files[0]);
    EXPECT_TRUE(fs::is_directory(path + ".params.h"));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.Path()), {}), 3);
    EXPECT_FALSE(ExportHeaders(directory.File("missing/x.korvax"), patches, nullptr, log));
}

} // namespace
