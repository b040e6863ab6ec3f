#include "libbrelm/configini.h"

#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include <sys/stat.h>

namespace {

using brl::Config::IniProvider;
using brl::Config::Key;
using brl::Config::Value;
using brl::testing::LogCapture;
using brl::testing::ReadFile;
using brl::testing::TempDir;
using brl::testing::WriteFile;

brl::String ReadText(IniProvider& ini, const Key& key) {
    auto [found, value] = ini.Read(key, Value(L"<absent>"));
    return found ? value.ToString() : L"<absent>";
}

} // namespace

TEST(IniLoading, ReadsSectionsEntriesQuotesCommentsAndEscapes) {
    LogCapture log;
    IniProvider ini(L"/nonexistent/test.ini", false);
    const int errors = ini.Parse("top = level\n"
                                 "[Audio]\r\n"
                                 "SamplingRate = 44100\n"
                                 "name = \"  padded  \" ;note\n"
                                 "plain = a;b\n"
                                 "spaced = x y ; comment here\n"
                                 "empty =\n"
                                 ";a=b\n"
                                 "  [Audio.Device]  ;trailing\n"
                                 "  ID  =  7  \n"
                                 "dotted.name = 3\n");
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(ReadText(ini, "top"), L"level");
    EXPECT_EQ(ReadText(ini, "Audio/SamplingRate"), L"44100");
    EXPECT_EQ(ReadText(ini, "Audio/name"), L"  padded  ");
    EXPECT_EQ(ReadText(ini, "Audio/plain"), L"a;b");
    EXPECT_EQ(ReadText(ini, "Audio/spaced"), L"x y");
    EXPECT_EQ(ReadText(ini, "Audio/empty"), L"");
    EXPECT_EQ(ReadText(ini, Key(std::vector<brl::String>{L"Audio", L";a"})), L"b");
    EXPECT_EQ(ReadText(ini, "Audio/Device/ID"), L"7");
    EXPECT_EQ(ReadText(ini, Key(std::vector<brl::String>{L"Audio", L"Device", L"dotted.name"})), L"3");
    EXPECT_EQ(ReadText(ini, "Audio/missing"), L"<absent>");
    EXPECT_EQ(ini.KeyToString("Audio/Device/ID"), L"[Audio.Device]ID");
    EXPECT_EQ(ini.Name(), L"ini(/nonexistent/test.ini)");
    EXPECT_TRUE(log.Find(L"parse error").empty());

    // Every escape.
    ASSERT_EQ(ini.Parse("[S\\;x]\nk\\=ey = \\\"\\#\\0\\:\\;\\=\\\\\\a\\b\\n\\r\\t\\q\n"), 0);
    const brl::String expected{L'"', L'#', 0, L':', L';', L'=', L'\\', 7, 8, 10, 13, 9, L'q'};
    EXPECT_EQ(ReadText(ini, Key(std::vector<brl::String>{L"S;x", L"k=ey"})), expected);
}

TEST(IniLoading, ReportsMalformedLinesAndDuplicatesAndKeepsGoing) {
    LogCapture log;
    IniProvider ini(L"/p/x.ini", false);
    const int errors = ini.Parse("a = 1\n"
                                 "[Broken\n"
                                 "text without equals\n"
                                 "b = \"unterminated\n"
                                 "c = \"x\" junk\n"
                                 "d = trailing\\\n"
                                 "[Good]\n"
                                 "e = 5\n");
    EXPECT_EQ(errors, 5);
    EXPECT_EQ(ReadText(ini, "a"), L"1");
    EXPECT_EQ(ReadText(ini, "Good/e"), L"5");
    EXPECT_EQ(ReadText(ini, "b"), L"<absent>");
    EXPECT_EQ(ReadText(ini, "c"), L"<absent>");
    EXPECT_TRUE(log.Has(4, L"parse error /p/x.ini(2): '[Broken'"));
    EXPECT_TRUE(log.Has(4, L"parse error /p/x.ini(3): 'text without equals'"));
    EXPECT_TRUE(log.Has(4, L"parse error /p/x.ini(4): 'b = \"unterminated'"));
    EXPECT_TRUE(log.Has(4, L"parse error /p/x.ini(5): 'c = \"x\" junk'"));
    EXPECT_TRUE(log.Has(4, L"parse error /p/x.ini(6): 'd = trailing\\'"));

    // A duplicate entry is reported and the later one wins.
    EXPECT_EQ(ini.Parse("[S]\nname = x\nname = y\n"), 0);
    EXPECT_EQ(ReadText(ini, "S/name"), L"y");
    EXPECT_TRUE(log.Has(5, L"duplicate entry/p/x.ini(3): 'name = y'"));
}

