#include "libbrelm/configini.h"
#include "libbrelm/debug.h"
#include "libbrelm/logsinks.h"

#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

using brl::testing::ReadFile;
using brl::testing::TempDir;

brl::ApplicationInfo TestApplication() {
    return {L"brelm", L"Brelm", L"brelm.org", L"logtest", L"LogTest", L"logtest.brelm.org", L"1.0"};
}

// Counts the lines of a text.
size_t Lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

TEST(FileSinkOutput, WritesFullOrBriefLinesUpToItsLevel) {
    TempDir dir;
    const std::string full = dir.File("logs/full.log");
    const std::string brief = dir.File("brief.log");
    {
        brl::Logging::FileSink fullSink(brl::FromUtf8(full), brl::Logging::Info, false);
        brl::Logging::FileSink briefSink(brl::FromUtf8(brief), brl::Logging::Info, true);
        EXPECT_TRUE(fullSink.IsOpen());
        brl::Logging::ChannelMultiplexer both;
        both.Add(&fullSink);
        both.Add(&briefSink);
        brl::Logging::Logger logger(&both, L"sink");
        BRL_LOG_INFO(logger, "one\ntwo");
        BRL_LOG_VERBOSE(logger, "dropped");
        // Flushed after each message: readable while the sink is open.
        EXPECT_EQ(ReadFile(brief), "one\ntwo\n");
    }
    const std::string text = ReadFile(full);
    EXPECT_EQ(Lines(text), 2u);
    EXPECT_NE(text.find(" I sink: one [ "), std::string::npos);
    EXPECT_NE(text.find(" I sink: two [ "), std::string::npos);
    EXPECT_NE(text.find("FileSinkOutput_WritesFullOrBriefLinesUpToItsLevel_Test::TestBody ]\n"),
              std::string::npos);
    // Appends rather than truncating.
    {
        brl::Logging::FileSink again(brl::FromUtf8(brief), brl::Logging::Info, true);
        brl::Logging::Logger logger(&again, L"sink");
        BRL_LOG_ERROR(logger, "three");
    }
    EXPECT_EQ(ReadFile(brief), "one\ntwo\nthree\n");
}

TEST(FileSinkOutput, AnUnopenableFileStaysSilent) {
    TempDir dir;
    std::filesystem::create_directory(dir.File("taken.log"));
    brl::Logging::FileSink sink(dir.WideFile("taken.log"), brl::Logging::Trace, false);
    EXPECT_FALSE(sink.IsOpen());
    EXPECT_LT(sink.MaxLevel(), 0);
    brl::Logging::Logger logger(&sink, L"x");
    BRL_LOG_ERROR(logger, "nowhere");
}

TEST(WtfJustLogSetup, ReadsItsLevelsFromTheConfiguration) {
    TempDir dir;
    brl::Config::IniProvider ini(L"/nonexistent/log.ini", false);
    ini.Parse("[Log]\nLevel = 4\nFile = 1\n[Log.Logfile]\nLevel = 3\n");
    brl::Config::Frontend frontend;
    frontend.AddBase(&ini);
    {
        brl::Logging::WtfJustLog log(TestApplication(), frontend, false, true, true, dir.WidePath());
        EXPECT_EQ(brl::Debug::GetProcessLogChannel(), &log);
        EXPECT_EQ(log.FilePath(), dir.WideFile("logtest.log"));
        EXPECT_TRUE(log.IsFileOpen());
        EXPECT_EQ(log.MaxLevel(), 4);
        brl::Logging::Logger logger(&brl::Debug::ProcessChannel(), L"app");
        BRL_LOG_WARNING(logger, "warning dropped");
        BRL_LOG_ERROR(logger, "error passes");
        BRL_LOG_CRITICAL(logger, "critical passes");
        ASSERT_NE(log.Buffer(), nullptr);
        const auto buffered = log.Buffer()->Buffered();
        ASSERT_EQ(buffered.size(), 2u);
        EXPECT_EQ(buffered[0].message, L"error passes");
        EXPECT_EQ(buffered[0].name, L"app");
    }
    EXPECT_EQ(brl::Debug::GetProcessLogChannel(), nullptr);
    EXPECT_EQ(ReadFile(dir.File("logtest.log")), "critical passes\n");
}

TEST(WtfJustLogSetup, DefaultsAreTraceWithoutFileOrBuffer) {
    TempDir dir;
    brl::Config::Frontend frontend;
    brl::Logging::WtfJustLog log(TestApplication(), frontend, false, false, false, dir.WidePath());
    EXPECT_EQ(log.MaxLevel(), brl::Logging::Trace);
    EXPECT_EQ(log.Buffer(), nullptr);
    EXPECT_TRUE(log.FilePath().empty());
    brl::Logging::Logger logger(&log, L"app");
    EXPECT_TRUE(logger.IsEnabled(brl::Logging::Trace));
    EXPECT_FALSE(logger.IsEnabled(brl::Logging::Trace0));
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST(WtfJustLogSetup, FileLogDefaultAppliesWhenTheSettingIsAbsent) {
    TempDir dir;
    brl::Config::Frontend frontend;
    {
        brl::Logging::WtfJustLog log(TestApplication(), frontend, true, false, false, dir.WidePath());
        brl::Logging::Logger logger(&log, L"app");
        BRL_LOG_VERBOSE(logger, "verbose kept");
        BRL_LOG_DEBUG(logger, "debug dropped");
    }
    const std::string text = ReadFile(dir.File("logtest.log"));
    EXPECT_EQ(Lines(text), 1u);
    EXPECT_NE(text.find(" V app: verbose kept [ "), std::string::npos);
}

TEST(BugReports, LogTheConditionWithLocationAndAStackThenContinue) {
    brl::testing::LogCapture log;
    int value = 3;
    const bool held = BRL_ASSERT(value == 4);
    EXPECT_FALSE(held);
    EXPECT_TRUE(BRL_ASSERT(value == 3));
    const auto bugs = log.Find(L"BUG ");
    ASSERT_EQ(bugs.size(), 1u);
    EXPECT_EQ(bugs[0].message, L"BUG value == 4");
    EXPECT_EQ(bugs[0].level, brl::Logging::Critical);
    EXPECT_NE(
        bugs[0].function.find("BugReports_LogTheConditionWithLocationAndAStackThenContinue_Test::TestBody"),
        std::string::npos);
    EXPECT_GT(bugs[0].line, 0u);
    const auto frames = log.Find(L"  #");
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].level, brl::Logging::Warning);
    // Exceptions print their text.
    brl::Exception("disk on fire").PrintStacktrace();
    EXPECT_TRUE(log.Has(brl::Logging::Warning, L"exception thrown: disk on fire"));
}
