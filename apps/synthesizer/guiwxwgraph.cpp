#include "synthesizer/guiwxwgraph.h"

#include "gui/logpanelwx.h"
#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxfileio.h"
#include "libbrelm/time.h"
#include "midi/midiiokeyboard.h"
#include "synthesizer/controllerwidget.h"
#include "synthesizer/guimanager.h"
#include "synthesizer/ppmdisplay.h"
#include "synthesizer/schiebebank.h"
#include "synthesizer/synthstatewindow.h"

#if defined(KORVAX_WITH_DEVICES)
#include "synthesizer/settingsdialog.h"
#include "synthesizer/synth_native.h"
#endif

#include <wx/aboutdlg.h>
#include <wx/artprov.h>
#include <wx/clipbrd.h>
#include <wx/combobox.h>
#include <wx/filedlg.h>
#include <wx/listbox.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/notebook.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/textdlg.h>

#include <chrono>
#include <map>

namespace brl::Synth::Gui {

namespace {

// The panes in the order of the view menu, with their captions.
struct PaneName {
    const char* name;
    const char* caption;
};
constexpr std::array<PaneName, 10> kViewPanes{{
    {"filebarpane", "filebar"},
    {"editbarpane", "editbar"},
    {"controlbarpane", "controlbar"},
    {"toolsbarpane", "toolsbar"},
    {"ppmpane", "ppm"},
    {"channelpane", "channel"},
    {"moduleparameterspane", "parameters"},
    {"helppane", "help"},
    {"graphpane", "graph"},
    {"logpane", "log"},
}};

constexpr std::array<const char*, kPageCount> kPageNames{"mix pre", "channel pre", "voice", "channel", "mix"};

bool IsTextField(const wxWindow* window) {
    if (const auto* text = wxDynamicCast(window, wxTextCtrl)) {
        return text->IsEditable();
    }
    return wxDynamicCast(window, wxSpinCtrl) != nullptr || wxDynamicCast(window, wxComboBox) != nullptr;
}

uint64_t UtcSeconds() {
    Time::ClockUTCImpl utc;
    return utc.Now() / utc.Frequency();
}

} // namespace

// Sees every key event of the program first and hands those of windows inside
// the frame to it, so that the keyboard plays wherever the focus is.
class Graph::KeyFilter : public wxEventFilter {
public:
    explicit KeyFilter(Graph& window) : owner(window) { wxEvtHandler::AddFilter(this); }
    ~KeyFilter() override { wxEvtHandler::RemoveFilter(this); }

    int FilterEvent(wxEvent& event) override {
        const wxEventType type = event.GetEventType();
        if (type != wxEVT_KEY_DOWN && type != wxEVT_KEY_UP) {
            return Event_Skip;
        }
        auto* window = wxDynamicCast(event.GetEventObject(), wxWindow);
        if (window == nullptr || !InsideOwner(window)) {
            return Event_Skip;
        }
        return owner.FilterKey(static_cast<wxKeyEvent&>(event));
    }

private:
    // In the frame, or in one of its panes floating in a frame of its own.
    bool InsideOwner(wxWindow* window) const {
        wxWindow* top = wxGetTopLevelParent(window);
        while (top != nullptr && top != &owner && wxDynamicCast(top, wxAuiFloatingFrame) != nullptr) {
            top = top->GetParent() != nullptr ? wxGetTopLevelParent(top->GetParent()) : nullptr;
        }
        return top == &owner;
    }