TEST(IniSaving, ChangingValuesRewritesOnlyTheirLines) {
    // Lines the loader does not understand ("#" lines, text without "="), text
    // that is not UTF-8 and the user's spacing all stay as they were.
    const std::string original = "# written by hand\n"
                                 "first=1\n"
                                 "\n"
                                 "[Audio] ;the audio section\n"
                                 "  Rate   =  44100 ;per second\n"
                                 "this line is no entry\n"
                                 "Name = caf\xe9\n"
                                 ";about the zeta\n"
                                 "Zeta = z\r\n"
                                 "[Ui]\n"
                                 "Theme = dark";
    TempDir dir;
    const std::string path = dir.File("app.ini");
    WriteFile(path, original);
    {
        IniProvider ini(brl::FromUtf8(path), true);
        EXPECT_EQ(ReadText(ini, "Audio/Name"), L"caf\xFFFD");
        ASSERT_TRUE(ini.Write("Audio/Rate", Value(48000)));
        ASSERT_TRUE(ini.Write("Audio/Latency", Value(20)));
        ASSERT_TRUE(ini.Write("Midi/Port", Value(L"x")));
        ASSERT_TRUE(ini.Write("top", Value(L"t")));
    }
    EXPECT_EQ(ReadFile(path), "# written by hand\n"
                              "first=1\n"
                              "top = t\n"
                              "\n"
                              "[Audio] ;the audio section\n"
                              "Latency = 20\n"
                              "Rate = 48000 ;per second\n"
                              "this line is no entry\n"
                              "Name = caf\xe9\n"
                              ";about the zeta\n"
                              "Zeta = z\r\n"
                              "[Midi]\n"
                              "Port = x\n"
                              "[Ui]\n"
                              "Theme = dark");
}

TEST(IniSaving, AnUnchangedFileIsNeverRewritten) {
    TempDir dir;
    const std::string path = dir.File("app.ini");
    const std::string original = "#comment\n[A]\nx=1\nnot an entry\nv = \xff\xfe\n";
    WriteFile(path, original);
    const auto inode = [&path] {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
    };
    const auto before = inode();
    {
        LogCapture log;
        IniProvider ini(brl::FromUtf8(path), true);
        EXPECT_EQ(ReadText(ini, "A/x"), L"1");
        // Writing the text a key already has is no change either.
        EXPECT_TRUE(ini.Write("A/x", Value(1)));
        EXPECT_FALSE(ini.IsDirty());
        EXPECT_TRUE(log.Find(L"saving ini file").empty());
    }
    EXPECT_EQ(ReadFile(path), original);
    EXPECT_EQ(inode(), before);
}

TEST(IniLoading, NamesThatAreNotUtf8AreRefusedAndValuesKeptByteForByte) {
    LogCapture log;
    TempDir dir;
    const std::string path = dir.File("app.ini");
    // Two names that a lenient decoder reads as "a=" and "a" + U+FFFD.
    const std::string original =
        "[S]\nk\xc0\xbd = 1\nk\xc1\xbd = 2\n[T\xff]\nhidden = 3\n[U]\nv = \xc0\xaf\n";
    WriteFile(path, original);
    {
        IniProvider ini(brl::FromUtf8(path), true);
        EXPECT_EQ(log.Find(L"ignoring a name that is not UTF-8").size(), 3u);
        EXPECT_EQ(ReadText(ini, Key(std::vector<brl::String>{L"S", L"k\xFFFD\xFFFD"})), L"<absent>");
        EXPECT_EQ(ReadText(ini, Key(std::vector<brl::String>{L"T\xFFFD", L"hidden"})), L"<absent>");
        EXPECT_EQ(ReadText(ini, "S/hidden"), L"<absent>");
        EXPECT_EQ(ReadText(ini, "U/v"), L"\xFFFD\xFFFD");
        ASSERT_TRUE(ini.Write("U/w", Value(L"new")));
    }
    EXPECT_EQ(ReadFile(path), original + "w = new\n");
}

TEST(IniLoading, APathThatIsNoRegularFileReadsAsEmptyWithAWarning) {
    TempDir dir;
    const std::string fifo = dir.File("fifo.ini");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string directory = dir.File("dir.ini");
    std::filesystem::create_directory(directory);
    for (const std::string& path : {fifo, directory, std::string("/dev/zero")}) {
        LogCapture log;
        {
            IniProvider ini(brl::FromUtf8(path), true);
            EXPECT_EQ(ini.Serialize(), "") << path;
            EXPECT_EQ(log.Find(L"ini file '" + brl::FromUtf8(path) + L"'").size(), 1u) << path;
            EXPECT_EQ(log.Find(L"ini file '" + brl::FromUtf8(path) + L"'")[0].level, 5) << path;
            // A change cannot replace it either.
            ASSERT_TRUE(ini.Write("A/x", Value(1)));
            EXPECT_FALSE(ini.Save()) << path;
        }
        EXPECT_FALSE(std::filesystem::is_regular_file(path)) << path;
    }
}

