#include "libbrelm/configini.h"

#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
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

Key Components(std::vector<brl::String> components) {
    return Key(std::move(components));
}

} // namespace

TEST(IniLoading, ReadsSectionsEntriesQuotesCommentsAndEscapesAndReportsMalformedLinesAndDuplicates) {
    LogCapture log;
    IniProvider ini(L"/p/x.ini", false);
    EXPECT_EQ(ini.Parse("top = level\n[Audio]\r\nname = \"  padded  \" ;note\nplain = a;b\n"
                        "spaced = x y ; comment here\nempty =\n;a=b\n  [Audio.Device]  ;trailing\n"
                        "  ID  =  7  \ndotted.name = 3\n"),
              0);
    EXPECT_EQ(ReadText(ini, "top"), L"level");
    EXPECT_EQ(ReadText(ini, "Audio/name"), L"  padded  ");
    EXPECT_EQ(ReadText(ini, "Audio/plain"), L"a;b");
    EXPECT_EQ(ReadText(ini, "Audio/spaced"), L"x y");
    EXPECT_EQ(ReadText(ini, "Audio/empty"), L"");
    EXPECT_EQ(ReadText(ini, Components({L"Audio", L";a"})), L"b");
    EXPECT_EQ(ReadText(ini, "Audio/Device/ID"), L"7");
    EXPECT_EQ(ReadText(ini, Components({L"Audio", L"Device", L"dotted.name"})), L"3");
    EXPECT_EQ(ReadText(ini, "Audio/missing"), L"<absent>");
    EXPECT_EQ(ini.KeyToString("Audio/Device/ID"), L"[Audio.Device]ID");
    EXPECT_TRUE(log.Find(L"parse error").empty());
    // Every escape.
    ASSERT_EQ(ini.Parse("[S\\;x]\nk\\=ey = \\\"\\#\\0\\:\\;\\=\\\\\\a\\b\\n\\r\\t\\q\n"), 0);
    const brl::String expected{L'"', L'#', 0, L':', L';', L'=', L'\\', 7, 8, 10, 13, 9, L'q'};
    EXPECT_EQ(ReadText(ini, Components({L"S;x", L"k=ey"})), expected);
    // Malformed lines and duplicates are reported, and the loader keeps going.
    EXPECT_EQ(ini.Parse("a = 1\n[Broken\ntext without equals\nb = \"unterminated\nc = \"x\" junk\n"
                        "d = trailing\\\n[Good]\ne = 5\n"),
              5);
    EXPECT_EQ(ReadText(ini, "a"), L"1");
    EXPECT_EQ(ReadText(ini, "Good/e"), L"5");
    EXPECT_EQ(ReadText(ini, "b"), L"<absent>");
    EXPECT_EQ(ReadText(ini, "c"), L"<absent>");
    EXPECT_EQ(log.Find(L"parse error /p/x.ini(").size(), 5u);
    EXPECT_TRUE(log.Has(4, L"parse error /p/x.ini(6): 'd = trailing\\'"));
    // A duplicate entry is reported and the later one wins.
    EXPECT_EQ(ini.Parse("[S]\nname = x\nname = y\n"), 0);
    EXPECT_EQ(ReadText(ini, "S/name"), L"y");
    EXPECT_TRUE(log.Has(5, L"duplicate entry/p/x.ini(3): 'name = y'"));
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
        EXPECT_EQ(ReadText(ini, Components({L"S", L"k\xFFFD\xFFFD"})), L"<absent>");
        EXPECT_EQ(ReadText(ini, Components({L"T\xFFFD", L"hidden"})), L"<absent>");
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
        SCOPED_TRACE(path);
        LogCapture log;
        {
            IniProvider ini(brl::FromUtf8(path), true);
            EXPECT_EQ(ini.Serialize(), "");
            const auto warnings = log.Find(L"ini file '" + brl::FromUtf8(path) + L"'");
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_EQ(warnings[0].level, 5);
            // A change cannot replace it either.
            ASSERT_TRUE(ini.Write("A/x", Value(1)));
            EXPECT_FALSE(ini.Save());
        }
        EXPECT_FALSE(std::filesystem::is_regular_file(path));
    }
}