    Graph& owner;
};

Graph::Graph(Korvax::Manager& manager, Config::Frontend& configuration, const ApplicationInfo& app,
             const String& buildText, Logging::Channel* logTarget, Logging::ChannelBuffer* logBuffer)
    : wxFrame(nullptr, wxID_ANY, wxString(app.applicationLongName), wxDefaultPosition, wxSize(1400, 900)),
      Listener(manager), synth(manager), config(configuration), application(app), build(buildText),
      statusTiming(configuration, "Korvax/Ui/Statusbar/Timing", false),
      autoCompile(configuration, "Editor/AutoCompile", true),
      confirmDeleteNode(configuration, "Editor/ConfirmDeleteNode", true), log(logTarget, L"korvaxgui"),
      logChannel(logTarget), history(manager), recentFiles(configuration),
      commands(manager, configuration, *this, app, buildText, log) {
    commands.SetHistory(&history);
    commands.SetRecentFiles(&recentFiles);
    commands.recentFilesChanged = [this] { RebuildRecentMenu(); };
    recentFiles.Load();
    commands.beforeStateChange = [this] {
        // A song of the state that goes stops with it.
        StopSong();
        DetachViews();
    };
    commands.afterStateChange = [this] {
        AttachViews();
        RebuildChannelList();
        UpdateParameters();
        UpdateHelp();
    };
    commands.fileNameChanged = [this] { UpdateTitle(); };

    panes.SetManagedWindow(this);
    CreateStatusBar(kStatusFields);
    {
        // The log line takes what is left; the intro size and the CPU meter
        // have room for their texts.
        const int widths[kStatusFields] = {-4, -2, -1, -1, -1, 220, 160};
        GetStatusBar()->SetStatusWidths(kStatusFields, widths);
    }
    BuildMenus();
    BuildToolBars();
    BuildPanes();
    logPane =
        new gui::LogPanelWx(this, logBuffer != nullptr ? logBuffer : &ownBuffer, config, GetStatusBar());
    panes.AddPane(logPane,
                  wxAuiPaneInfo().Name("logpane").Caption("log").Bottom().BestSize(800, 180).Layer(0));
    RestoreLayout();
    panes.Update();
    BindCommands();

    AttachViews();
    RebuildChannelList();
    UpdateTitle();
    Subscribe();
    keyFilter = std::make_unique<KeyFilter>(*this);
    configListener = std::make_unique<Config::ChangeListener>(config, [this] {
        if (ready) {
            ApplySettings();
        }
    });
    ready = true;
    ApplySettings();
}

Graph::~Graph() {
    ready = false;
    configListener.reset();
    keyFilter.reset();
    if (keyboard != nullptr) {
        keyboard->ReleaseAll();
    }
    for (wxTimer* timer : {&exitPollTimer, &updateTimer, &redrawTimer, &autosaveTimer}) {
        timer->Stop();
    }
    Unsubscribe();
    parameterWidgets.clear();
    DetachViews();
    panes.UnInit();
}

// Construction ---------------------------------------------------------------

void Graph::BuildMenus() {
    auto* file = new wxMenu;
    file->Append(wxID_NEW);
    file->Append(wxID_OPEN);
    file->Append(kIdReload, "&reload\tCtrl-R");
    file->AppendSeparator();
    file->Append(wxID_SAVE);
    file->Append(wxID_SAVEAS);
    file->AppendSeparator();
    recentMenu = new wxMenu;
    file->AppendSubMenu(recentMenu, "recent files");
    file->AppendSeparator();
    file->Append(wxID_EXIT);

    auto* edit = new wxMenu;
    edit->Append(kIdUndo, "&undo\tCtrl-Z");
    edit->Append(kIdRedo, "&redo\tCtrl-Y");
    edit->AppendSeparator();
    edit->Append(wxID_CUT, "cu&t\tCtrl-X");
    edit->Append(wxID_COPY, "&copy\tCtrl-C");
    edit->Append(wxID_PASTE, "&paste\tCtrl-V");
    edit->AppendSeparator();
    edit->Append(wxID_SELECTALL, "select &all\tCtrl-A");
    edit->AppendSeparator();
    edit->Append(kIdCompile, "&compile");
    edit->Append(kIdLoadOgg, "load &ogg...");
    edit->Append(kIdImportMidi, "import &midi...");

    auto* view = new wxMenu;
    for (size_t i = 0; i < kViewPanes.size(); ++i) {
        view->Append(kIdViewFirst + static_cast<int>(i), kViewPanes[i].caption);
    }

    auto* tools = new wxMenu;
    tools->Append(kIdSchiebebank, "schiebe&bank...");
    tools->Append(kIdSynthState, "s&ynthesizer state...");
    tools->Append(kIdSynthDebug, "synthesizer debu&g...");
    tools->AppendSeparator();
    tools->Append(kIdForceMidiProgram, "force &midi program");
    tools->AppendSeparator();
    tools->Append(kIdProfiler, "&profiler...");
    tools->AppendSeparator();
    tools->Append(kIdSettings, "&settings...");

    auto* control = new wxMenu;
    control->Append(kIdPanic, "pani&c");

    auto* help = new wxMenu;
    help->Append(wxID_ABOUT);

    auto* bar = new wxMenuBar;
    bar->Append(file, "&file");
    bar->Append(edit, "&edit");
    bar->Append(view, "&view");
    bar->Append(tools, "&tools");
    bar->Append(control, "c&ontrol");
    bar->Append(help, "&help");
    SetMenuBar(bar);
    RebuildRecentMenu();
    // Redo has a second shortcut.
    wxAcceleratorEntry redo(wxACCEL_CTRL | wxACCEL_SHIFT, 'Z', kIdRedo);
    SetAcceleratorTable(wxAcceleratorTable(1, &redo));
    Bind(wxEVT_UPDATE_UI, &Graph::OnUpdateUndo, this, kIdUndo, kIdRedo);
}

void Graph::BuildToolBars() {
    const long style = wxAUI_TB_DEFAULT_STYLE | wxAUI_TB_TEXT | wxAUI_TB_HORZ_LAYOUT;
    const wxSize iconSize(16, 16);
    auto icon = [&](const wxArtID& id) { return wxArtProvider::GetBitmap(id, wxART_TOOLBAR, iconSize); };
    auto addBar = [&](wxAuiToolBar* bar, const char* name, const char* caption, int row) {
        bar->Realize();
        panes.AddPane(bar, wxAuiPaneInfo().Name(name).Caption(caption).ToolbarPane().Top().Row(row));
    };

    auto* fileBar = new wxAuiToolBar(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, style);
    fileBar->AddTool(wxID_NEW, "new", icon(wxART_NEW));
    fileBar->AddTool(wxID_OPEN, "open", icon(wxART_FILE_OPEN));
    fileBar->AddTool(wxID_SAVE, "save", icon(wxART_FILE_SAVE));
    fileBar->AddTool(wxID_SAVEAS, "save as", icon(wxART_FILE_SAVE_AS));
    addBar(fileBar, "filebarpane", "filebar", 0);

    auto* editBar = new wxAuiToolBar(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, style);
    editBar->AddTool(kIdCompile, "compile", icon(wxART_EXECUTABLE_FILE));
    editBar->AddTool(kIdLoadOgg, "load .ogg", icon(wxART_CDROM));
    editBar->AddTool(kIdImportMidi, "import midi", icon(wxART_NORMAL_FILE));
    addBar(editBar, "editbarpane", "editbar", 0);

    auto* controlBar = new wxAuiToolBar(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, style);
    controlBar->SetName("controls");
    controlBar->AddTool(kIdPanic, "PANIC!", icon(wxART_ERROR));
    controlBar->AddTool(kIdSongPlay, "play", icon(wxART_GO_FORWARD), "play the song (space)");
    controlBar->AddTool(kIdSongStop, "stop", icon(wxART_CROSS_MARK), "stop the song (space)");
    addBar(controlBar, "controlbarpane", "controlbar", 0);

    toolsBar = new wxAuiToolBar(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, style);
    toolsBar->AddTool(kIdSchiebebank, "schiebebank", icon(wxART_LIST_VIEW));
    toolsBar->AddTool(kIdSynthState, "synth state", icon(wxART_REPORT_VIEW));
    toolsBar->AddTool(kIdSynthDebug, "synth debug", icon(wxART_FIND));
    toolsBar->AddTool(kIdProfiler, "profiler", icon(wxART_TIP));
    toolsBar->AddTool(kIdSettings, "settings", icon(wxART_HELP_SETTINGS));
    toolsBar->AddTool(kIdForceMidiProgramToggle, "force midi program", icon(wxART_TICK_MARK), wxString(),
                      wxITEM_CHECK);
    addBar(toolsBar, "toolsbarpane", "toolsbar", 1);
}

void Graph::BuildPanes() {
    // Level meters.
    auto meterOf = [this](int index) {
        return [this, index] { return ReadMeter(synth.OutputMeters()[static_cast<size_t>(index)]); };
    };
    // The level meters with the CPU meter under them.
    auto* meterPanel = new wxPanel(this);
    meters = new PPM_Display2(meterPanel, config, meterOf(0), meterOf(1));
    cpuMeter = new CpuMeterDisplay(
        meterPanel, config, [this] { return cpuLoad ? cpuLoad() : std::pair<float, float>(0.0f, 0.0f); });
    auto* meterSizer = new wxBoxSizer(wxVERTICAL);
    meterSizer->Add(meters, 1, wxEXPAND);
    meterSizer->Add(cpuMeter, 0, wxEXPAND | wxTOP, 2);
    meterPanel->SetSizer(meterSizer);
    panes.AddPane(meterPanel,
                  wxAuiPaneInfo().Name("ppmpane").Caption("ppm").Right().BestSize(220, 320).Layer(1));

    // Program and channel controls with the channel list.
    auto* channelPanel = new wxPanel(this);
    auto* channelSizer = new wxBoxSizer(wxVERTICAL);
    auto* controls = new wxFlexGridSizer(2, wxSize(4, 2));
    controls->AddGrowableCol(1);
    programSpin = new wxSpinCtrl(channelPanel, wxID_ANY, "", wxDefaultPosition, wxDefaultSize,
                                 wxSP_ARROW_KEYS, 0, Korvax::kChannels - 1, 0);
    bufferSpin = new wxSpinCtrl(channelPanel, wxID_ANY, "", wxDefaultPosition, wxDefaultSize, wxSP_ARROW_KEYS,
                                0, 127, 0);
    bufferSpin->Enable(false);
    // The controller of the selected value input: where it lives, and its name.
    controllerChannelSpin = new wxSpinCtrl(channelPanel, wxID_ANY, "", wxDefaultPosition, wxDefaultSize,
                                           wxSP_ARROW_KEYS, 0, Korvax::kChannels - 1, 0);
    controllerNumberSpin = new wxSpinCtrl(channelPanel, wxID_ANY, "", wxDefaultPosition, wxDefaultSize,
                                          wxSP_ARROW_KEYS, 0, Korvax::kControllersPerChannel - 1, 0);
    controllerChannelSpin->Enable(false);
    controllerNumberSpin->Enable(false);
    controllerName =
        new wxTextCtrl(channelPanel, wxID_ANY, "", wxDefaultPosition, wxDefaultSize, wxTE_PROCESS_ENTER);
    controllerName->Enable(false);
    controls->Add(new wxStaticText(channelPanel, wxID_ANY, "program"), 0, wxALIGN_CENTER_VERTICAL);
    controls->Add(programSpin, 1, wxEXPAND);
    controls->Add(new wxStaticText(channelPanel, wxID_ANY, "channel"), 0, wxALIGN_CENTER_VERTICAL);
    controls->Add(controllerChannelSpin, 1, wxEXPAND);
    controls->Add(new wxStaticText(channelPanel, wxID_ANY, "name"), 0, wxALIGN_CENTER_VERTICAL);
    controls->Add(controllerName, 1, wxEXPAND);
    controls->Add(new wxStaticText(channelPanel, wxID_ANY, "number"), 0, wxALIGN_CENTER_VERTICAL);
    controls->Add(controllerNumberSpin, 1, wxEXPAND);
    controls->Add(new wxStaticText(channelPanel, wxID_ANY, "buffer"), 0, wxALIGN_CENTER_VERTICAL);
    controls->Add(bufferSpin, 1, wxEXPAND);
    channelSizer->Add(controls, 0, wxEXPAND | wxALL, 2);
    channelList = new wxListBox(channelPanel, wxID_ANY);
    channelSizer->Add(channelList, 1, wxEXPAND);
    channelPanel->SetSizer(channelSizer);
    panes.AddPane(channelPanel,
                  wxAuiPaneInfo().Name("channelpane").Caption("channel").Left().BestSize(200, 500).Layer(1));

    parameters = new wxScrolledWindow(this, wxID_ANY);
    parameters->SetScrollRate(0, 10);
    parameters->SetSizer(new wxFlexGridSizer(3, wxSize(4, 2)));
    panes.AddPane(parameters, wxAuiPaneInfo()
                                  .Name("moduleparameterspane")
                                  .Caption("parameters")
                                  .Right()
                                  .BestSize(320, 300)
                                  .Layer(1)
                                  .Position(1));

    helpText =
        new wxTextCtrl(this, wxID_ANY, "", wxDefaultPosition, wxDefaultSize, wxTE_MULTILINE | wxTE_READONLY);
    panes.AddPane(
        helpText,
        wxAuiPaneInfo().Name("helppane").Caption("help").Left().BestSize(200, 200).Layer(1).Position(1));

    notebook = new wxNotebook(this, wxID_ANY);
    for (int page = 0; page < kPageCount; ++page) {
        views[static_cast<size_t>(page)] = new vergl::CUiWxw(notebook, config);
        notebook->AddPage(views[static_cast<size_t>(page)], kPageNames[static_cast<size_t>(page)]);
    }
    panes.AddPane(notebook, wxAuiPaneInfo().Name("graphpane").Caption("graph").CenterPane());
}

void Graph::BindCommands() {
    Bind(wxEVT_MENU, &Graph::OnCommand, this);
    Bind(wxEVT_TOOL, &Graph::OnCommand, this);
    Bind(wxEVT_MENU, &Graph::OnModule, this, kIdModuleFirst, kIdModuleLast);
    Bind(wxEVT_CLOSE_WINDOW, &Graph::OnClose, this);
    Bind(wxEVT_ACTIVATE, &Graph::OnActivate, this);
    notebook->Bind(wxEVT_NOTEBOOK_PAGE_CHANGED, [this](wxBookCtrlEvent& event) {
        event.Skip();
        OnPageChanged();
    });
    channelList->Bind(wxEVT_LISTBOX, [this](wxCommandEvent& event) { SelectChannel(event.GetSelection()); });
    channelList->Bind(wxEVT_LISTBOX_DCLICK,
                      [this](wxCommandEvent& event) { RenameChannel(event.GetSelection()); });
    programSpin->Bind(wxEVT_SPINCTRL, [this](wxSpinEvent& event) { SelectChannel(event.GetPosition()); });
    controllerName->Bind(wxEVT_TEXT_ENTER, [this](wxCommandEvent&) { RenameController(); });
    bufferSpin->Bind(wxEVT_SPINCTRL, [this](wxSpinEvent& event) {
        vergl::CEntity* focus = CurrentView()->Focus();
        if (focus == nullptr || focus->Type() != vergl::kTypeNode) {
            return;
        }
        history.Record(L"buffer number");
        if (synth.SetBufferNumber(focus->AsNode(), event.GetPosition())) {
            CompileIfAuto();
        }
    });
    // The time from the window's construction to its first painted graph frame.
    for (vergl::CUiWxw* view : views) {
        view->Bind(wxEVT_PAINT, [this](wxPaintEvent& event) {
            event.Skip();
            if (!firstFramePainted) {
                firstFramePainted = true;
                CallAfter([this] {
                    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - created);
                    BRL_LOG_INFO(log, "first frame painted ", ms.count(),
                                 " ms after the main window was made");
                    if (sliderBankPending) {
                        CreateSliderBank();
                    }
                });
            }
        });
    }
    exitPollTimer.Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
        if (::brl::Gui::GuiSupport::QuitRequested()) {
            Close(true);
        }
    });
    updateTimer.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { synth.Update(); });
    redrawTimer.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Redraw(); });
    autosaveTimer.Bind(wxEVT_TIMER,
                       [this](wxTimerEvent&) { commands.Autosave(static_cast<int64_t>(UtcSeconds())); });
}

