#pragma once

#include "korvax/korvaxcatalogue.h"
#include "libbrelm/string.h"

#include <vector>

namespace brl::Korvax {
class Synthesizer;
}

// How a controller is shown and set, without a toolkit: which control a range
// kind gets, the combo box entries of the discrete kinds, the mapping between
// values 0..1 and control positions, and the value texts.
//
// Threads: any thread (pure functions).
namespace brl::Synth::Gui {

enum class ControlKind { Slider, ComboBox, TextBox };

// 1 oscillator shape, 2 distortion, 3 filter; 0 for every other kind.
int DiscreteKind(Korvax::PinKind kind) noexcept;
// A combo box for the three discrete kinds, a slider for every other kind.
ControlKind ControlFor(Korvax::PinKind kind) noexcept;
// The entries of a discrete kind's combo box (empty for kind 0).
const std::vector<String>& ComboEntries(int discreteKind);

// Slider positions 0..127: value * 128, truncated and clamped.
int SliderPosition(float value) noexcept;
float SliderValue(int position) noexcept;
// Combo selection: (value * 128) / 16, clamped to 0..7 and to the entries
// there are.
int ComboSelection(float value, int entryCount) noexcept;
// The value a chosen entry stores: the middle of its 16 steps, so that both
// the combo box and the runtime's type selector read it back as that entry.
float ComboValue(int index) noexcept;
// A value typed into a text box: a number 0..127 in steps (value * 128), or a
// fraction with a decimal point ("0.5"); false for anything else.
bool ParseTextValue(const String& text, float& value) noexcept;

// The value text of a range kind, for example "-6.0dB (0.4063) [52]": the
// reading in the kind's unit, the raw value with four decimals and the value
// in steps of 1/128. The frequency and time kinds use the synthesizer's curves
// and sample rate.
String ValueText(Korvax::PinKind kind, float value, const Korvax::Synthesizer& synth);

} // namespace brl::Synth::Gui
