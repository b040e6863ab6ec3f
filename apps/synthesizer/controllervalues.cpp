#include "controllervalues.h"

#include "korvax/korvaxsynth.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>

namespace brl::Synth::Gui {

namespace {

using Korvax::PinKind;

String Format(const wchar_t* format, double value) {
    wchar_t text[64];
    std::swprintf(text, 64, format, value);
    return text;
}

int Steps(float value) noexcept {
    const float steps = value * 128.0f;
    if (!(steps > -1.0e9f && steps < 1.0e9f)) {
        return 0;
    }
    return static_cast<int>(steps);
}

} // namespace

int DiscreteKind(PinKind kind) noexcept {
    switch (kind) {
    case PinKind::DiscretOsc:
        return 1;
    case PinKind::DiscretDistortion:
        return 2;
    case PinKind::DiscretFilter:
        return 3;
    default:
        return 0;
    }
}

ControlKind ControlFor(PinKind kind) noexcept {
    return DiscreteKind(kind) != 0 ? ControlKind::ComboBox : ControlKind::Slider;
}

const std::vector<String>& ComboEntries(int discreteKind) {
    static const std::vector<String> kNone;
    static const std::vector<String> kOscillator = {
        L"sin", L"0.66*sin(x)+0.33*cos(2*x)", L"tri", L"saw", L"rect", L"noise"};
    static const std::vector<String> kDistortion = {
        L"old",  L"bitcrush",         L"offset fuckup", L"sin(x)",
        L"x**2", L"digital clipping", L"gate",          L"aliasing/resampling"};
    static const std::vector<String> kFilter = {L"lowpass", L"bandpass", L"highpass",
                                                L"notch",   L"allpass",  L"peak"};
    switch (discreteKind) {
    case 1:
        return kOscillator;
    case 2:
        return kDistortion;
    case 3:
        return kFilter;
    default:
        return kNone;
    }
}

int SliderPosition(float value) noexcept {
    return std::clamp(Steps(value), 0, 127);
}

float SliderValue(int position) noexcept {
    return static_cast<float>(std::clamp(position, 0, 127)) / 128.0f;
}

int ComboSelection(float value, int entryCount) noexcept {
    const int selection = std::clamp(Steps(value) / 16, 0, 7);
    return std::min(selection, std::max(entryCount - 1, 0));
}

float ComboValue(int index) noexcept {
    return static_cast<float>(std::clamp(index, 0, 7) * 16 + 8) / 128.0f;
}

bool ParseTextValue(const String& text, float& value) noexcept {
    const wchar_t* begin = text.c_str();
    wchar_t* end = nullptr;
    const double number = std::wcstod(begin, &end);
    if (end == begin) {
        return false;
    }
    while (*end == L' ' || *end == L'\t') {
        ++end;
    }
    if (*end != L'\0' || !std::isfinite(number)) {
        return false;
    }
    const bool fraction = text.find(L'.') != String::npos;
    const double result = fraction ? number : number / 128.0;
    if (result < 0.0 || result > 1.0) {
        return false;
    }
    value = static_cast<float>(result);
    return true;
}

String ValueText(PinKind kind, float v, const Korvax::Synthesizer& synth) {
    static const wchar_t* const kNoteNames[12] = {L"C-", L"C#", L"D-", L"D#", L"E-", L"F-",
                                                  L"F#", L"G-", L"G#", L"A-", L"A#", L"B-"};
    const float sr = synth.SampleRate();
    String reading;
    switch (kind) {
    case PinKind::Phase:
    case PinKind::Param:
    case PinKind::Sample:
        reading = L"[" + std::to_wstring(static_cast<int>(v * 128.0f - 64.0f)) + L"]";
        break;
    case PinKind::Amp:
        reading = Format(L"%.1f%%", (v * 2.0f - 1.0f) * 100.0f);
        break;
    case PinKind::Gain:
        reading = Format(L"%.1fdB", (v - 0.5f) * 64.0f);
        break;
    case PinKind::Gain0:
        reading = Format(L"%.1fdB", (v - 1.0f) * 32.0f);
        break;
    case PinKind::Freq:
        reading = Format(L"%.1fHz", synth.FilterFrequency(v) * (sr / 2.0f));
        break;
    case PinKind::FreqBand:
        reading = Format(L"%.1fHz", synth.BandFrequency(v) * (sr / 2.0f));
        break;
    case PinKind::FreqLfo:
        reading = Format(L"%.3fHz", synth.LfoFrequency(v) / (256.0f / sr));
        break;
    case PinKind::Time:
        reading = Format(L"%.1fms", static_cast<float>(synth.TimeToSamples(v)) * (999.99994f / sr));
        break;
    case PinKind::Note: {
        const int note = SliderPosition(v);
        reading = kNoteNames[note % 12] + std::to_wstring(note / 12);
        break;
    }
    default:
        reading = std::to_wstring(Steps(v));
        break;
    }
    return reading + Format(L" (%.4f)", v) + L" [" + std::to_wstring(Steps(v)) + L"]";
}

} // namespace brl::Synth::Gui