void Graph::RestoreLayout() {
    const int version = Config::Setting<int>(config, "Ui/Graph/PanesLayoutVersion", 0).Get();
    const String layout = Config::Setting<String>(config, "Ui/Graph/Panes", String()).Get();
    if (PaneLayoutUsable(version) && !layout.empty()) {
        panes.LoadPerspective(wxString(layout), false);
    }
}

void Graph::SaveLayout() {
    Config::Setting<String>(config, "Ui/Graph/Panes", String()).Set(panes.SavePerspective().ToStdWstring());
    Config::Setting<int>(config, "Ui/Graph/PanesLayoutVersion", 0).Set(kPaneLayoutVersion);
}

void Graph::StartTimers() {
    auto restart = [](wxTimer& timer, int ms) {
        timer.Stop();
        if (ms > 0) {
            timer.Start(ms);
        }
    };
    restart(exitPollTimer, Config::Setting<int>(config, "Ui/PollingInterval", 100).Get());
    restart(updateTimer, Config::Setting<int>(config, "Korvax/Ui/UpdateInterval", 100).Get());
    restart(redrawTimer, Config::Setting<int>(config, "Korvax/Ui/RedrawInterval", 50).Get());
    restart(autosaveTimer, commands.AutosaveIntervalMs());
}

void Graph::ApplySettings() {
    StartTimers();
    const vergl::Theme theme = vergl::ReadTheme(config);
    const vergl::Behaviours behaviours = vergl::ReadEditorBehaviours(config);
    for (vergl::CUiWxw* view : views) {
        view->SetTheme(theme);
        view->SetBehaviours(behaviours);
    }
    meters->ReloadSettings();
    logPane->ApplyTheme();
    logPane->Refresh();
    synth.SetUseMidiChannel(Config::Setting<int>(config, "Korvax/Midi/ChannelMapping", 0).Get() != 0);
    synth.SetLogTimingClock(
        Config::Setting<bool>(config, "Korvax/Ui/Log/Midi/RealtimeTimingClock", true).Get());
    synth.SetLogActiveSensing(
        Config::Setting<bool>(config, "Korvax/Ui/Log/Midi/RealtimeActiveSense", false).Get());
}

