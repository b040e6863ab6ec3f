#include "synthesizer/guimanager.h"

#include "libbrelm/config.h"
#include "synthesizer/guiwxwgraph.h"
#include "synthesizer/synthwxgui.h"

#include <wx/filesys.h>
#include <wx/fs_arc.h>
#include <wx/fs_inet.h>
#include <wx/fs_mem.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/intl.h>
#include <wx/msgdlg.h>

#include <atomic>
#include <stdexcept>

namespace brl::Gui {

namespace {

std::atomic<bool> quitRequested{false};
int toolkitStarts = 0;
// The command line the toolkit keeps pointers into while it runs.
std::string toolkitProgram;
char* toolkitArgv[2] = {nullptr, nullptr};

} // namespace

GuiSupport::GuiSupport() {
    if (auto* app = dynamic_cast<wxBrelmApp*>(wxApp::GetInstance())) {
        app->SetSupport(this);
    }
}

GuiSupport::~GuiSupport() {
    if (auto* app = dynamic_cast<wxBrelmApp*>(wxApp::GetInstance())) {
        app->SetSupport(nullptr);
    }
}

bool GuiSupport::StartToolkit(const std::string& programPath) {
    if (toolkitStarts++ > 0) {
        return true;
    }
    toolkitProgram = programPath;
    toolkitArgv[0] = toolkitProgram.data();
    int argc = 1;
    wxApp::SetInstance(new wxBrelmApp);
    if (!wxEntryStart(argc, toolkitArgv)) {
        --toolkitStarts;
        return false;
    }
    return true;
}

void GuiSupport::StopToolkit() {
    if (toolkitStarts > 0 && --toolkitStarts == 0) {
        wxEntryCleanup();
    }
}

int GuiSupport::Run() {
    if (wxTheApp == nullptr || !wxTheApp->CallOnInit()) {
        return 1;
    }
    int result = 0;
    try {
        result = wxTheApp->OnRun();
    } catch (...) {
        // Failures that ended the loop were reported by OnUnhandledException.
        result = 1;
    }
    wxTheApp->OnExit();
    return result;
}

void GuiSupport::RequestQuit() noexcept {
    quitRequested.store(true);
}

bool GuiSupport::QuitRequested() noexcept {
    return quitRequested.load();
}

String DescribeException(std::exception_ptr exception) {
    try {
        if (exception) {
            std::rethrow_exception(exception);
        }
    } catch (const std::exception& e) {
        return L"exception in a GUI callback: " + FromUtf8(e.what());
    } catch (...) {
        return L"exception of unknown type in a GUI callback";
    }
    return L"no exception";
}

} // namespace brl::Gui

bool wxBrelmApp::OnInit() {
    locale = std::make_unique<wxLocale>(wxLANGUAGE_DEFAULT, wxLOCALE_LOAD_DEFAULT);
    wxFileSystem::AddHandler(new wxInternetFSHandler);
    wxFileSystem::AddHandler(new wxArchiveFSHandler);
    wxFileSystem::AddHandler(new wxMemoryFSHandler);
    wxInitAllImageHandlers();
    if (support != nullptr) {
        const brl::ApplicationInfo& identity = support->Identity();
        SetAppName(wxString(identity.applicationLongName));
        SetVendorName(wxString(identity.vendorLongName));
        support->CreateGui();
    }
    return true;
}

int wxBrelmApp::OnExit() {
    if (support != nullptr) {
        support->DestroyGui();
    }
    locale.reset();
    return wxApp::OnExit();
}

bool wxBrelmApp::OnExceptionInMainLoop() {
    const brl::String text = brl::Gui::DescribeException(std::current_exception());
    if (support != nullptr) {
        BRL_LOG_CRITICAL(support->Log(), text);
    }
    wxMessageBox(wxString(text) + "\n\nThe editor goes on; save your work.", "korvax", wxOK | wxICON_ERROR);
    return true;
}

void wxBrelmApp::OnUnhandledException() {
    if (support != nullptr) {
        BRL_LOG_CRITICAL(support->Log(), brl::Gui::DescribeException(std::current_exception()));
    }
}

namespace brl::Synth::Gui {

GuiManager::GuiManager(App& application, Korvax::Manager& synth, NativeManager* device)
    : app(application), manager(synth), native(device) {}

GuiManager::~GuiManager() {
    root.reset();
}

bool GuiManager::LoadInitial(const String& path) {
    initialFile = path;
    initialLoaded = manager.LoadState(path);
    if (!initialLoaded) {
        manager.ClearState();
    }
    return initialLoaded;
}

void GuiManager::CreateGui() {
    root = std::make_unique<SynthWxGui>(manager, native, app.ConfigFrontend(), app.Info(), app.Build(),
                                        &app.LogRoot(), app.LogBuffer());
    if (!initialFile.empty()) {
        root->MainWindow()->AdoptInitialLoad(initialFile, initialLoaded);
    }
}

void GuiManager::DestroyGui() {
    root.reset();
}

const ApplicationInfo& GuiManager::Identity() const {
    return app.Info();
}

Logging::Logger& GuiManager::Log() {
    return app.Log();
}

} // namespace brl::Synth::Gui
