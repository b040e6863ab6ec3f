#include "gui/windowplacement.h"

#include <algorithm>

namespace brl::gui {

namespace {

constexpr int kTitleStrip = 24;
constexpr int kGrabWidth = 48;
constexpr int kMinWidth = 120;
constexpr int kMinHeight = 80;

ScreenRect Intersect(const ScreenRect& a, const ScreenRect& b) {
    const int left = std::max(a.left, b.left);
    const int top = std::max(a.top, b.top);
    const int right = std::min(a.Right(), b.Right());
    const int bottom = std::min(a.Bottom(), b.Bottom());
    if (right <= left || bottom <= top) {
        return ScreenRect{};
    }
    return ScreenRect{left, top, right - left, bottom - top};
}

long long Area(const ScreenRect& r) {
    return static_cast<long long>(r.width) * r.height;
}

} // namespace

WindowPlacement ReadPlacement(Config::Frontend& config, const String& name, const WindowPlacement& current) {
    WindowPlacement placement;
    placement.rect.left = Config::Setting<int>(config, name + L"/Left", current.rect.left).Get();
    placement.rect.top = Config::Setting<int>(config, name + L"/Top", current.rect.top).Get();
    placement.rect.width = Config::Setting<int>(config, name + L"/Width", current.rect.width).Get();
    placement.rect.height = Config::Setting<int>(config, name + L"/Height", current.rect.height).Get();
    placement.maximized = Config::Setting<bool>(config, name + L"/Maximized", current.maximized).Get();
    return placement;
}

bool WritePlacement(Config::Frontend& config, const String& name, const WindowPlacement& placement) {
    const WindowPlacement& p = placement;
    bool ok = Config::Setting<int>(config, name + L"/Left", p.rect.left).Set(p.rect.left);
    ok = Config::Setting<int>(config, name + L"/Top", p.rect.top).Set(p.rect.top) && ok;
    ok = Config::Setting<int>(config, name + L"/Width", p.rect.width).Set(p.rect.width) && ok;
    ok = Config::Setting<int>(config, name + L"/Height", p.rect.height).Set(p.rect.height) && ok;
    ok = Config::Setting<bool>(config, name + L"/Maximized", p.maximized).Set(p.maximized) && ok;
    return ok;
}

WindowPlacement FitToScreens(const WindowPlacement& placement, const std::vector<ScreenRect>& displays) {
    if (displays.empty()) {
        return placement;
    }
    WindowPlacement fitted = placement;
    ScreenRect& r = fitted.rect;
    r.width = std::max(r.width, kMinWidth);
    r.height = std::max(r.height, kMinHeight);

    const ScreenRect title{r.left, r.top, r.width, kTitleStrip};
    for (const ScreenRect& display : displays) {
        const ScreenRect seen = Intersect(title, display);
        if (seen.width >= std::min(kGrabWidth, r.width) && seen.height >= kTitleStrip / 2) {
            return fitted;
        }
    }

    const ScreenRect* target = &displays.front();
    long long best = 0;
    for (const ScreenRect& display : displays) {
        const long long overlap = Area(Intersect(r, display));
        if (overlap > best) {
            best = overlap;
            target = &display;
        }
    }
    r.width = std::min(r.width, std::max(target->width, 1));
    r.height = std::min(r.height, std::max(target->height, 1));
    r.left = std::clamp(r.left, target->left, target->Right() - r.width);
    r.top = std::clamp(r.top, target->top, target->Bottom() - r.height);
    return fitted;
}

} // namespace brl::gui