// State and views ------------------------------------------------------------

void Graph::AdoptInitialLoad(const String& path, bool loaded) {
    AttachViews();
    RebuildChannelList();
    if (loaded || promptHook != nullptr) {
        commands.AdoptInitialLoad(path, loaded);
        return;
    }
    // The message box waits until the window is up.
    CallAfter([this, path] { commands.AdoptInitialLoad(path, false); });
}

void Graph::DetachViews() {
    for (vergl::CUiWxw* view : views) {
        view->SetGraph(nullptr);
    }
}

void Graph::AttachViews() {
    for (int page = 0; page < kPageCount; ++page) {
        vergl::CUiWxw* view = views[static_cast<size_t>(page)];
        view->SetHandler(this);
        view->SetGraph(PageGraph(page));
    }
}

vergl::CVergl* Graph::PageGraph(int page) const {
    const int channel = synth.GetCurrentProgram();
    Korvax::PatchSet& patches = synth.Patches();
    switch (page) {
    case kPageMixPre:
        return &patches.MixPre();
    case kPageChannelPre:
        return &patches.ChannelPre(channel);
    case kPageVoice:
        return &patches.Voice(channel);
    case kPageChannel:
        return &patches.ChannelPost(channel);
    default:
        return &patches.Mix();
    }
}

int Graph::PageChannel() const {
    return synth.GetCurrentProgram();
}

int Graph::CurrentPage() const {
    const int page = notebook->GetSelection();
    return page >= 0 && page < kPageCount ? page : kPageVoice;
}

void Graph::SelectPage(int page) {
    notebook->SetSelection(static_cast<size_t>(page));
    OnPageChanged();
}

void Graph::OnPageChanged() {
    UpdateHelp();
    UpdateParameters();
}

void Graph::RebuildChannelList() {
    const int selected = channelList->GetSelection();
    wxArrayString entries;
    for (int i = 0; i < Korvax::kChannels; ++i) {
        entries.Add(wxString(ChannelEntryText(i, synth.Patches().channelNames[static_cast<size_t>(i)])));
    }
    channelList->Set(entries);
    if (selected != wxNOT_FOUND) {
        channelList->SetSelection(selected);
    }
}

void Graph::SelectChannel(int index) {
    if (index < 0 || index >= Korvax::kChannels) {
        return;
    }
    if (channelList->GetSelection() != index) {
        channelList->SetSelection(index);
    }
    if (!synth.SetCurrentProgram(index)) {
        return;
    }
    synth.NotifyProgramSelected();
    if (toolsBar->GetToolToggled(kIdForceMidiProgramToggle)) {
        synth.SetForcedChannel(index);
    }
}

void Graph::ProgramSelected() {
    const int program = synth.GetCurrentProgram();
    for (int page : {kPageChannelPre, kPageVoice, kPageChannel}) {
        views[static_cast<size_t>(page)]->SetGraph(PageGraph(page));
    }
    if (programSpin->GetValue() != program) {
        programSpin->SetValue(program);
    }
    if (channelList->GetSelection() != program) {
        channelList->SetSelection(program);
    }
    UpdateHelp();
    UpdateParameters();
}

void Graph::RenameChannel(int index) {
    if (index < 0 || index >= Korvax::kChannels) {
        return;
    }
    String& name = synth.Patches().channelNames[static_cast<size_t>(index)];
    String newName;
    if (!AskText(L"rename channel", name, newName)) {
        return;
    }
    history.Record(L"rename channel");
    name = newName;
    channelList->SetString(static_cast<unsigned>(index), wxString(ChannelEntryText(index, name)));
}

void Graph::UpdateTitle() {
    SetTitle(wxString(WindowTitle(application, build, commands.FileName())));
}

void Graph::Redraw() {
    UpdateIntroSize();
    cpuMeter->UpdateDisplay();
    {
        StatusTexts fields = StatusFields(synth, statusTiming.Get());
#if defined(KORVAX_WITH_DEVICES)
        if (native != nullptr) {
            fields[kStatusSong] =
                SongPositionText(native->IsLiveSongPlaying(), native->GetLiveSongPosition(),
                                 native->GetLiveSongLength(), static_cast<double>(synth.SampleRate()));
        }
#endif
        if (introCompile != 0) {
            fields[kStatusIntroSize] = IntroSizeStatusText(introMeasured, introSize);
        }
        fields[kStatusCpu] = cpuMeter->Meter().Text();
        // Field 0 belongs to the log pane.
        for (int i = 1; i < kStatusFields; ++i) {
            if (GetStatusBar()->GetStatusText(i) != wxString(fields[static_cast<size_t>(i)])) {
                SetStatusText(wxString(fields[static_cast<size_t>(i)]), i);
            }
        }
    }
    meters->UpdateDisplay();
    logPane->UpdateLogDisplay();
    CurrentView()->UpdateHighlights();
}

