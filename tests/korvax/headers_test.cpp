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

// Guards half-written exports: a header that cannot be replaced leaves the others as they
// were and no temporary file behind (korvax-tool's tests export a patch that does not compile).
TEST(HeaderExport, AHeaderThatCannotBeReplacedLeavesTheOthersAsTheyWere) {
    brl::Logging::NullChannel log;
    brl::testing::TempDir directory;
    const std::string path = directory.File("song.korvax");
    PatchSet patches;
    std::vector<float> slots(kParameterCount, 0.5f);
    ASSERT_TRUE(ExportHeaders(path, patches, slots.data(), log));
    const std::string values = ReadFile(path + ".values.h");
    const std::string ops = ReadFile(path + ".ops.h");
    slots[0] = 0.25f;
    fs::remove(path + ".params.h");
    fs::create_directory(path + ".params.h"); // cannot be replaced by a file
    EXPECT_FALSE(ExportHeaders(path, patches, slots.data(), log));
    EXPECT_EQ(ReadFile(path + ".values.h"), values);
    EXPECT_EQ(ReadFile(path + ".ops.h"), ops);
    EXPECT_TRUE(fs::is_directory(path + ".params.h"));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.Path()), {}), 3);
    EXPECT_FALSE(ExportHeaders(directory.File("missing/x.korvax"), patches, nullptr, log));
}

} // namespace
