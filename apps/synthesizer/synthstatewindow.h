#pragma once

#include "korvax/korvaxintrosize.h"
#include "korvax/korvaxmanager.h"
#include "libbrelm/config.h"
#include "libbrelm/string.h"
#include "ppmdisplay.h"

#include <wx/frame.h>
#include <wx/timer.h>

#include <vector>

class wxPanel;

// The synthesizer state window ("synth state": the voices and value slots as
// text lines, repainted by its own timer, under a line with the intro size
// of the last compile) and the debug window ("synth
// debug": the eight debug meters). Closing either hides it and stores its
// placement ("SynthState", "SynthDebug").
//
// Threads: GUI thread only.
namespace brl::Synth::Gui {

class SynthStateWindow : public wxFrame {
public:
    static constexpr int kRepaintMs = 100;
    static constexpr const wchar_t* kPlacementName = L"SynthState";

    SynthStateWindow(wxWindow* parent, Korvax::Manager& manager, Config::Frontend& config);
    ~SynthStateWindow() override;

    // Measures the intro size of the program last compiled (on a thread of
    // its own); the line shows it once it is known. Call after each compile.
    void UpdateIntroSize();
    // "intro tables: ..." or empty before the first measurement.
    const String& IntroSizeLine() const { return introLine; }
    // Takes a finished measurement into the line; true when there was one.
    bool TakeIntroSize();

    // The lines drawn by the last paint (the intro size line first when known).
    const std::vector<String>& Lines() const { return lines; }
    uint64_t PaintCount() const { return paints; }
    wxPanel* Surface() const { return surface; }

private:
    void OnPaint();
    void OnClose(wxCloseEvent& event);

    Korvax::Manager& synth;
    Config::Frontend& config;
    wxPanel* surface = nullptr;
    wxTimer timer;
    std::vector<String> lines;
    uint64_t paints = 0;
    Korvax::IntroSizeMeter introMeter;
    String introLine;
};

class SynthDebugWindow : public wxFrame {
public:
    static constexpr int kRepaintMs = 100;
    static constexpr const wchar_t* kPlacementName = L"SynthDebug";

    SynthDebugWindow(wxWindow* parent, Korvax::Manager& manager, Config::Frontend& config);
    ~SynthDebugWindow() override;

    PPM_Display* Display() const { return display; }

private:
    void OnClose(wxCloseEvent& event);

    Config::Frontend& config;
    PPM_Display* display = nullptr;
    wxTimer timer;
};

} // namespace brl::Synth::Gui