void Graph::UpdateIntroSize() {
    if (synth.CompileCount() != introCompile) {
        introCompile = synth.CompileCount();
        // The value bytes as an export would write them.
        synth.SettleEvents();
        synth.Patches().StoreParameterValues(synth.Memory());
        introMeter.Request(Korvax::MakeIntroTables(synth.Patches(), synth.LastProgram()));
        if (auto* state = dynamic_cast<SynthStateWindow*>(stateWindow.get())) {
            state->UpdateIntroSize();
        }
    }
    if (std::optional<Korvax::IntroSizeMeter::Result> result = introMeter.Take()) {
        introMeasured = true;
        introSize = result->size;
    }
}

// Song transport --------------------------------------------------------------

void Graph::SetNative(NativeManager* manager) {
    native = manager;
#if defined(KORVAX_WITH_DEVICES)
    if (native != nullptr) {
        cpuLoad = [manager] {
            const NativeManager::CallbackLoad load = manager->GetCallbackLoad();
            return std::pair<float, float>(load.current, load.peak);
        };
    } else {
        cpuLoad = nullptr;
    }
#endif
}

bool Graph::PlaySong() {
#if defined(KORVAX_WITH_DEVICES)
    if (native != nullptr) {
        return native->StartLiveSong();
    }
#endif
    BRL_LOG_WARNING(log, "the song plays only with the audio devices");
    return false;
}

void Graph::StopSong() {
#if defined(KORVAX_WITH_DEVICES)
    if (native != nullptr && native->IsLiveSongPlaying()) {
        native->StopLiveSong();
    }
#endif
}

bool Graph::SongPlaying() const {
#if defined(KORVAX_WITH_DEVICES)
    return native != nullptr && native->IsLiveSongPlaying();
#else
    return false;
#endif
}

void Graph::ToggleSong() {
    if (SongPlaying()) {
        StopSong();
    } else {
        PlaySong();
    }
}

// The selected node's help and parameters ------------------------------------

void Graph::UpdateControllerFields() {
    vergl::CEntity* focus = CurrentView()->Focus();
    const Korvax::PinRecord* record =
        focus != nullptr && focus->Type() == vergl::kTypePin ? Korvax::GetPinRecord(focus->AsPin()) : nullptr;
    const bool bound =
        record != nullptr && record->value && focus->AsPin()->Location() == vergl::kLocationInput;
    controllerName->Enable(bound);
    if (!bound) {
        controllerName->ChangeValue("");
        return;
    }
    controllerChannelSpin->SetValue(record->controllerChannel);
    controllerNumberSpin->SetValue(record->controllerNumber);
    controllerName->ChangeValue(
        wxString(synth.ControllerName(record->controllerChannel, record->controllerNumber)));
}

void Graph::RenameController() {
    vergl::CEntity* focus = CurrentView()->Focus();
    const Korvax::PinRecord* record =
        focus != nullptr && focus->Type() == vergl::kTypePin ? Korvax::GetPinRecord(focus->AsPin()) : nullptr;
    if (record == nullptr || !record->value) {
        return;
    }
    history.Record(L"rename controller");
    synth.SetControllerName(record->controllerChannel, record->controllerNumber,
                            controllerName->GetValue().ToStdWstring());
}

void Graph::UpdateHelp() {
    UpdateControllerFields();
    vergl::CEntity* focus = CurrentView()->Focus();
    const Korvax::NodeRecord* record = focus != nullptr && focus->Type() == vergl::kTypeNode
                                           ? Korvax::GetNodeRecord(focus->AsNode())
                                           : nullptr;
    bufferSpin->Enable(record != nullptr && record->buffer);
    if (record != nullptr && record->buffer) {
        bufferSpin->SetValue(record->number);
    }
    if (record == nullptr || !record->module) {
        helpText->Clear();
        return;
    }
    const Korvax::ModuleSpec& module = Korvax::FindModule(record->number);
    String text = FromUtf8(module.name) + L" (" + FromUtf8(module.category) + L")\n\ninputs:\n";
    for (int k = 0; k < Korvax::InputCount(module); ++k) {
        text += L"  " + FromUtf8(Korvax::InputPin(module, k)->name) + L"\n";
    }
    text += L"outputs:\n";
    for (int k = 0; k < Korvax::OutputCount(module); ++k) {
        text += L"  " + FromUtf8(Korvax::OutputPin(module, k)->name) + L"\n";
    }
    helpText->ChangeValue(wxString(text));
}

void Graph::UpdateParameters() {
    parameters->Freeze();
    parameterWidgets.clear();
    vergl::CEntity* focus = CurrentView()->Focus();
    vergl::CNode* node = focus != nullptr && focus->Type() == vergl::kTypeNode ? focus->AsNode() : nullptr;
    const Korvax::NodeRecord* record = Korvax::GetNodeRecord(node);
    if (record != nullptr && record->module) {
        size_t k = 0;
        for (vergl::CPin* pin : node->Inputs()) {
            const Korvax::PinRecord* pinRecord = Korvax::GetPinRecord(pin);
            if (pinRecord != nullptr && pinRecord->value && pin->HasNoLinks()) {
                const Korvax::PinKind kind =
                    Korvax::GetPreferredModulePinRange(record->number, static_cast<int>(k));
                auto widget = ControllerWidget::Create(parameters, synth, pinRecord->controllerChannel,
                                                       pinRecord->controllerNumber, kind);
                if (widget != nullptr) {
                    const Korvax::PinSpec* catalogued =
                        Korvax::InputPin(Korvax::FindModule(record->number), int(k));
                    widget->SetLabel(catalogued != nullptr ? FromUtf8(catalogued->name) : String());
                    // A value change starts with a click or a key in the control: the state
                    // before it is the step undo goes back to (a click that changes
                    // nothing only relabels that step).
                    for (const wxEventTypeTag<wxMouseEvent>& type : {wxEVT_LEFT_DOWN, wxEVT_MOUSEWHEEL}) {
                        widget->Control()->Bind(type, [this](wxMouseEvent& event) {
                            event.Skip();
                            history.Record(L"change value");
                        });
                    }
                    widget->Control()->Bind(wxEVT_KEY_DOWN, [this](wxKeyEvent& event) {
                        event.Skip();
                        history.Record(L"change value");
                    });
                    widget->beforeLearnChange = [this] { history.Record(L"midi learn"); };
                    parameters->GetSizer()->Add(widget->Label(), 0, wxALIGN_CENTER_VERTICAL);
                    parameters->GetSizer()->Add(widget->Control(), 1, wxEXPAND);
                    parameters->GetSizer()->Add(widget->ValueLabel(), 0, wxALIGN_CENTER_VERTICAL);
                    parameterWidgets.push_back(std::move(widget));
                }
            }
            ++k;
        }
    }
    parameters->FitInside();
    parameters->Layout();
    parameters->Thaw();
}

// Requests of the graph views ------------------------------------------------

