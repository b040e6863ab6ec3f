#include "libbrelm/configini.h"
#include "libbrelm/debug.h"
#include "libbrelm/logging.h"
#include "libbrelm/logsinks.h"

#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using brl::testing::LogCapture;
using brl::testing::ReadFile;
using brl::testing::TempDir;

namespace inner {
struct Widget {
    template <typename T> static void Emit(brl::Logging::Logger& logger, T value) {
        BRL_LOG_INFO(logger, "value ", value);
    }
};
} // namespace inner

} // namespace

TEST(LoggingFormat, CarriesTheCallSiteFormatsInTheClassicLocaleAndInTheLineStylesOfTheSinks) {
    LogCapture sink;
    brl::Logging::Logger logger(&sink, L"config");
    inner::Widget::Emit(logger, 42);
    ASSERT_EQ(sink.Records().size(), 1u);
    EXPECT_EQ(sink.Records()[0].function, "{anonymous}::inner::Widget::Emit");
    EXPECT_EQ(sink.Records()[0].name, L"config");
    EXPECT_EQ(sink.Records()[0].message, L"value 42");
    EXPECT_EQ(brl::Logging::Format("a", 1.5, " ", 12345678, " ", 0.1f, "\xc3\xa4"),
              L"a1.5 12345678 0.1\u00e4");

    // The styles the console, standard-error and file sinks use, and the fallback of other numbers.
    // At 2026-12-06T17:35:07.123456789Z.
    brl::Logging::LogRecord record{brl::Logging::Warning,
                                   {1796578507123456789ull, "src/a.cpp", 42, "brl::A::F", 77},
                                   L"audio",
                                   L"hello"};
    const brl::String time = L" 2026-12-06T17:35:07.123000000Z";
    EXPECT_EQ(brl::Logging::FormatTime(record.location.time), time);
    EXPECT_EQ(brl::Logging::FormatLine(0, record), L"src/a.cpp(42) : hello\n");
    EXPECT_EQ(brl::Logging::FormatLine(1, record), L"hello\n");
    EXPECT_EQ(brl::Logging::FormatLine(5, record),
              time + L" 77 W audio: hello [ src/a.cpp(42) brl::A::F ]\n");
    EXPECT_EQ(brl::Logging::FormatLine(9, record), L"hello\n");
    record.level = 25;
    EXPECT_EQ(brl::Logging::FormatLine(5, record).substr(time.size(), 6), L" 77   ");
    EXPECT_EQ(brl::Logging::FormatTime(0), L" 1970-01-01T00:00:00.000000000Z");
}

TEST(LoggingFilter, DropsMoreVerboseLevelsWithoutBuildingTheirMessagesAndReportsItsMaximum) {
    LogCapture sink;
    brl::Logging::ChannelFilter filter(&sink, brl::Logging::Error);
    brl::Logging::Logger logger(&filter, L"t");
    int built = 0;
    const auto expensive = [&built] { return std::to_string(++built); };
    BRL_LOG_WARNING(logger, expensive());
    BRL_LOG_ERROR(logger, expensive());
    EXPECT_EQ(sink.Messages(), std::vector<brl::String>{L"1"});
    EXPECT_EQ(built, 1);
    EXPECT_TRUE(logger.IsEnabled(brl::Logging::Error));
    EXPECT_FALSE(logger.IsEnabled(brl::Logging::Warning));
    // A filter in front of a quieter channel reports the quieter maximum.
    brl::Logging::ChannelFilter outer(&filter, brl::Logging::Trace);
    EXPECT_EQ(outer.MaxLevel(), brl::Logging::Error);
    filter.SetMaxLevel(brl::Logging::Trace0);
    EXPECT_EQ(outer.MaxLevel(), brl::Logging::Trace);
    brl::Logging::NullChannel null;
    EXPECT_LT(brl::Logging::ChannelFilter(&null, brl::Logging::Trace).MaxLevel(), 0);
}

