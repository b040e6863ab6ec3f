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