void Graph::SelectionsChanged() {
    UpdateHelp();
    UpdateParameters();
    synth.Update();
}

void Graph::CompileIfAuto() {
    if (autoCompile.Get()) {
        synth.Compile();
    }
}

bool Graph::ConnectRequested(vergl::CPin* pinA, vergl::CPin* pinB) {
    if (pinA == nullptr || pinB == nullptr || pinA->Graph() == nullptr) {
        return false;
    }
    history.Record(L"link");
    if (!synth.CreateConnection(*pinA->Graph(), pinA, pinB)) {
        history.DropLastRecord();
        return false;
    }
    CompileIfAuto();
    return true;
}

bool Graph::DeleteLinkRequested(vergl::CLink* link) {
    if (link == nullptr) {
        return false;
    }
    // The input the link fed plays its controller again, from the default value.
    vergl::CPin* input = link->Pin1()->Location() == vergl::kLocationInput ? link->Pin1() : link->Pin2();
    const Korvax::PinRecord* pinRecord = Korvax::GetPinRecord(input);
    const Korvax::NodeRecord* nodeRecord = Korvax::GetNodeRecord(input->Node());
    history.Record(L"delete link");
    link->Graph()->DestroyLink(link);
    if (pinRecord != nullptr && pinRecord->value && nodeRecord != nullptr && nodeRecord->module) {
        const Korvax::PinSpec* catalogued =
            Korvax::InputPin(Korvax::FindModule(nodeRecord->number), static_cast<int>(input->Index()));
        if (catalogued != nullptr) {
            synth.SetControllerValue(pinRecord->controllerChannel, pinRecord->controllerNumber,
                                     Korvax::InitialParameterValue(*catalogued));
        }
    }
    CompileIfAuto();
    UpdateParameters();
    return true;
}

bool Graph::DeleteNodeRequested(vergl::CNode* node) {
    if (node == nullptr) {
        return false;
    }
    if (confirmDeleteNode.Get() && Ask(L"delete node?", false) != Answer::Yes) {
        return false;
    }
    history.Record(L"delete node");
    node->Graph()->DestroyNode(node);
    CompileIfAuto();
    return true;
}

void Graph::ContextRequested() {
    vergl::CEntity* focus = CurrentView()->Focus();
    if (focus == nullptr) {
        std::unique_ptr<wxMenu> menu(BuildModuleMenu());
        ShowPopup(*menu);
        return;
    }
    if (focus->Type() == vergl::kTypeNode || focus->Type() == vergl::kTypeLink) {
        wxMenu menu;
        menu.Append(kIdObjectDelete, "delete");
        ShowPopup(menu);
    }
}

wxMenu* Graph::BuildModuleMenu() {
    auto* menu = new wxMenu;
    auto* voice = new wxMenu;
    voice->Append(kIdVoiceParamsSource, "params source");
    voice->Append(kIdVoiceParamsSink, "params sink");
    menu->AppendSubMenu(voice, "voice")->Enable(CurrentPage() == kPageVoice);
    auto* buffer = new wxMenu;
    buffer->Append(kIdBufferLoad, "load");
    buffer->Append(kIdBufferStore, "store");
    menu->AppendSubMenu(buffer, "buffer");
    wxMenu* category = nullptr;
    std::string categoryName;
    for (const Korvax::ModuleSpec* module : Korvax::ModuleMenuOrder()) {
        if (category == nullptr || categoryName != module->category) {
            categoryName = module->category;
            category = new wxMenu;
            menu->AppendSubMenu(category, wxString::FromUTF8(module->category));
        }
        const int index = static_cast<int>(module - Korvax::kModuleTable);
        category->Append(kIdModuleFirst + index, wxString::FromUTF8(module->name));
    }
    return menu;
}

void Graph::ShowPopup(wxMenu& menu) {
    if (popupHook) {
        const int chosen = popupHook(menu);
        if (chosen != wxID_NONE) {
            wxCommandEvent event(wxEVT_MENU, chosen);
            event.SetEventObject(this);
            GetEventHandler()->ProcessEvent(event);
        }
        return;
    }
    PopupMenu(&menu);
}

void Graph::AddNode(const std::function<vergl::CNode*(vergl::CVergl&)>& create) {
    vergl::CUiWxw* view = CurrentView();
    vergl::CVergl* graph = view->Graph();
    if (graph == nullptr) {
        return;
    }
    history.Record(L"add node");
    vergl::CNode* node = create(*graph);
    if (node == nullptr) {
        history.DropLastRecord();
        return;
    }
    int32_t x = view->MouseX();
    int32_t y = view->MouseY();
    if (view->GetBehaviours().alignToGrid) {
        view->SnapToGrid(node, x, y);
    }
    node->SetPosition(x, y);
    view->SelectOnly(node);
    CompileIfAuto();
}

void Graph::OnModule(wxCommandEvent& event) {
    const int index = event.GetId() - kIdModuleFirst;
    if (index < 0 || index >= Korvax::kModuleCount) {
        return;
    }
    const int moduleId = Korvax::kModuleTable[index].id;
    const int channel = PageChannel();
    AddNode([this, moduleId, channel](vergl::CVergl& graph) {
        return synth.CreateNode(graph, moduleId, channel);
    });
}

void Graph::OnAddVoiceParamsOutput() {
    if (CurrentPage() == kPageMixPre || CurrentPage() == kPageMix) {
        BRL_LOG_WARNING(log, "Invalid in Songmode");
        return;
    }
    AddNode([this](vergl::CVergl& graph) { return synth.CreateNodeVoiceParamsOutput(graph); });
}

void Graph::OnAddVoiceParamsInput() {
    if (CurrentPage() == kPageMixPre || CurrentPage() == kPageMix) {
        BRL_LOG_WARNING(log, "Invalid in Songmode");
        return;
    }
    AddNode([this](vergl::CVergl& graph) { return synth.CreateNodeVoiceParamsInput(graph); });
}

void Graph::OnObjectDelete() {
    vergl::CEntity* focus = CurrentView()->Focus();
    if (focus == nullptr) {
        return;
    }
    if (focus->Type() == vergl::kTypeNode) {
        history.Record(L"delete node");
        focus->Graph()->DestroyNode(focus->AsNode());
        CompileIfAuto();
    } else if (focus->Type() == vergl::kTypeLink) {
        DeleteLinkRequested(focus->AsLink());
    }
}

void Graph::NodesMoved(const std::vector<vergl::NodeMove>& moves) {
    // The drag has moved the nodes already: the state before it is made again
    // for a moment so that undo can go back to it.
    for (const vergl::NodeMove& move : moves) {
        move.node->SetPosition(move.fromX, move.fromY);
    }
    history.Record(L"move");
    for (const vergl::NodeMove& move : moves) {
        move.node->SetPosition(move.toX, move.toY);
    }
}

