#include "libbrelm/files.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using brl::Files::ReadRegularFile;
using brl::Files::ReadStatus;
using brl::Files::ReplaceFile;
using brl::Files::ReplacingFile;
using brl::testing::ReadFile;
using brl::testing::TempDir;
using brl::testing::WriteFile;

size_t Entries(const std::string& directory) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(directory), {}));
}

TEST(FileReading, OnlyRegularFilesWithinTheLimitAreRead) {
    TempDir dir;
    WriteFile(dir.File("small"), "12345");
    ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
    fs::create_directory(dir.File("dir"));
    const struct {
        std::string path;
        ReadStatus status;
        std::string problem;
    } cases[] = {
        {dir.File("small"), ReadStatus::Ok, ""},
        {dir.File("missing"), ReadStatus::Missing, "No such file or directory"},
        {dir.File("fifo"), ReadStatus::NotRegular, "is not a regular file"},
        {dir.File("dir"), ReadStatus::NotRegular, "is a directory"},
        {"/dev/zero", ReadStatus::NotRegular, "is not a regular file"},
    };
    for (const auto& c : cases) {
        std::string bytes;
        std::string problem;
        EXPECT_EQ(ReadRegularFile(c.path, 5, bytes, problem), c.status) << c.path;
        EXPECT_EQ(problem, c.problem) << c.path;
        EXPECT_EQ(bytes, c.status == ReadStatus::Ok ? "12345" : "") << c.path;
    }
    std::string bytes;
    std::string problem;
    EXPECT_EQ(ReadRegularFile(dir.File("small"), 4, bytes, problem), ReadStatus::TooLarge);
    EXPECT_EQ(problem, "is larger than 4 bytes");
    EXPECT_TRUE(bytes.empty());
}

TEST(FileReplacing, TwoWritersOfOneFileUseTheirOwnTemporaryFiles) {
    TempDir dir;
    const std::string target = dir.File("song.wav");
    ReplacingFile first(target);
    ReplacingFile second(target);
    ASSERT_TRUE(first.Open());
    ASSERT_TRUE(second.Open());
    ASSERT_TRUE(first.Write("first, and longer"));
    ASSERT_TRUE(second.Write("second"));
    EXPECT_EQ(Entries(dir.Path()), 2u);
    ASSERT_TRUE(first.Commit());
    EXPECT_EQ(ReadFile(target), "first, and longer");
    ASSERT_TRUE(second.Commit());
    EXPECT_EQ(ReadFile(target), "second");
    EXPECT_EQ(Entries(dir.Path()), 1u);
}

TEST(FileReplacing, NamesAtTheLengthLimitCanBeReplaced) {
    TempDir dir;
    const std::string target = dir.File(std::string(255, 'n'));
    std::string problem;
    ASSERT_TRUE(ReplaceFile(target, "old", problem)) << problem;
    ASSERT_TRUE(ReplaceFile(target, "new", problem)) << problem;
    EXPECT_EQ(ReadFile(target), "new");
    EXPECT_EQ(Entries(dir.Path()), 1u);
}

TEST(FileReplacing, LinksAreFollowedAndWhatIsNoRegularFileIsRefused) {
    TempDir dir;
    WriteFile(dir.File("real"), "old");
    ::chmod(dir.File("real").c_str(), 0640);
    fs::create_symlink(dir.File("real"), dir.File("link"));
    ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
    fs::create_symlink(dir.File("fifo"), dir.File("fifolink"));
    fs::create_directory(dir.File("dir"));

    std::string problem;
    ASSERT_TRUE(ReplaceFile(dir.File("link"), "new", problem)) << problem;
    EXPECT_TRUE(fs::is_symlink(dir.File("link")));
    EXPECT_EQ(ReadFile(dir.File("real")), "new");
    EXPECT_EQ(fs::status(dir.File("real")).permissions(), static_cast<fs::perms>(0640));

    const std::pair<std::string, std::string> refused[] = {{dir.File("fifo"), "is not a regular file"},
                                                           {dir.File("fifolink"), "is not a regular file"},
                                                           {dir.File("dir"), "is a directory"},
                                                           {"/dev/null", "is not a regular file"}};
    for (const auto& [path, why] : refused) {
        EXPECT_FALSE(ReplaceFile(path, "x", problem)) << path;
        EXPECT_EQ(problem, why) << path;
    }
    EXPECT_TRUE(fs::is_fifo(dir.File("fifo")));
    EXPECT_TRUE(fs::is_directory(dir.File("dir")));
    EXPECT_EQ(Entries(dir.Path()), 5u);
}

TEST(FileReplacing, AnUnfinishedReplacementLeavesTheTargetAndNoTemporaryFile) {
    TempDir dir;
    const std::string target = dir.File("patch.korvax");
    WriteFile(target, "old");
    {
        ReplacingFile file(target);
        ASSERT_TRUE(file.Open());
        ASSERT_TRUE(file.Write("half of the new"));
        ASSERT_TRUE(file.Finish());
    }
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_EQ(Entries(dir.Path()), 1u);
}

} // namespace
