#include "gui_test_support.h"

#include "support/temp_dir.h"
#include "support/xvfb_display.h"

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/init.h>
#include <wx/utils.h>

#include <cstdlib>
#include <memory>
#include <thread>

namespace guitest {

void Pump(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    do {
        wxTheApp->Yield(true);
        wxTheApp->ProcessIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < end);
}

bool PumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        Pump(std::chrono::milliseconds(10));
    }
    return true;
}

void DestroyNow(wxWindow* window) {
    window->Destroy();
    // Pending deletions happen at idle time.
    for (int i = 0; i < 100 && wxPendingDelete.Member(window); ++i) {
        wxTheApp->ProcessIdle();
    }
    EXPECT_FALSE(wxPendingDelete.Member(window)) << "the window was not destroyed";
}

wxImage Grab(wxWindow* window) {
    Pump(std::chrono::milliseconds(50));
    brl::testing::TempDir dir;
    const std::string file = dir.File("screen.png");
    const std::string command = "import -display '" + std::string(std::getenv("DISPLAY")) +
                                "' -window root 'png:" + file + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) {
        ADD_FAILURE() << "could not read the screen with ImageMagick's import";
        return wxImage();
    }
    wxImage screen;
    if (!screen.LoadFile(file, wxBITMAP_TYPE_PNG)) {
        ADD_FAILURE() << "unreadable screen picture";
        return wxImage();
    }
    // A frame with its status bar; any other window by its client area.
    const wxRect shown = window->IsTopLevel()
                             ? window->GetScreenRect()
                             : wxRect(window->ClientToScreen(wxPoint(0, 0)), window->GetClientSize());
    const wxRect area = shown.Intersect(wxRect(screen.GetSize()));
    return screen.GetSubImage(area);
}

std::string SaveScreenshot(wxWindow* window, const std::string& name) {
    const char* dir = std::getenv("KORVAX_SCREENSHOT_DIR");
    if (dir == nullptr || *dir == '\0') {
        return std::string();
    }
    const wxImage picture = Grab(window);
    const std::string path = std::string(dir) + "/" + name;
    EXPECT_TRUE(picture.IsOk() && picture.SaveFile(path, wxBITMAP_TYPE_PNG)) << path;
    return path;
}

} // namespace guitest

// The window tests run on a private X server with one toolkit application.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) {
        return RUN_ALL_TESTS();
    }
    brl::testing::XvfbDisplay display(1600, 1200);
    if (!display.Running()) {
        std::fprintf(stderr, "no private X server for the window tests: %s\n", display.Error().c_str());
        return 1;
    }
    wxApp::SetInstance(new wxApp());
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "the toolkit did not start on display %s\n", std::getenv("DISPLAY"));
        return 1;
    }
    wxInitAllImageHandlers();
    const int result = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