// Undo, redo and the recent files ----------------------------------------------

void Graph::UndoOrRedo(bool undo) {
    DetachViews();
    const bool done = undo ? history.Undo(autoCompile.Get()) : history.Redo(autoCompile.Get());
    AttachViews();
    if (done) {
        RebuildChannelList();
        UpdateHelp();
        UpdateParameters();
    }
}

void Graph::OnUpdateUndo(wxUpdateUIEvent& event) {
    const bool undo = event.GetId() == kIdUndo;
    const String label = undo ? history.UndoLabel() : history.RedoLabel();
    event.Enable(undo ? history.CanUndo() : history.CanRedo());
    const wxString text =
        wxString(undo ? "&undo" : "&redo") + (label.empty() ? wxString() : " " + wxString(label));
    event.SetText(text + (undo ? "\tCtrl-Z" : "\tCtrl-Y"));
}

void Graph::RebuildRecentMenu() {
    while (recentMenu->GetMenuItemCount() > 0) {
        recentMenu->Destroy(recentMenu->FindItemByPosition(0));
    }
    const std::vector<String>& files = recentFiles.Files();
    for (size_t i = 0; i < files.size() && kIdRecentFirst + static_cast<int>(i) <= kIdRecentLast; ++i) {
        recentMenu->Append(kIdRecentFirst + static_cast<int>(i),
                           wxString(gui::RecentFiles::MenuLabel(i, files[i])), wxString(files[i]));
    }
    if (files.empty()) {
        recentMenu->Append(kIdRecentFirst, "(none)")->Enable(false);
    }
}

// Commands -------------------------------------------------------------------

void Graph::OnMenuFileSave() {
    if (!commands.Save()) {
        BRL_LOG_ERROR(log, "saving file failed");
    }
}

void Graph::OnMenuFileSaveAs() {
    if (!commands.SaveAs()) {
        BRL_LOG_ERROR(log, "saving file failed");
    }
}

void Graph::OnCut(bool remove) {
    vergl::CUiWxw* view = CurrentView();
    const std::vector<vergl::CNode*> nodes = view->SelectedNodes();
    if (nodes.empty()) {
        return;
    }
    const std::string text = Korvax::SynthFileIo(synth).SaveGraphToString(nodes, PageChannel());
    if (wxTheClipboard->Open()) {
        wxTheClipboard->SetData(new wxTextDataObject(wxString::FromUTF8(text)));
        wxTheClipboard->Close();
    }
    if (remove) {
        history.Record(L"cut");
        for (vergl::CNode* node : nodes) {
            node->Graph()->DestroyNode(node);
        }
        CompileIfAuto();
    }
}

void Graph::OnPaste() {
    vergl::CUiWxw* view = CurrentView();
    if (view->Graph() == nullptr || !wxTheClipboard->Open()) {
        return;
    }
    wxTextDataObject data;
    const bool hasText = wxTheClipboard->IsSupported(wxDF_UNICODETEXT) && wxTheClipboard->GetData(data);
    wxTheClipboard->Close();
    if (!hasText) {
        return;
    }
    std::vector<vergl::CNode*> inserted;
    const wxScopedCharBuffer text = data.GetText().utf8_str();
    history.Record(L"paste");
    if (!Korvax::SynthFileIo(synth).LoadGraphFromString(std::string_view(text.data(), text.length()),
                                                        *view->Graph(), PageChannel(), &inserted)) {
        history.DropLastRecord();
        return;
    }
    std::vector<vergl::CEntity*> selection;
    for (vergl::CNode* node : inserted) {
        selection.push_back(node);
        for (int location = 1; location <= vergl::kLocationCount; ++location) {
            for (vergl::CPin* pin : node->Pins(location)) {
                for (vergl::CLink* link : pin->Links()) {
                    if (location == vergl::kLocationOutput) {
                        selection.push_back(link);
                    }
                }
            }
        }
    }
    view->SetSelection(selection);
    CompileIfAuto();
}

void Graph::ShowToolWindow(int command) {
    wxWeakRef<wxFrame>* slot = command == kIdSchiebebank  ? &schiebebank
                               : command == kIdSynthState ? &stateWindow
                                                          : &debugWindow;
    if (slot->get() == nullptr) {
        if (command == kIdSchiebebank) {
            CreateSliderBank();
        } else if (command == kIdSynthState) {
            auto* state = new SynthStateWindow(this, synth, config);
            // It learns of later compiles from here; this one it measures now.
            if (synth.CompileCount() != 0) {
                state->UpdateIntroSize();
            }
            *slot = state;
        } else {
            *slot = new SynthDebugWindow(this, synth, config);
        }
    }
    (*slot)->Show();
    (*slot)->Raise();
}

void Graph::CreateSliderBankLater() {
    if (firstFramePainted) {
        CreateSliderBank();
    } else {
        sliderBankPending = true;
    }
}

void Graph::CreateSliderBank() {
    sliderBankPending = false;
    if (schiebebank.get() == nullptr) {
        auto* bank = new Schiebebank(this, synth, config);
        bank->SetBeforeLearnChange([this] { history.Record(L"midi learn"); });
        schiebebank = bank;
    }
}

void Graph::ShowSettings() {
#if defined(KORVAX_WITH_DEVICES)
    if (settingsWindow.get() == nullptr) {
        settingsWindow = new Settings(this, synth, config, application, logChannel);
    }
    settingsWindow->Show();
    settingsWindow->Raise();
#else
    BRL_LOG_WARNING(log, "the settings window is not built in this program");
    ShowError(L"The settings window is not built in this program.");
#endif
}

wxWindow* Graph::ToolWindow(int command) const {
    switch (command) {
    case kIdSchiebebank:
        return schiebebank.get();
    case kIdSynthState:
        return stateWindow.get();
    case kIdSynthDebug:
        return debugWindow.get();
    case kIdSettings:
        return settingsWindow.get();
    default:
        return nullptr;
    }
}

