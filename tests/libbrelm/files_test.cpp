#include "libbrelm/files.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using brl::Files::ReplacingFile;
using brl::testing::ReadFile;

size_t Entries(const std::string& directory) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(directory), {}));
}

TEST(FileReplacing, TwoWritersUseTheirOwnTemporaryFilesAndAnUnfinishedOneLeavesTheTarget) {
    brl::testing::TempDir dir;
    const std::string target = dir.File("song.wav");
    ReplacingFile first(target);
    ReplacingFile second(target);
    ASSERT_TRUE(first.Open() && second.Open());
    ASSERT_TRUE(first.Write("first, and longer") && second.Write("second"));
    EXPECT_EQ(Entries(dir.Path()), 2u);
    ASSERT_TRUE(first.Commit());
    EXPECT_EQ(ReadFile(target), "first, and longer");
    ASSERT_TRUE(second.Commit());
    EXPECT_EQ(ReadFile(target), "second");
    EXPECT_EQ(Entries(dir.Path()), 1u);
    {
        ReplacingFile file(target);
        ASSERT_TRUE(file.Open() && file.Write("half of the new") && file.Finish());
    }
    EXPECT_EQ(ReadFile(target), "second");
    EXPECT_EQ(Entries(dir.Path()), 1u);
}

} // namespace