TEST(IniSaving, QuotesAndEscapesSoAnyKeysAndValuesReadBackUnchanged) {
    std::mt19937 random(20261206);
    const std::wstring alphabet = L"ab .=;\"#:[]\\\t\r\n\x7\x8 \u00e4\u20ac";
    const auto randomText = [&](size_t maxLength) {
        std::wstring text;
        const size_t length = random() % (maxLength + 1);
        for (size_t i = 0; i < length; ++i) {
            text.push_back(random() % 16 == 0 ? L'\0' : alphabet[random() % alphabet.size()]);
        }
        return text;
    };
    TempDir dir;
    IniProvider written(dir.WideFile("x.ini"), true);
    // Blank edges are quoted and special characters escaped.
    ASSERT_TRUE(written.Write("S/lead", Value(L" x")));
    ASSERT_TRUE(written.Write("S/eq", Value(L"a=b")));
    ASSERT_TRUE(written.Write("S/tab", Value(L"a\tb")));
    EXPECT_EQ(written.Serialize(), "[S]\neq = a\\=b\nlead = \" x\"\ntab = a\\tb\n");
    for (int round = 0; round < 200; ++round) {
        written.Parse("");
        std::map<Key, brl::String> expected;
        for (int i = 0; i < 8; ++i) {
            std::vector<brl::String> components;
            const size_t count = 1 + random() % 3;
            for (size_t c = 0; c < count; ++c) {
                components.push_back(randomText(6));
            }
            const Key key(components);
            const brl::String value = randomText(10);
            ASSERT_TRUE(written.Write(key, Value(value)));
            expected[key] = value;
        }
        const std::string text = written.Serialize();
        IniProvider reread(L"/nonexistent/x.ini", false);
        ASSERT_EQ(reread.Parse(text), 0) << text;
        for (const auto& [key, value] : expected) {
            auto [found, read] = reread.Read(key, Value());
            ASSERT_TRUE(found) << text;
            EXPECT_EQ(read.ToString(), value) << text;
        }
        EXPECT_EQ(reread.Serialize(), text);
    }
}

TEST(IniSaving, AMissingFileIsEmptyAndIsWrittenOnDestructionThroughATemporaryFile) {
    LogCapture log;
    TempDir dir;
    const std::string path = dir.File("sub/dir/app.ini");
    {
        // A missing file is an empty table.
        IniProvider ini(brl::FromUtf8(path), true);
        EXPECT_EQ(ini.Serialize(), "");
        EXPECT_TRUE(log.Has(7, L"loading ini file:  " + brl::FromUtf8(path)));
        EXPECT_FALSE(ini.IsDirty());
        ASSERT_TRUE(ini.Write("Audio/Rate", Value(48000)));
        EXPECT_TRUE(ini.IsDirty());
    }
    EXPECT_EQ(ReadFile(path), "[Audio]\nRate = 48000\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.File("sub/dir")), {}), 1);
    EXPECT_TRUE(log.Has(7, L"saving ini file:  " + brl::FromUtf8(path)));
}

TEST(IniSaving, FailedSaveKeepsTheOldFileAndIsReported) {
    LogCapture log;
    TempDir dir;
    const std::string path = dir.File("app.ini");
    WriteFile(path, "[Audio]\nRate = 44100\n");
    {
        // Files may not grow past 1 KiB while this lives: the writes fail.
        brl::testing::FileSizeLimit limit(1024);
        IniProvider ini(brl::FromUtf8(path), true);
        ASSERT_TRUE(ini.Write("Audio/Rate", Value(brl::String(4096, L'9'))));
        EXPECT_FALSE(ini.Save());
        EXPECT_TRUE(ini.IsDirty());
    }
    EXPECT_EQ(ReadFile(path), "[Audio]\nRate = 44100\n");
    // Reported by Save and again by the destructor; no temporary file is left.
    EXPECT_EQ(log.Find(L"error writing '" + brl::FromUtf8(path) + L"'").size(), 2u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(IniSaving, DeleteRemovesTheEntryAndItsComments) {
    TempDir dir;
    const std::string path = dir.File("app.ini");
    WriteFile(path, "[A]\n;about x\nx = 1\ny = 2\n");
    {
        IniProvider ini(brl::FromUtf8(path), true);
        EXPECT_TRUE(ini.Delete("A/x"));
        EXPECT_TRUE(ini.Delete("A/never"));
        EXPECT_EQ(ReadText(ini, "A/x"), L"<absent>");
    }
    EXPECT_EQ(ReadFile(path), "[A]\ny = 2\n");
}

TEST(IniSaving, ReplacesTheTargetOfASymbolicLinkAndKeepsItsMode) {
    TempDir dir;
    const std::string real = dir.File("real.ini");
    const std::string link = dir.File("link.ini");
    WriteFile(real, "a = 1\n");
    std::filesystem::permissions(real,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::create_symlink(real, link);
    {
        IniProvider ini(brl::FromUtf8(link), true);
        ASSERT_TRUE(ini.Write("a", Value(2)));
    }
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadFile(real), "a = 2\n");
    EXPECT_EQ(std::filesystem::status(real).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}
