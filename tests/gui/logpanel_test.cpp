// The log pane in a real frame with a status bar.
#include "gui_test_support.h"

#include "gui/logpanelwx.h"
#include "libbrelm/configini.h"
#include "libbrelm/configproviders.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <wx/frame.h>
#include <wx/tokenzr.h>

#include <memory>
#include <regex>

namespace {

using brl::String;
using brl::gui::LogPanelWx;
using namespace std::chrono_literals;

// "2026-12-06 17:35:07.123" and three blanks before the text.
bool Stamped(const std::string& line) {
    return std::regex_search(line, std::regex(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}   )"));
}

class LogPane : public ::testing::Test {
protected:
    void Open(std::vector<String> arguments) {
        arguments.insert(arguments.begin(), L"test");
        options = std::make_unique<brl::Config::CommandlineProvider>(std::move(arguments));
        config.AddBase(options.get());
        frame = new wxFrame(nullptr, wxID_ANY, "log", wxPoint(0, 0), wxSize(600, 300));
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
        for (const wxString& line : wxStringTokenize(pane->GetValue(), "\n", wxTOKEN_RET_EMPTY_ALL)) {
            lines.push_back(line.utf8_string());
        }
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

TEST_F(LogPane, AThemeChangeWritesTheLinesShownInTheLightColoursWhichCanBeOverridden) {
    brl::testing::TempDir dir;
    brl::Config::IniProvider ini{dir.WideFile("config.ini"), true};
    config.AddOverride(&ini);
    config.AddWrite(&ini);
    Open({L"--Ui-Log-ShowTime", L"0", L"--Ui-Log-Level", L"30", L"--Ui-Log-Colors-Light-4", L"#123456,ff"});
    log.Log(25, brl::Logging::SourceLocation(), String(), L"very chatty");
    BRL_LOG_ERROR(log, "recoloured");
    BRL_LOG_INFO(log, "plain info");
    pane->UpdateLogDisplay();
    ASSERT_EQ(ColourOf("plain info"), Named("GREEN"));
    ASSERT_EQ(ColourOf("recoloured"), Named("RED")); // the override is the light theme's
    brl::Config::Setting<bool>(config, "Ui/Theme/Dark", true).Set(false);
    pane->ApplyTheme();
    EXPECT_EQ(Lines(), (std::vector<std::string>{"", "very chatty", "recoloured", "plain info"}));
    EXPECT_EQ(ColourOf("very chatty"), Named("LIGHT GREY")); // the colour of level 19
    EXPECT_EQ(ColourOf("recoloured"), wxColour(0x12, 0x34, 0x56));
    EXPECT_EQ(ColourOf("plain info"), Named("BLUE"));
    EXPECT_EQ(pane->GetBackgroundColour(), wxColour(255, 255, 255));
    wxTextAttr style;
    ASSERT_TRUE(pane->GetStyle(pane->GetValue().Find("plain info"), style));
    EXPECT_TRUE(!style.HasBackgroundColour() || style.GetBackgroundColour() == wxColour(255, 255, 255));
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(), "plain info");
}

} // namespace
