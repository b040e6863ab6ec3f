#pragma once

#include "libbrelm/config.h"
#include "libbrelm/string.h"

#include <vector>

// Where a top-level window was: kept in the settings N/Left, N/Top, N/Width,
// N/Height and N/Maximized for a window named N, and brought back onto the
// visible screen when the stored place is no longer there.
//
// Threads: the GUI thread.
namespace brl::gui {

struct ScreenRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    int Right() const { return left + width; }
    int Bottom() const { return top + height; }
    friend bool operator==(const ScreenRect& a, const ScreenRect& b) {
        return a.left == b.left && a.top == b.top && a.width == b.width && a.height == b.height;
    }
};

struct WindowPlacement {
    ScreenRect rect;
    bool maximized = false;

    friend bool operator==(const WindowPlacement& a, const WindowPlacement& b) {
        return a.rect == b.rect && a.maximized == b.maximized;
    }
};

// The stored placement of window `name`; each missing setting is taken from
// `current` (the window's placement now).
WindowPlacement ReadPlacement(Config::Frontend& config, const String& name, const WindowPlacement& current);
// Stores all five settings; false if one could not be written.
bool WritePlacement(Config::Frontend& config, const String& name, const WindowPlacement& placement);

// A placement that can be seen and grabbed: kept as it is when a strip of its
// title bar (the top 24 pixels, at least 48 pixels wide) lies on one of the
// displays; otherwise moved onto the display it overlaps most (the first one
// when it overlaps none), shrunk to that display where it is larger, and no
// smaller than 120 x 80. With no displays it is returned unchanged.
WindowPlacement FitToScreens(const WindowPlacement& placement, const std::vector<ScreenRect>& displays);

} // namespace brl::gui
