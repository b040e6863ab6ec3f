#include "libbrelm/logging.h"

#include <gtest/gtest.h>

namespace {

struct Captured {
    int level;
    std::string function;
    brl::String name;
    brl::String message;
};

class CaptureChannel : public brl::Logging::Channel {
public:
    void Log(int level, const brl::Logging::SourceLocation& location, const brl::String& name,
             const brl::String& message) override {
        records.push_back({level, location.function, name, message});
    }
    std::vector<Captured> records;
};

namespace inner {
struct Widget {
    template <typename T> static void Emit(brl::Logging::Logger& logger, T value) {
        BRL_LOG_INFO(logger, "value ", value);
    }
};
} // namespace inner

} // namespace

TEST(LoggingCallSite, CarriesQualifiedFunctionNameAndLoggerName) {
    CaptureChannel sink;
    brl::Logging::Logger logger(&sink, L"config");
    inner::Widget::Emit(logger, 42);
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].function, "{anonymous}::inner::Widget::Emit");
    EXPECT_EQ(sink.records[0].name, L"config");
    EXPECT_EQ(sink.records[0].message, L"value 42");
    EXPECT_EQ(sink.records[0].level, brl::Logging::Info);
}

TEST(LoggingFormat, UsesClassicLocaleAndUtf8) {
    EXPECT_EQ(brl::Logging::Format("a", 1.5, " ", 12345678, " ", 0.1f), L"a1.5 12345678 0.1");
    EXPECT_EQ(brl::Logging::Format("\xc3\xa4"), L"\u00e4");
}

TEST(LoggingFilter, DropsMoreVerboseLevelsAndReportsItsMaximum) {
    CaptureChannel sink;
    brl::Logging::ChannelFilter filter(&sink, brl::Logging::Error);
    brl::Logging::Logger logger(&filter, L"t");
    BRL_LOG_WARNING(logger, "dropped");
    BRL_LOG_ERROR(logger, "passes");
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].message, L"passes");
    EXPECT_EQ(filter.MaxLevel(), brl::Logging::Error);
    EXPECT_TRUE(logger.IsEnabled(brl::Logging::Error));
    EXPECT_FALSE(logger.IsEnabled(brl::Logging::Warning));

    // The message of a filtered call is never built.
    int built = 0;
    const auto expensive = [&built] {
        ++built;
        return std::string("x");
    };
    BRL_LOG_INFO(logger, expensive());
    EXPECT_EQ(built, 0);
    BRL_LOG_CRITICAL(logger, expensive());
    EXPECT_EQ(built, 1);

    // A filter in front of a quieter channel reports the quieter maximum.
    brl::Logging::ChannelFilter outer(&filter, brl::Logging::Trace);
    EXPECT_EQ(outer.MaxLevel(), brl::Logging::Error);
    filter.SetMaxLevel(brl::Logging::Trace0);
    EXPECT_EQ(outer.MaxLevel(), brl::Logging::Trace);
    brl::Logging::NullChannel null;
    brl::Logging::ChannelFilter toNothing(&null, brl::Logging::Trace);
    EXPECT_LT(toNothing.MaxLevel(), 0);
}

TEST(LoggingMultiplexer, ForwardsToEveryMemberAndReportsTheMostVerbose) {
    CaptureChannel a;
    CaptureChannel b;
    brl::Logging::ChannelFilter quiet(&b, brl::Logging::Warning);
    brl::Logging::ChannelMultiplexer multiplexer;
    EXPECT_EQ(multiplexer.MaxLevel(), -1);
    multiplexer.Add(&quiet);
    EXPECT_EQ(multiplexer.MaxLevel(), brl::Logging::Warning);
    multiplexer.Add(&a);
    EXPECT_EQ(multiplexer.MaxLevel(), 255);
    brl::Logging::Logger logger(&multiplexer, L"m");
    BRL_LOG_INFO(logger, "both?");
    BRL_LOG_ERROR(logger, "both");
    EXPECT_EQ(a.records.size(), 2u);
    EXPECT_EQ(b.records.size(), 1u);
    multiplexer.Remove(&a);
    BRL_LOG_ERROR(logger, "one");
    EXPECT_EQ(a.records.size(), 2u);
    EXPECT_EQ(b.records.size(), 2u);
}