TEST(IniSaving, AnUnchangedFileIsNeverRewrittenAndAChangeRewritesOnlyTheLinesOfItsValues) {
    // Lines the loader does not understand, text that is not UTF-8 and the user's spacing all stay.
    TempDir dir;
    const std::string path = dir.File("app.ini");
    const std::string original =
        "# written by hand\nfirst=1\n\n[Audio] ;the audio section\n  Rate   =  44100 ;per second\n"
        "this line is no entry\nName = caf\xe9\n;about the zeta\nZeta = z\r\n[Ui]\nTheme = dark";
    WriteFile(path, original);
    const auto inode = [&path] {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
    };
    const auto before = inode();
    {
        IniProvider ini(brl::FromUtf8(path), true);
        // Writing the text a key already has is no change either.
        EXPECT_TRUE(ini.Write("Audio/Rate", Value(44100)));
        EXPECT_FALSE(ini.IsDirty());
    }
    EXPECT_EQ(ReadFile(path), original);
    EXPECT_EQ(inode(), before);
    {
        IniProvider ini(brl::FromUtf8(path), true);
        EXPECT_EQ(ReadText(ini, "Audio/Name"), L"caf\xFFFD");
        ASSERT_TRUE(ini.Write("Audio/Rate", Value(48000)));
        ASSERT_TRUE(ini.Write("Audio/Latency", Value(20)));
        ASSERT_TRUE(ini.Write("Midi/Port", Value(L"x")));
        ASSERT_TRUE(ini.Write("top", Value(L"t")));
    }
    EXPECT_EQ(ReadFile(path),
              "# written by hand\nfirst=1\ntop = t\n\n[Audio] ;the audio section\nLatency = 20\n"
              "Rate = 48000 ;per second\nthis line is no entry\nName = caf\xe9\n;about the zeta\n"
              "Zeta = z\r\n[Midi]\nPort = x\n[Ui]\nTheme = dark");
}

// Drops every log line while installed; the loader logs each malformed line.
struct QuietLog : LogCapture {
    void Log(int, const brl::Logging::SourceLocation&, const brl::String&, const brl::String&) override {}
};

TEST(IniFuzz, RandomFilesKeepTheirTextAndTakeAChangeWithoutDisturbingOtherKeys) {
    QuietLog quiet;
    std::mt19937 random(0x6b6f7276);
    IniProvider input(L"/fuzz/in.ini", true);
    IniProvider again(L"/fuzz/again.ini", false);
    const Key keys[] = {Key("a"), Key("a/b"), Key("c.a/a b")};
    const auto readable = [&](IniProvider& ini) {
        std::map<Key, brl::String> found;
        for (const auto& key : keys) {
            if (auto [ok, value] = ini.Read(key, Value()); ok) {
                found[key] = value.ToString();
            }
        }
        return found;
    };
    // Mostly the characters the format gives meaning to, with arbitrary bytes mixed in.
    const std::string syntax = "[]=;\"\\ \t\r\n.#:abc0";
    int withErrors = 0;
    for (int i = 0; i < 100000; ++i) {
        std::string bytes(random() % 48, '\0');
        for (char& c : bytes) {
            c = random() % 4 == 0 ? static_cast<char>(random() % 256) : syntax[random() % syntax.size()];
        }
        withErrors += input.Parse(bytes) > 0 ? 1 : 0;
        ASSERT_EQ(input.Serialize(), bytes);
        // One change: that key reads the new value after a reload, every other key keeps its value.
        const Key& changed = keys[random() % 3];
        std::map<Key, brl::String> expected = readable(input);
        expected[changed] = L"v;=\"";
        ASSERT_TRUE(input.Write(changed, Value(expected[changed])));
        again.Parse(input.Serialize());
        ASSERT_EQ(readable(again), expected) << "input: " << ::testing::PrintToString(bytes);
    }
    // The generator must reach both clean and malformed inputs.
    EXPECT_GT(withErrors, 1000);
    EXPECT_LT(withErrors, 99000);
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
