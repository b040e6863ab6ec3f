#pragma once

#include "libbrelm/app.h"

#include <optional>
#include <string>

// The device commands of korvax-tool (built with the device backends only).
namespace brl::Korvax {

// Exit codes shared with the other commands.
inline constexpr int kToolOk = 0;
inline constexpr int kToolFailed = 1;  // the command ran and failed (a device that does not open)
inline constexpr int kToolNoInput = 2; // a patch that cannot be loaded; a command that is not built

// Plays PATCH live: the audio device of "Audio/Device/API" and "Audio/Device/ID"
// (device 0 when empty) at "Audio/SamplingRate" and "Audio/Latency", every MIDI
// input of the configured backends, and the patch's song when it has one. Ends
// on Ctrl-C (or SIGTERM), after `seconds` of audio, or at the end of the song
// and its tail. A status line on a terminal; messages on standard error.
int PlayCommand(StandaloneApp& app, const std::string& patch, std::optional<double> seconds);

// Lists the audio devices with their settings values and caps, and the MIDI
// inputs and outputs of the configured backends, on standard output.
int DevicesCommand(StandaloneApp& app);

} // namespace brl::Korvax
