#pragma once

#include <wx/image.h>
#include <wx/window.h>

#include <chrono>
#include <functional>
#include <string>

namespace guitest {

// Runs the toolkit's event loop for a while.
void Pump(std::chrono::milliseconds duration);
// Runs the event loop until the condition holds; false after the timeout.
bool PumpUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
// What the screen shows of a window (a frame whole, any other window by its
// client area), read back from the X server.
wxImage Grab(wxWindow* window);
// Saves a window's picture as <KORVAX_SCREENSHOT_DIR>/<name> when that
// variable is set; returns the path written, or empty.
std::string SaveScreenshot(wxWindow* window, const std::string& name);

} // namespace guitest
