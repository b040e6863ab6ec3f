// The tool windows in real windows: slider bank, controller widgets, meters, state and debug.
#include "gui/gui_test_support.h"

#include "support/deviceless_manager.h"
#include "support/ini_settings.h"
#include "synthesizer/ppmdisplay.h"
#include "synthesizer/schiebebank.h"

#include <gtest/gtest.h>

#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cmath>
#include <memory>

namespace {

using brl::String;
using namespace brl::Synth::Gui;
using brl::Korvax::PinKind;
namespace Config = brl::Config;
namespace Korvax = brl::Korvax;
using namespace std::chrono_literals;

using TestManager = brl::testing::DevicelessManager;

using Settings = brl::testing::IniSettings;

using guitest::Choose;

// Module nodes on channel 0's voice graph until one controller of a slider kind
// and one of a combo box kind are handed out.
struct Controllers {
    int slider = -1;
    int combo = -1;
    explicit Controllers(Korvax::Manager& manager) {
        for (int module = 1; module <= Korvax::kModuleCount && (slider < 0 || combo < 0); ++module) {
            const int first = manager.FindFreeController(0);
            manager.CreateNode(manager.Patches().Voice(0), module, 0);
            for (int c = first; c >= 0 && c < manager.FindFreeController(0); ++c) {
                const PinKind kind = manager.GetPreferredControllerRange(0, c);
                if (kind != PinKind::Invalid && ControlFor(kind) == ControlKind::Slider && slider < 0) {
                    slider = c;
                } else if (ControlFor(kind) == ControlKind::ComboBox && combo < 0) {
                    combo = c;
                }
            }
        }
    }
};

struct Bank {
    Settings s;
    std::unique_ptr<TestManager> manager = std::make_unique<TestManager>();
    Schiebebank* bank = nullptr;
    void Open() {
        bank = new Schiebebank(nullptr, *manager, s.config);
        bank->Show();
        guitest::Pump(200ms);
    }
    ~Bank() {
        if (bank != nullptr) {
            guitest::DestroyNow(bank);
            guitest::Pump(20ms);
        }
    }
};

TEST(SliderBank, MovingASliderSetsTheValueSlotAndClosingHides) {
    Bank b;
    const Controllers used(*b.manager);
    ASSERT_GE(used.slider, 0);
    ASSERT_GE(used.combo, 0);
    b.Open();
    // Assigned controllers get the control their kind asks for.
    EXPECT_EQ(b.bank->Widget(used.slider).Kind(), ControlKind::Slider);
    EXPECT_EQ(b.bank->Widget(used.combo).Kind(), ControlKind::ComboBox);
    // A second widget on the same controller follows through the manager.
    guitest::Frame other(L"other", wxSize(400, 250));
    auto echo =
        ControllerWidget::Create(new wxPanel(other.frame), *b.manager, 0, used.slider, std::nullopt, true);
    auto& slider = static_cast<Slider&>(b.bank->Widget(used.slider));
    guitest::Slide(slider.Widget(), 100);
    EXPECT_FLOAT_EQ(b.manager->Slot(0, used.slider), 100.0f / 128.0f);
    EXPECT_EQ(static_cast<TextBox&>(*echo).Widget()->GetValue(), L"100");
    EXPECT_NE(slider.ValueLabel()->GetLabel().Find(L"(0.7812) [100]"), wxNOT_FOUND);
    auto& combo = static_cast<ComboBox&>(b.bank->Widget(used.combo));
    Choose(combo.Widget(), 2);
    EXPECT_FLOAT_EQ(b.manager->Slot(0, used.combo), ComboValue(2));
    // Closing hides it (the close is vetoed) and keeps its size.
    b.bank->SetSize(60, 70, 700, 400);
    guitest::Pump(50ms);
    EXPECT_FALSE(b.bank->Close(false));
    EXPECT_FALSE(b.bank->IsShown());
    EXPECT_EQ(Config::Setting<int>(b.s.config, "Schiebebank/Width", 0).Get(), 700);
    EXPECT_EQ(Config::Setting<int>(b.s.config, "Schiebebank/Height", 0).Get(), 400);
}

TEST(ControllerWidgets, ComboBoxesAndTextBoxesShowAndSetTheirController) {
    TestManager manager;
    guitest::Frame t(L"controller widgets", wxSize(400, 120));
    auto* panel = new wxPanel(t.frame);
    manager.SetControllerValue(0, 4, 0.5f);
    manager.SetControllerValue(0, 6, 0.4f);
    auto combo = ControllerWidget::Create(panel, manager, 0, 4, PinKind::DiscretDistortion);
    auto box = ControllerWidget::Create(panel, manager, 0, 6, PinKind::FreqLfo, true);
    auto* grid = new wxFlexGridSizer(3, 4, 8);
    for (const ControllerWidget* widget : {combo.get(), box.get()}) {
        grid->Add(widget->Label(), 0, wxALIGN_CENTER_VERTICAL);
        grid->Add(widget->Control(), 0, wxEXPAND);
        grid->Add(widget->ValueLabel(), 0, wxALIGN_CENTER_VERTICAL);
    }
    panel->SetSizer(grid);
    t.frame->Show();
    guitest::Pump(50ms);
    auto& distortion = static_cast<ComboBox&>(*combo);
    EXPECT_EQ(distortion.Widget()->GetStringSelection(), L"x**2"); // 0.5 selects entry 4
    Choose(distortion.Widget(), 6);
    EXPECT_FLOAT_EQ(manager.Slot(0, 4), ComboValue(6));
    EXPECT_EQ(distortion.Widget()->GetStringSelection(), L"gate");
    auto& text = static_cast<TextBox&>(*box);
    EXPECT_EQ(text.Widget()->GetValue(), L"51"); // 0.4 in steps
    text.Widget()->ChangeValue(L"96");
    EXPECT_TRUE(text.Commit());
    EXPECT_FLOAT_EQ(manager.Slot(0, 6), 0.75f);
    text.Widget()->ChangeValue(L"loud");
    EXPECT_FALSE(text.Commit());
    EXPECT_EQ(text.Widget()->GetValue(), L"96");
    EXPECT_FLOAT_EQ(manager.Slot(0, 6), 0.75f);
    guitest::SaveScreenshot(t.frame, "controller-widgets.png");
}

// Static levels: the left meter at about -12 dB rms, the right one clipping.
MeterLevels LevelsAt(float peakDb, float rmsDb, bool clip) {
    MeterLevels m;
    m.peakOut = std::pow(10.0f, peakDb / 20.0f);
    m.peakHold = std::pow(10.0f, (peakDb + 3.0f) / 20.0f);
    m.rmsOut = std::pow(10.0f, rmsDb / 20.0f) / 1.4142135f;
    m.rmsHold = std::pow(10.0f, (rmsDb + 4.0f) / 20.0f) / 1.4142135f;
    m.clipOut = clip;
    return m;
}

// The debug meters are painted in the debug window below.
TEST(LevelMeterWindows, PaintTheMetersAndFollowSettingsChanges) {
    Settings s;
    Config::Setting<bool>(s.config, "Ui/PPMDisplay/Scale", false).Set(true);
    guitest::Frame window(L"level meters", wxSize(860, 200));
    auto* display = new PPM_Display2(
        window.frame, s.config, [] { return LevelsAt(-8.0f, -12.0f, false); },
        [] { return LevelsAt(1.5f, -2.0f, true); });
    window.frame->Show();
    EXPECT_TRUE(guitest::PumpUntil([&] { return display->PaintCount() > 0; }));
    EXPECT_EQ(display->DisplaySettings().Segments(), 30);
    guitest::SaveScreenshot(window.frame, "level-meters-sample.png");
    Config::Setting<double>(s.config, "Ui/PPMDisplay/dBPerSegment", 2.0).Set(3.0);
    EXPECT_TRUE(guitest::PumpUntil([&] { return display->DisplaySettings().Segments() == 20; }));
}

} // namespace