TEST(FileSinkOutput, WritesFullOrBriefLinesUpToItsLevelAppendingAndStaysSilentWhenUnopenable) {
    TempDir dir;
    const std::string full = dir.File("logs/full.log");
    const std::string brief = dir.File("brief.log");
    {
        brl::Logging::FileSink fullSink(brl::FromUtf8(full), brl::Logging::Info, false);
        brl::Logging::FileSink briefSink(brl::FromUtf8(brief), brl::Logging::Info, true);
        brl::Logging::ChannelMultiplexer both;
        both.Add(&fullSink);
        both.Add(&briefSink);
        brl::Logging::Logger logger(&both, L"sink");
        BRL_LOG_INFO(logger, "one\ntwo");
        BRL_LOG_VERBOSE(logger, "dropped");
        EXPECT_EQ(ReadFile(brief), "one\ntwo\n"); // flushed after each message
    }
    const std::string text = ReadFile(full);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_NE(text.find(" I sink: two [ "), std::string::npos);
    {
        brl::Logging::FileSink again(brl::FromUtf8(brief), brl::Logging::Info, true);
        brl::Logging::Logger logger(&again, L"sink");
        BRL_LOG_ERROR(logger, "three");
    }
    EXPECT_EQ(ReadFile(brief), "one\ntwo\nthree\n");

    brl::Logging::FileSink taken(dir.WideFile("logs"), brl::Logging::Trace, false);
    EXPECT_FALSE(taken.IsOpen());
    EXPECT_LT(taken.MaxLevel(), 0);
}

TEST(WtfJustLogSetup, ReadsItsLevelsFromTheConfigurationAndInstallsItselfForItsLifetime) {
    TempDir dir;
    brl::Config::IniProvider ini(L"/nonexistent/log.ini", false);
    ini.Parse("[Log]\nLevel = 4\nFile = 1\n[Log.Logfile]\nLevel = 3\n");
    brl::Config::Frontend frontend;
    frontend.AddBase(&ini);
    {
        const brl::ApplicationInfo app{
            L"brelm", L"Brelm", L"brelm.org", L"logtest", L"LogTest", L"logtest.brelm.org", L"1.0"};
        brl::Logging::WtfJustLog log(app, frontend, false, true, true, dir.WidePath());
        EXPECT_EQ(brl::Debug::GetProcessLogChannel(), &log);
        EXPECT_EQ(log.FilePath(), dir.WideFile("logtest.log"));
        EXPECT_EQ(log.MaxLevel(), 4);
        brl::Logging::Logger logger(&brl::Debug::ProcessChannel(), L"app");
        BRL_LOG_WARNING(logger, "warning dropped");
        BRL_LOG_ERROR(logger, "error passes");
        BRL_LOG_CRITICAL(logger, "critical passes");
        ASSERT_NE(log.Buffer(), nullptr);
        const auto buffered = log.Buffer()->Buffered();
        ASSERT_EQ(buffered.size(), 2u);
        EXPECT_EQ(buffered[0].message, L"error passes");
    }
    EXPECT_EQ(brl::Debug::GetProcessLogChannel(), nullptr);
    EXPECT_EQ(ReadFile(dir.File("logtest.log")), "critical passes\n");
}

TEST(BugReports, LogTheConditionWithLocationAndAStackThenContinue) {
    LogCapture log;
    int value = 3;
    EXPECT_FALSE(BRL_ASSERT(value == 4));
    EXPECT_TRUE(BRL_ASSERT(value == 3));
    const auto bugs = log.Find(L"BUG ");
    ASSERT_EQ(bugs.size(), 1u);
    EXPECT_EQ(bugs[0].message, L"BUG value == 4");
    EXPECT_EQ(bugs[0].level, brl::Logging::Critical);
    EXPECT_NE(
        bugs[0].function.find("BugReports_LogTheConditionWithLocationAndAStackThenContinue_Test::TestBody"),
        std::string::npos);
    ASSERT_FALSE(log.Find(L"  #").empty());
    EXPECT_EQ(log.Find(L"  #")[0].level, brl::Logging::Warning);
    // Exceptions print their text.
    brl::Exception("disk on fire").PrintStacktrace();
    EXPECT_TRUE(log.Has(brl::Logging::Warning, L"exception thrown: disk on fire"));
}
