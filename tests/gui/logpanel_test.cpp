// The log pane in a real frame with a status bar.
#include "gui_test_support.h"

#include "gui/logpanelwx.h"
#include "libbrelm/configproviders.h"

#include "libbrelm/configini.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <wx/frame.h>

#include <memory>

namespace {

using brl::String;
using brl::gui::LogPanelWx;
using namespace std::chrono_literals;

// "2026-12-06 17:35:07.123" and three blanks before the text.
bool Stamped(const std::string& line) {
    const std::string pattern = "dddd-dd-dd dd:dd:dd.ddd   ";
    if (line.size() < pattern.size()) {
        return false;
    }
    for (size_t i = 0; i < pattern.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (pattern[i] == 'd' ? !digit : line[i] != pattern[i]) {
            return false;
        }
    }
    return true;
}

class LogPane : public ::testing::Test {
protected:
    void Open(std::vector<String> arguments, wxSize size = wxSize(600, 300)) {
        arguments.insert(arguments.begin(), L"test");
        options = std::make_unique<brl::Config::CommandlineProvider>(std::move(arguments));
        config.AddBase(options.get());
        frame = new wxFrame(nullptr, wxID_ANY, "log", wxPoint(0, 0), size);
        frame->CreateStatusBar();
        pane = new LogPanelWx(frame, &buffer, config, frame->GetStatusBar());
        frame->Show();
        guitest::Pump(30ms);
    }
    void TearDown() override {
        if (frame != nullptr) {
            guitest::DestroyNow(frame);
            guitest::Pump(20ms);
        }
    }
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::string text = pane->GetValue().utf8_string();
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(text.substr(start, end - start));
        }
        lines.push_back(text.substr(start));
        return lines;
    }
    // The colour of the text at the start of the line that contains `what`.
    wxColour ColourOf(const std::string& what) {
        const long at = pane->GetValue().Find(wxString::FromUTF8(what));
        wxTextAttr style;
        EXPECT_NE(at, wxNOT_FOUND) << what;
        EXPECT_TRUE(pane->GetStyle(at, style));
        return style.GetTextColour();
    }
    static wxColour Named(const char* name) { return wxTheColourDatabase->Find(name); }

    brl::Logging::ChannelBuffer buffer;
    brl::Logging::Logger log{&buffer, L"test"};
    std::unique_ptr<brl::Config::CommandlineProvider> options;
    brl::Config::Frontend config;
    wxFrame* frame = nullptr;
    LogPanelWx* pane = nullptr;
};

TEST_F(LogPane, ShowsRecordsUpToItsLevelInTheirColoursAndSendsTheSevereOnesToTheStatusBar) {
    BRL_LOG_ERROR(log, "saving file failed"); // buffered before the pane exists
    BRL_LOG_VERBOSE(log, "hidden verbose");
    Open({L"--Ui-Log-Level", L"6"});
    BRL_LOG_WARNING(log, "refused");
    BRL_LOG_INFO(log, "first\nsecond\nthird");
    BRL_LOG_TRACE(log, "hidden trace");
    BRL_LOG_CRITICAL(log, "BUG broken");
    BRL_LOG_VERBOSE(log, "verbose, later");
    EXPECT_TRUE(pane->GetValue().empty());
    pane->UpdateLogDisplay();
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 7u) << pane->GetValue().utf8_string();
    EXPECT_EQ(lines[0], "");
    const char* const expected[] = {"saving file failed", "refused", "first", "second", "third",
                                    "BUG broken"};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_TRUE(Stamped(lines[i + 1])) << lines[i + 1];
        EXPECT_EQ(lines[i + 1].substr(26), expected[i]);
    }
    // One record's lines share its time stamp.
    EXPECT_EQ(lines[3].substr(0, 23), lines[5].substr(0, 23));
    EXPECT_EQ(ColourOf("saving file failed"), Named("RED"));
    EXPECT_EQ(ColourOf("refused"), Named("YELLOW"));
    EXPECT_EQ(ColourOf("second"), Named("GREEN"));
    EXPECT_EQ(ColourOf("BUG broken"), Named("MAGENTA"));
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(), "BUG broken");
    EXPECT_EQ(pane->GetBackgroundColour(), wxColour(34, 34, 34));
    // Nothing new: nothing changes.
    pane->UpdateLogDisplay();
    EXPECT_EQ(Lines().size(), 7u);
}