TEST(LoggingRecords, AMessageOfTwoLinesBecomesTwoRecordsWithOneLocation) {
    brl::Logging::ChannelBuffer buffer;
    brl::Logging::Logger logger(&buffer, L"buf");
    BRL_LOG_INFO(logger, "first\nsecond\n");
    const auto records = buffer.Buffered();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, L"first");
    EXPECT_EQ(records[1].message, L"second");
    EXPECT_EQ(records[0].location.time, records[1].location.time);
    EXPECT_EQ(records[0].location.thread, records[1].location.thread);
    EXPECT_EQ(records[0].location.line, records[1].location.line);
    EXPECT_EQ(records[0].name, L"buf");
    EXPECT_EQ(brl::Logging::SplitLines(L""), std::vector<brl::String>{L""});
    EXPECT_EQ(brl::Logging::SplitLines(L"a\n\nb"), (std::vector<brl::String>{L"a", L"", L"b"}));
}

TEST(LoggingBuffer, HoldsRecordsUntilATargetAttachesThenForwards) {
    brl::Logging::ChannelBuffer buffer;
    brl::Logging::Logger logger(&buffer, L"early");
    BRL_LOG_ERROR(logger, "one");
    BRL_LOG_ERROR(logger, "two");
    CaptureChannel window;
    buffer.SetTarget(&window);
    EXPECT_TRUE(buffer.Buffered().empty());
    BRL_LOG_ERROR(logger, "three");
    ASSERT_EQ(window.records.size(), 3u);
    EXPECT_EQ(window.records[0].message, L"one");
    EXPECT_EQ(window.records[2].message, L"three");
    EXPECT_EQ(window.records[0].name, L"early");
}

TEST(LoggingBuffer, KeepsOnlyTheNewestRecordsWithoutATarget) {
    brl::Logging::ChannelBuffer buffer;
    brl::Logging::Logger logger(&buffer, L"b");
    for (size_t i = 0; i < brl::Logging::ChannelBuffer::kMaxBuffered + 5; ++i) {
        BRL_LOG_ERROR(logger, i);
    }
    const auto records = buffer.Buffered();
    ASSERT_EQ(records.size(), brl::Logging::ChannelBuffer::kMaxBuffered);
    EXPECT_EQ(records.front().message, L"5");
}

TEST(LoggingStyles, FormatsEveryLineStyle) {
    brl::Logging::LogRecord record;
    record.level = brl::Logging::Warning;
    // 2026-12-06T17:35:07.123456789Z
    record.location.time = 1796578507123456789ull;
    record.location.file = "src/a.cpp";
    record.location.line = 42;
    record.location.function = "brl::A::F";
    record.location.thread = 77;
    record.name = L"audio";
    record.message = L"hello";
    const brl::String time = L" 2026-12-06T17:35:07.123000000Z";
    EXPECT_EQ(brl::Logging::FormatTime(record.location.time), time);
    EXPECT_EQ(brl::Logging::FormatLine(0, record), L"src/a.cpp(42) : hello\n");
    EXPECT_EQ(brl::Logging::FormatLine(1, record), L"hello\n");
    EXPECT_EQ(brl::Logging::FormatLine(2, record),
              time + L" 77 W audio: hello [ src/a.cpp:42 : brl::A::F ]\n");
    EXPECT_EQ(brl::Logging::FormatLine(3, record), L"hello\n");
    EXPECT_EQ(brl::Logging::FormatLine(4, record), time + L" 77 W audio: hello [ src/a.cpp:42 : brl::A::F");
    EXPECT_EQ(brl::Logging::FormatLine(5, record),
              time + L" 77 W audio: hello [ src/a.cpp(42) brl::A::F ]\n");
    EXPECT_EQ(brl::Logging::FormatLine(6, record), time + L"   hello");
    EXPECT_EQ(brl::Logging::FormatLine(9, record), L"hello\n");
    record.level = 25;
    EXPECT_EQ(brl::Logging::FormatLine(2, record).substr(time.size(), 6), L" 77   ");
    EXPECT_EQ(brl::Logging::FormatTime(0), L" 1970-01-01T00:00:00.000000000Z");
}