void Graph::OnCommand(wxCommandEvent& event) {
    const int id = event.GetId();
    if (id >= kIdRecentFirst && id <= kIdRecentLast) {
        commands.OpenRecent(static_cast<size_t>(id - kIdRecentFirst));
        return;
    }
    if (id >= kIdViewFirst && id <= kIdViewLast) {
        panes.GetPane(kViewPanes[static_cast<size_t>(id - kIdViewFirst)].name).Show();
        panes.Update();
        return;
    }
    switch (id) {
    case wxID_NEW:
        commands.New();
        break;
    case wxID_OPEN:
        commands.Open();
        break;
    case kIdReload:
        commands.Reload();
        break;
    case wxID_SAVE:
        OnMenuFileSave();
        break;
    case wxID_SAVEAS:
        OnMenuFileSaveAs();
        break;
    case wxID_EXIT:
        Close();
        break;
    case wxID_CUT:
        OnCut(true);
        break;
    case wxID_COPY:
        OnCut(false);
        break;
    case wxID_PASTE:
        OnPaste();
        break;
    case wxID_SELECTALL:
        CurrentView()->SelectAll();
        break;
    case kIdCompile:
        synth.Compile();
        break;
    case kIdUndo:
    case kIdRedo:
        UndoOrRedo(id == kIdUndo);
        break;
    case kIdLoadOgg:
        commands.LoadOgg();
        break;
    case kIdImportMidi:
        commands.ImportMidi();
        break;
    case kIdPanic:
        synth.SendAllSoundsOff(true);
        if (resetMeters) {
            resetMeters();
        }
        break;
    case kIdSchiebebank:
    case kIdSynthState:
    case kIdSynthDebug:
        ShowToolWindow(id);
        break;
    case kIdProfiler:
        BRL_LOG_WARNING(log, "the profiler window is not built yet");
        ShowError(L"The profiler window is not built yet.");
        break;
    case kIdSettings:
        ShowSettings();
        break;
    case kIdSongPlay:
        PlaySong();
        break;
    case kIdSongStop:
        StopSong();
        break;
    case kIdForceMidiProgramToggle:
        synth.SetForcedChannel(event.IsChecked() ? synth.GetCurrentProgram() : -1);
        break;
    case kIdVoiceParamsSource:
        OnAddVoiceParamsOutput();
        break;
    case kIdVoiceParamsSink:
        OnAddVoiceParamsInput();
        break;
    case kIdBufferLoad:
        AddNode([this](vergl::CVergl& graph) { return synth.CreateNodeBufferOutput(graph); });
        break;
    case kIdBufferStore:
        AddNode([this](vergl::CVergl& graph) { return synth.CreateNodeBufferInput(graph); });
        break;
    case kIdObjectDelete:
        OnObjectDelete();
        break;
    case wxID_ABOUT: {
        wxAboutDialogInfo about;
        about.SetName(wxString(application.applicationLongName));
        about.SetVersion(wxString(build));
        about.SetDescription("A modular software synthesizer and patch editor.");
        wxAboutBox(about, this);
        break;
    }
    default:
        event.Skip();
        break;
    }
}

void Graph::OnClose(wxCloseEvent& event) {
    if (!::brl::Gui::GuiSupport::QuitRequested() && !commands.MayClose(event.CanVeto()) && event.CanVeto()) {
        event.Veto();
        return;
    }
    SaveLayout();
    for (wxTimer* timer : {&exitPollTimer, &updateTimer, &redrawTimer, &autosaveTimer}) {
        timer->Stop();
    }
    Destroy();
}

// Keyboard -------------------------------------------------------------------

int Graph::FilterKey(wxKeyEvent& event) {
    const auto* window = wxDynamicCast(event.GetEventObject(), wxWindow);
    const auto raw = static_cast<uint32_t>(event.GetRawKeyFlags());
    if (event.GetEventType() == wxEVT_KEY_UP) {
        // Only keys whose press played are released here; a text field keeps the others.
        if (!heldKeys.Release(raw) || keyboard == nullptr) {
            return wxEventFilter::Event_Skip;
        }
        return keyboard->KeyUp(raw) ? wxEventFilter::Event_Processed : wxEventFilter::Event_Skip;
    }
    const bool space = raw == kRawSpace || event.GetKeyCode() == WXK_SPACE;
    const KeyRoute route =
        RouteKey(event.RawControlDown() || event.ControlDown(), event.AltDown(), IsTextField(window), space,
                 dynamic_cast<const vergl::CUiWxw*>(window) != nullptr);
    if (route == KeyRoute::Transport) {
        // Toggles on the first press only; the key goes no further (not to the
        // keyboard's MIDI input, nor to a button that has the focus).
        if (heldKeys.Press(raw)) {
            ToggleSong();
        }
        return wxEventFilter::Event_Processed;
    }
    if (route != KeyRoute::Keyboard || keyboard == nullptr) {
        return wxEventFilter::Event_Skip;
    }
    int offset = 0;
    const bool keyboardKey = Midi::KeyboardStream::NoteOffset(raw, offset) ||
                             (raw >= Midi::KeyboardStream::kKeyF1 && raw <= Midi::KeyboardStream::kKeyF9);
    if (!keyboardKey) {
        return wxEventFilter::Event_Skip;
    }
    if (!heldKeys.Press(raw)) {
        // The platform's auto-repeat of a held key.
        return wxEventFilter::Event_Processed;
    }
    return keyboard->KeyDown(raw) ? wxEventFilter::Event_Processed : wxEventFilter::Event_Skip;
}

void Graph::OnActivate(wxActivateEvent& event) {
    event.Skip();
    if (!event.GetActive()) {
        heldKeys.Clear();
        if (keyboard != nullptr) {
            keyboard->ReleaseAll();
        }
    }
}

// Prompts --------------------------------------------------------------------

Answer Graph::Ask(const String& question, bool withCancel) {
    if (promptHook != nullptr) {
        return promptHook->Ask(question, withCancel);
    }
    wxMessageDialog dialog(this, wxString(question), wxString(application.applicationLongName),
                           wxYES_NO | (withCancel ? wxCANCEL : 0) | wxICON_QUESTION);
    switch (dialog.ShowModal()) {
    case wxID_YES:
        return Answer::Yes;
    case wxID_NO:
        return Answer::No;
    default:
        return Answer::Cancel;
    }
}

bool Graph::ChooseFile(FileKind kind, const String& directory, String& path) {
    if (promptHook != nullptr) {
        return promptHook->ChooseFile(kind, directory, path);
    }
    const bool save = kind == FileKind::SavePatch;
    wxFileDialog dialog(this, save ? "save patch set" : "open", wxString(directory), wxString(),
                        wxString(FileFilter(kind)),
                        save ? (wxFD_SAVE | wxFD_OVERWRITE_PROMPT) : (wxFD_OPEN | wxFD_FILE_MUST_EXIST));
    if (dialog.ShowModal() != wxID_OK) {
        return false;
    }
    path = dialog.GetPath().ToStdWstring();
    return true;
}

bool Graph::AskText(const String& title, const String& value, String& result) {
    if (promptHook != nullptr) {
        return promptHook->AskText(title, value, result);
    }
    wxTextEntryDialog dialog(this, wxString(title), wxString(title), wxString(value));
    if (dialog.ShowModal() != wxID_OK) {
        return false;
    }
    result = dialog.GetValue().ToStdWstring();
    return true;
}

void Graph::ShowError(const String& text) {
    if (promptHook != nullptr) {
        promptHook->ShowError(text);
        return;
    }
    wxMessageBox(wxString(text), wxString(application.applicationLongName), wxOK | wxICON_ERROR, this);
}

} // namespace brl::Synth::Gui
