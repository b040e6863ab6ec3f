#include "libbrelm/config.h"
#include "libbrelm/configini.h"
#include "libbrelm/logsinks.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>
#include <vector>

using brl::String;
using brl::testing::ReadFile;
using brl::testing::TempDir;

TEST(ConfigConcurrency, SettingsWrittenFromManyThreadsEndConsistentAndTheUserFileIsSavedBeforeExit) {
    TempDir dir;
    const brl::Config::ConfigLocations locations{dir.WideFile("cwd"), dir.WideFile("etc"),
                                                 dir.WideFile("home")};
    const std::string path = dir.File("home/Brelm/KorvaxTest/config.ini");
    constexpr int kThreads = 4;
    constexpr int kWrites = 100;
    std::atomic<int> notified{0};
    brl::Config::Config config(
        {L"brelm", L"Brelm", L"brelm.org", L"korvaxtest", L"KorvaxTest", L"korvaxtest.brelm.org", L"1.2"},
        std::vector<String>{L"prog"}, locations);
    brl::Config::ChangeListener listener(config, [&notified] { notified.fetch_add(1); });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&config, t] {
            brl::Config::Setting<int> own(
                config, brl::Config::Key(std::vector<String>{L"T", std::to_wstring(t)}), -1);
            brl::Config::Setting<int> shared(config, "T/Shared", 0);
            for (int i = 0; i < kWrites; ++i) {
                EXPECT_TRUE(own.Set(i));
                EXPECT_EQ(own.Get(), i);
                shared.Set(t);
                const int seen = shared.Get();
                EXPECT_TRUE(seen >= 0 && seen < kThreads);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(notified.load(), kThreads * kWrites * 2);
    std::ostringstream expected;
    expected << "[T]\n";
    for (int t = 0; t < kThreads; ++t) {
        expected << t << " = " << (kWrites - 1) << "\n";
    }
    expected << "Shared = " << brl::Config::Setting<int>(config, "T/Shared", 0).Get() << "\n";
    // The delayed save writes the user file while the configuration lives.
    for (int i = 0; i < 1000 && ReadFile(path) != expected.str(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ReadFile(path), expected.str());
}

TEST(LoggingConcurrency, LinesFromManyThreadsStayWhole) {
    TempDir dir;
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    {
        brl::Logging::FileSink sink(dir.WideFile("threads.log"), brl::Logging::Trace, true);
        brl::Logging::ChannelBuffer buffer;
        brl::Logging::ChannelMultiplexer multiplexer;
        multiplexer.Add(&sink);
        multiplexer.Add(&buffer);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&multiplexer, t] {
                brl::Logging::Logger logger(&multiplexer, L"worker");
                for (int i = 0; i < kLines; ++i) {
                    BRL_LOG_INFO(logger, "thread ", t, " line ", i, " of a reasonably long message");
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(buffer.Buffered().size(), static_cast<size_t>(kThreads * kLines));
    }
    std::istringstream lines(ReadFile(dir.File("threads.log")));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_EQ(line.rfind("thread ", 0), 0u) << line;
        EXPECT_NE(line.find(" of a reasonably long message"), std::string::npos) << line;
    }
    EXPECT_EQ(count, kThreads * kLines);
}