TEST_F(LogPane, TheLightThemeColoursCanBeOverriddenAndTimesLeftAway) {
    Open({L"--Ui-Theme-Dark", L"0", L"--Ui-Log-ShowTime", L"0", L"--Ui-Log-Level", L"30",
          L"--Ui-Log-Colors-Light-4", L"#123456,ff"});
    log.Log(25, brl::Logging::SourceLocation(), String(), L"very chatty");
    BRL_LOG_ERROR(log, "recoloured");
    BRL_LOG_INFO(log, "plain info");
    pane->UpdateLogDisplay();
    EXPECT_EQ(Lines(), (std::vector<std::string>{"", "very chatty", "recoloured", "plain info"}));
    EXPECT_EQ(ColourOf("very chatty"), Named("LIGHT GREY")); // the colour of level 19
    EXPECT_EQ(ColourOf("recoloured"), wxColour(0x12, 0x34, 0x56));
    EXPECT_EQ(ColourOf("plain info"), Named("BLUE"));
    EXPECT_EQ(pane->GetBackgroundColour(), wxColour(255, 255, 255));
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(), "plain info");
}

TEST_F(LogPane, AThemeChangeWritesTheLinesShownInTheNewColours) {
    brl::testing::TempDir dir;
    brl::Config::IniProvider ini{dir.WideFile("config.ini"), true};
    config.AddOverride(&ini);
    config.AddWrite(&ini);
    Open({L"--Ui-Log-ShowTime", L"0"});
    BRL_LOG_ERROR(log, "failed");
    BRL_LOG_INFO(log, "done");
    pane->UpdateLogDisplay();
    ASSERT_EQ(ColourOf("done"), Named("GREEN"));
    brl::Config::Setting<bool>(config, "Ui/Theme/Dark", true).Set(false);
    pane->ApplyTheme();
    EXPECT_EQ(Lines(), (std::vector<std::string>{"", "failed", "done"}));
    EXPECT_EQ(ColourOf("failed"), Named("RED"));
    EXPECT_EQ(ColourOf("done"), Named("BLUE"));
    wxTextAttr style;
    ASSERT_TRUE(pane->GetStyle(pane->GetValue().Find("done"), style));
    EXPECT_TRUE(!style.HasBackgroundColour() || style.GetBackgroundColour() == wxColour(255, 255, 255));
}

TEST_F(LogPane, OldLinesGiveWayBeyondTheLineLimit) {
    Open({L"--Ui-Log-MaxLines", L"3", L"--Ui-Log-ShowTime", L"0"});
    for (int i = 1; i <= 10; ++i) {
        BRL_LOG_INFO(log, "record ", i);
    }
    pane->UpdateLogDisplay();
    const std::vector<std::string> lines = Lines();
    EXPECT_LE(lines.size(), 4u);
    EXPECT_EQ(lines.back(), "record 10");
    EXPECT_EQ(pane->GetValue().Find("record 1\n"), wxNOT_FOUND);
}

TEST_F(LogPane, ASampleOfEveryLevel) {
    Open({}, wxSize(720, 300));
    const char* const texts[] = {"level 0: disabled",
                                 "level 1: emergency",
                                 "level 2: alert",
                                 "level 3: critical: BUG !vertex",
                                 "level 4: saving file failed",
                                 "level 5: Pin1 is no output or buffer.",
                                 "level 6: compile ok. (12 ms)",
                                 "level 7: verbose",
                                 "level 8: debug",
                                 "level 9: trace"};
    for (int level = 0; level <= 9; ++level) {
        log.Log(level, brl::Logging::SourceLocation::Make(__FILE__, __LINE__, "test"), String(),
                brl::FromUtf8(texts[level]));
    }
    pane->UpdateLogDisplay();
    guitest::Pump(100ms);
    EXPECT_EQ(Lines().size(), 11u);
    guitest::SaveScreenshot(frame, "log-pane.png");
}

} // namespace
