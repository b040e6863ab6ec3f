#include "korvax/korvaxcatalogue.h"

#include <algorithm>
#include <cstring>

namespace brl::Korvax {

namespace {

constexpr PinDataType kValue = PinDataType::Value;
constexpr PinDataType kBuffer = PinDataType::Buffer;
constexpr PinDirection kIn = PinDirection::Input;
constexpr PinDirection kOut = PinDirection::Output;

} // namespace

// Defined constexpr so that the pin counts below are computed while compiling:
// a program that needs only the counts (the intro player) carries no table.
constexpr ModuleSpec kModuleTable[kModuleCount + 1] = {
    {27,
     "Phase calculator",
     "tools",
     "phase",
     {{"output phase", "out", kBuffer, 5, kOut, PinKind::Phase, 255},
      {"frequency", "f", kBuffer, 5, kIn, PinKind::Freq, 64},
      {"pulse width", "pw", kValue, 5, kIn, PinKind::Param, 0}}},
    {31,
     "Phase calc (hard synced)",
     "tools",
     "syncphase",
     {{"output phase", "out", kBuffer, 5, kOut, PinKind::Phase, 255},
      {"reference phase", "p", kBuffer, 5, kIn, PinKind::Phase, 0},
      {"frequency", "f", kBuffer, 5, kIn, PinKind::Freq, 64}}},
    {1,
     "Oscillator",
     "generators",
     "osc",
     {{"output buffer", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"phase", "p", kBuffer, 5, kIn, PinKind::Phase, 0},
      {"amplification", "amp", kValue, 5, kIn, PinKind::Amp, 127},
      {"type", "type", kValue, 5, kIn, PinKind::DiscretOsc, 0}}},
    {6,
     "Low frequency oscillator",
     "generators",
     "lfo",
     {{"output", "out", kValue, 5, kOut, PinKind::Sample, 255},
      {"frequency", "f", kValue, 5, kIn, PinKind::FreqLfo, 64},
      {"pulse width", "pw", kValue, 5, kIn, PinKind::Param, 0},
      {"amplification", "amp", kValue, 5, kIn, PinKind::Amp, 127},
      {"type", "type", kValue, 5, kIn, PinKind::DiscretOsc, 0},
      {"reset", "rset", kValue, 9, kIn, PinKind::Flag, 0}}},
    {13,
     "Map note",
     "tools",
     "mapnote",
     {{"output frequency", "out", kValue, 5, kOut, PinKind::Freq, 255},
      {"note", "note", kValue, 5, kIn, PinKind::Note, 0}}},
    {43,
     "Map note (highres)",
     "tools",
     "mapnote_highres",
     {{"output frequency", "out", kBuffer, 5, kOut, PinKind::Freq, 255},
      {"note", "note", kBuffer, 5, kIn, PinKind::Note, 0}}},
    {24,
     "Map note (advanced)",
     "tools",
     "mapnote2",
     {{"output frequency", "out", kValue, 5, kOut, PinKind::Freq, 255},
      {"note", "note", kValue, 5, kIn, PinKind::Note, 0},
      {"tuning", "tune", kValue, 5, kIn, PinKind::DiscretUnspec, 0},
      {"master", "master", kValue, 5, kIn, PinKind::Freq, 64},
      {"basenote", "base", kValue, 5, kIn, PinKind::DiscretUnspec, 64}}},
    {28,
     "Transpose",
     "tools",
     "transpose",
     {{"output", "out", kValue, 5, kOut, PinKind::Note, 255},
      {"input", "note", kValue, 5, kIn, PinKind::Note, 0},
      {"halftones", "half", kValue, 5, kIn, PinKind::Param, 64},
      {"detune", "detu", kValue, 8, kIn, PinKind::Param, 64}}},
    {29,
     "Scale down",
     "tools",
     "scaledown",
     {{"output", "out", kValue, 5, kOut, PinKind::Sample, 255},
      {"input", "in", kValue, 5, kIn, PinKind::Param, 0}}},
    {30,
     "Scale up",
     "tools",
     "scaleup",
     {{"output", "out", kValue, 5, kOut, PinKind::Param, 255},
      {"input", "in", kValue, 5, kIn, PinKind::Sample, 0}}},
    {14,
     "Modulate",
     "tools",
     "modulate",
     {{"output", "out", kValue, 5, kOut, PinKind::Sample, 255},
      {"target", "trgt", kValue, 5, kIn, PinKind::Sample, 0},
      {"source", "src", kValue, 5, kIn, PinKind::Sample, 0},
      {"amount", "amnt", kValue, 5, kIn, PinKind::Param, 0}}},
    {25,
     "Sample and hold",
     "tools",
     "sh",
     {{"destination", "out", kValue, 5, kOut, PinKind::Sample, 255},
      {"clock", "clk", kValue, 5, kIn, PinKind::Sample, 0},
      {"source", "src", kValue, 5, kIn, PinKind::Sample, 0}}},
    {5,
     "Envelope",
     "generators",
     "envelope",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"attack ms", "a", kValue, 5, kIn, PinKind::Time, 64},
      {"decay ms", "d", kValue, 5, kIn, PinKind::Time, 64},
      {"sustain ms", "s", kValue, 5, kIn, PinKind::Time, 64},
      {"start volume", "0v", kValue, 5, kIn, PinKind::Amp, 0},
      {"attack volume", "av", kValue, 5, kIn, PinKind::Amp, 127},
      {"decay volume", "dv", kValue, 5, kIn, PinKind::Amp, 64},
      {"sustain volume", "sv", kValue, 5, kIn, PinKind::Amp, 32},
      {"reset", "rset", kValue, 9, kIn, PinKind::Flag, 0},
      {"done", "done", kValue, 9, kOut, PinKind::Flag, 0}}},
    {26,
     "Exponential Envelope",
     "generators",
     "expenv",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"attack ms", "a", kValue, 5, kIn, PinKind::Time, 64},
      {"decay ms", "d", kValue, 5, kIn, PinKind::Time, 64},
      {"sustain ms", "s", kValue, 5, kIn, PinKind::Time, 64},
      {"attack exponent", "expa", kValue, 5, kIn, PinKind::Param, 64},
      {"decay exponent", "expd", kValue, 5, kIn, PinKind::Param, 64},
      {"sustain exponent", "exps", kValue, 5, kIn, PinKind::Param, 64},
      {"start volume", "0v", kValue, 5, kIn, PinKind::Amp, 0},
      {"attack volume", "av", kValue, 5, kIn, PinKind::Amp, 127},
      {"decay volume", "dv", kValue, 5, kIn, PinKind::Amp, 64},
      {"sustain volume", "sv", kValue, 5, kIn, PinKind::Amp, 32},
      {"reset", "rset", kValue, 9, kIn, PinKind::Flag, 0},
      {"done", "done", kValue, 9, kOut, PinKind::Flag, 0}}},
    {22,
     "Compressor",
     "effects",
     "compressor",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"input", "in", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"level", "levl", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"input gain", "ingn", kValue, 5, kIn, PinKind::Gain, 64},
      {"threshold", "thrs", kValue, 5, kIn, PinKind::Gain, 0},
      {"attack", "a", kValue, 5, kIn, PinKind::Time, 64},
      {"decay", "d", kValue, 5, kIn, PinKind::Time, 64},
      {"ratio", "rati", kValue, 5, kIn, PinKind::Param, 0},
      {"gain", "gain", kValue, 5, kIn, PinKind::Gain, 64}}},
    {23,
     "Release",
     "generators",
     "release",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"trig", "fini", kValue, 5, kOut, PinKind::Flag, 255},
      {"release", "r", kValue, 5, kIn, PinKind::Time, 64},
      {"flag", "trig", kValue, 5, kIn, PinKind::Flag, 0}}},
    {2,
     "Distortion",
     "effects",
     "dist",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"input", "in", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"inout gain", "gain", kValue, 5, kIn, PinKind::Gain, 64},
      {"amount", "amnt", kValue, 5, kIn, PinKind::Param, 0},
      {"drive", "drv", kValue, 10, kIn, PinKind::Gain, 64},
      {"type", "type", kValue, 5, kIn, PinKind::DiscretDistortion, 0}}},
    {12,
     "Delay",
     "effects",
     "delay",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"input", "in", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"length ms", "l", kValue, 5, kIn, PinKind::Time, 64},
      {"amount", "amnt", kValue, 5, kIn, PinKind::Param, 64},
      {"feedback", "feed", kValue, 5, kIn, PinKind::Param, 64},
      {"dry-wet", "wet", kValue, 17, kIn, PinKind::Param, 127}}},
    {4,
     "Chorus",
     "effects",
     "chorus",
     {{"out left", "outl", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"out right", "outr", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"source", "src", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"in lfo1", "lfo1", kValue, 5, kIn, PinKind::Sample, 0},
      {"in lfo2", "lfo2", kValue, 5, kIn, PinKind::Sample, 0},
      {"in lfo3", "lfo3", kValue, 5, kIn, PinKind::Sample, 0},
      {"in lfo4", "lfo4", kValue, 5, kIn, PinKind::Sample, 0},
      {"spread", "sprd", kValue, 5, kIn, PinKind::Param, 64},
      {"delay ms", "l", kValue, 5, kIn, PinKind::Time, 64},
      {"depth ms", "dpth", kValue, 5, kIn, PinKind::Time, 32},
      {"wet", "wet", kValue, 5, kIn, PinKind::Param, 64}}},
    {8,
     "Add",
     "tools",
     "add",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"source 1", "src1", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"source 2", "src2", kBuffer, 5, kIn, PinKind::Sample, 0}}},
    {18,
     "Bias",
     "tools",
     "bias",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"source", "src", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"amount", "amnt", kValue, 5, kIn, PinKind::Amp, 0}}},
    {9,
     "Multiply",
     "tools",
     "mul",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"source 1", "src1", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"source 2", "src2", kBuffer, 5, kIn, PinKind::Sample, 0}}},
    {7,
     "Amplify",
     "tools",
     "amp",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 0},
      {"source", "src", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"amount", "amp", kValue, 5, kIn, PinKind::Amp, 127}}},
    {15,
     "Gain",
     "tools",
     "gain",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 0},
      {"source", "src", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"gain (dB)", "db", kValue, 5, kIn, PinKind::Gain, 64}}},
    {16,
     "Balance",
     "tools",
     "balance",
     {{"output 1", "out1", kValue, 5, kOut, PinKind::Amp, 255},
      {"output 2", "out2", kValue, 5, kOut, PinKind::Amp, 255},
      {"panning", "pan", kValue, 5, kIn, PinKind::Param, 64}}},
    {17,
     "Panning",
     "tools",
     "pan",
     {{"output left", "outl", kValue, 5, kOut, PinKind::Amp, 255},
      {"output right", "outr", kValue, 5, kOut, PinKind::Amp, 255},
      {"panning", "pan", kValue, 5, kIn, PinKind::Param, 64}}},
    {10,
     "Set",
     "tools",
     "set",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"value", "val", kValue, 5, kIn, PinKind::Sample, 0}}},
    {11,
     "Highres",
     "tools",
     "highres",
     {{"output", "out", kValue, 5, kOut, PinKind::Param, 255},
      {"high", "high", kValue, 5, kIn, PinKind::Param, 64},
      {"low", "low", kValue, 5, kIn, PinKind::Param, 0}}},
    {3,
     "Filter Moog",
     "filters",
     "fmoog",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"input", "in", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"frequency", "f", kValue, 5, kIn, PinKind::Param, 64},
      {"resonance", "r", kValue, 5, kIn, PinKind::Param, 64},
      {"type", "type", kValue, 5, kIn, PinKind::DiscretFilter, 0}}},
    {21,
     "Filter Karlsen",
     "filters",
     "fkarlsen",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"input", "in", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"frequency", "f", kValue, 5, kIn, PinKind::Param, 64},
      {"resonance", "r", kValue, 5, kIn, PinKind::Param, 64},
      {"type", "type", kValue, 5, kIn, PinKind::DiscretFilter, 0}}},
    {20,
     "Filter State Variable",
     "filters",
     "fsv",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"input", "in", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"frequency", "f", kValue, 5, kIn, PinKind::Param, 64},
      {"resonance", "r", kValue, 5, kIn, PinKind::Param, 64},
      {"type", "type", kValue, 5, kIn, PinKind::DiscretFilter, 0}}},
    {19,
     "Filter Double",
     "filters",
     "fdouble",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"input", "in", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"distortion", "dist", kValue, 5, kIn, PinKind::Param, 64},
      {"frequency", "f", kValue, 5, kIn, PinKind::Param, 64},
      {"resonance", "r", kValue, 5, kIn, PinKind::Param, 64},
      {"type", "type", kValue, 5, kIn, PinKind::DiscretFilter, 0}}},
    {32,
     "Copy Buffer",
     "tools",
     "copy",
     {{"output1", "out1", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"output2", "out2", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"input", "in", kBuffer, 5, kIn, PinKind::Sample, 0}}},
    {33,
     "Bandsplit 4",
     "tools",
     "bandsplit4",
     {{"input", "in", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"output1", "out1", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"output2", "out2", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"output3", "out3", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"output4", "out4", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"freq1", "freq1", kValue, 5, kIn, PinKind::FreqBand, 32},
      {"freq2", "freq2", kValue, 5, kIn, PinKind::FreqBand, 64},
      {"freq3", "freq3", kValue, 5, kIn, PinKind::FreqBand, 96}}},
    {34,
     "Bandsplit 8",
     "tools",
     "bandsplit8",
     {{"input", "in", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"output1", "out1", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"output2", "out2", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"output3", "out3", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"output4", "out4", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"output5", "out5", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"output6", "out6", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"output7", "out7", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"output8", "out8", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"freq1", "freq1", kValue, 5, kIn, PinKind::FreqBand, 16},
      {"freq2", "freq2", kValue, 5, kIn, PinKind::FreqBand, 32},
      {"freq3", "freq3", kValue, 5, kIn, PinKind::FreqBand, 48},
      {"freq4", "freq4", kValue, 5, kIn, PinKind::FreqBand, 64},
      {"freq5", "freq5", kValue, 5, kIn, PinKind::FreqBand, 80},
      {"freq6", "freq6", kValue, 5, kIn, PinKind::FreqBand, 96},
      {"freq7", "freq7", kValue, 5, kIn, PinKind::FreqBand, 112}}},
    {35,
     "Mix 4",
     "tools",
     "mix4",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"input1", "in1", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"input2", "in2", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"input3", "in3", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"input4", "in4", kBuffer, 5, kIn, PinKind::Sample, 0}}},
    {36,
     "Mix 8",
     "tools",
     "mix8",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"input1", "in1", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"input2", "in2", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"input3", "in3", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"input4", "in4", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"input5", "in5", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"input6", "in6", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"input7", "in7", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"input8", "in8", kBuffer, 5, kIn, PinKind::Sample, 0}}},
    {37,
     "RMS Detect",
     "effects",
     "rms",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"input", "in", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"length ms", "l", kValue, 5, kIn, PinKind::Time, 64}}},
    {38,
     "Peak Detect",
     "effects",
     "peak",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"input", "in", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"length ms", "l", kValue, 5, kIn, PinKind::Time, 64}}},
    {39,
     "M/S split",
     "tools",
     "midside",
     {{"mid", "m", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"side", "s", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"left", "l", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"right", "r", kBuffer, 5, kIn, PinKind::Sample, 0}}},
    {40,
     "Debug Output",
     "i/o",
     "debug",
     {{"buffer0", "buf0", kBuffer, 11, kIn, PinKind::Sample, 0},
      {"buffer1", "buf1", kBuffer, 11, kIn, PinKind::Sample, 0},
      {"buffer2", "buf2", kBuffer, 11, kIn, PinKind::Sample, 0},
      {"buffer3", "buf3", kBuffer, 11, kIn, PinKind::Sample, 0},
      {"buffer4", "buf4", kBuffer, 11, kIn, PinKind::Sample, 0},
      {"buffer5", "buf5", kBuffer, 11, kIn, PinKind::Sample, 0},
      {"buffer6", "buf6", kBuffer, 11, kIn, PinKind::Sample, 0},
      {"buffer7", "buf7", kBuffer, 11, kIn, PinKind::Sample, 0}}},
    {41,
     "Input Streams",
     "i/o",
     "input",
     {{"buffer0", "buf0", kBuffer, 11, kOut, PinKind::Sample, 255},
      {"buffer1", "buf1", kBuffer, 11, kOut, PinKind::Sample, 255},
      {"buffer2", "buf2", kBuffer, 11, kOut, PinKind::Sample, 255},
      {"buffer3", "buf3", kBuffer, 11, kOut, PinKind::Sample, 255},
      {"buffer4", "buf4", kBuffer, 11, kOut, PinKind::Sample, 255},
      {"buffer5", "buf5", kBuffer, 11, kOut, PinKind::Sample, 255},
      {"buffer6", "buf6", kBuffer, 11, kOut, PinKind::Sample, 255},
      {"buffer7", "buf7", kBuffer, 11, kOut, PinKind::Sample, 255}}},
    {42,
     "Output",
     "i/o",
     "out",
     {{"left", "l", kBuffer, 11, kIn, PinKind::Sample, 0},
      {"right", "r", kBuffer, 11, kIn, PinKind::Sample, 0}}},
    {44,
     "Invert",
     "tools",
     "-x",
     {{"out", "o", kBuffer, 11, kOut, PinKind::Sample, 255},
      {"in", "i", kBuffer, 11, kIn, PinKind::Sample, 0}}},
    {45,
     "One minus x",
     "tools",
     "1-x",
     {{"out", "o", kBuffer, 11, kOut, PinKind::Sample, 255},
      {"in", "i", kBuffer, 11, kIn, PinKind::Sample, 0}}},
    {46,
     "Clamp to [0...1]",
     "tools",
     "clamp",
     {{"out", "o", kBuffer, 11, kOut, PinKind::Sample, 255},
      {"in", "i", kBuffer, 11, kIn, PinKind::Sample, 0}}},
    {47,
     "Delay  Signal",
     "effects",
     "delaysignal",
     {{"output", "out", kBuffer, 5, kOut, PinKind::Sample, 255},
      {"input", "in", kBuffer, 5, kIn, PinKind::Sample, 0},
      {"length ms", "l", kValue, 5, kIn, PinKind::Time, 64}}},
    {48,
     "Clip",
     "tools",
     "clip",
     {{"output", "out", kBuffer, 18, kOut, PinKind::Sample, 255},
      {"source", "src", kBuffer, 18, kIn, PinKind::Sample, 0},
      {"source 2", "level", kValue, 18, kIn, PinKind::Param, 127}}},
    {0, "", "", "", {}},
};

const NameEntry kPinDataTypeNames[3] = {{0, "INVALID"}, {1, "value"}, {2, "buffer"}};

const NameEntry kPinDirectionNames[3] = {{0, "INVALID"}, {1, "Input"}, {2, "Output"}};

const NameEntry kPinKindNames[kPinKindCount] = {
    {0, "INVALID"},
    {1, "Phase: -pi...pi"},
    {2, "Parameter: 0...1"},
    {3, "Sample: -1...1"},
    {4, "Amplification: -1...1"},
    {5, "Gain (dB): 0...1 (-32dB...+32dB)"},
    {6, "Gain (dB): 0...1 (-32dB...+00dB)"},
    {7, "Frequency: 0...1"},
    {8, "Frequency: 0...1"},
    {9, "Frequency: 0...1"},
    {10, "Time: 0...1"},
    {11, "Note: 0...1"},
    {12, "Counter: 0...inf"},
    {13, "Flag/Trigger: ?>0"},
    {14, "something"},
    {15, "Osc type"},
    {16, "distortion type"},
    {17, "filter type"},
};

const ThemeColour kThemeColours[kThemeColourCount] = {
    {"Korvax/Theme/Pin/Invalid", 0x000000},
    {"Korvax/Theme/Pin/Phase", 0xff66ff},
    {"Korvax/Theme/Pin/Param", 0xffffff},
    {"Korvax/Theme/Pin/Sample", 0x6666ff},
    {"Korvax/Theme/Pin/Amp", 0x66ffff},
    {"Korvax/Theme/Pin/Gain", 0x66cc66},
    {"Korvax/Theme/Pin/Gain0", 0x66cc66},
    {"Korvax/Theme/Pin/Freq", 0xcc66cc},
    {"Korvax/Theme/Pin/FreqBand", 0xcc66cc},
    {"Korvax/Theme/Pin/FreqLfo", 0xcc66cc},
    {"Korvax/Theme/Pin/Time", 0xffcc00},
    {"Korvax/Theme/Pin/Note", 0x996699},
    {"Korvax/Theme/Pin/Count", 0x333333},
    {"Korvax/Theme/Pin/Flag", 0xffff33},
    {"Korvax/Theme/Pin/DiscretUnspec", 0xcc6666},
    {"Korvax/Theme/Pin/DiscretOsc", 0xcc6666},
    {"Korvax/Theme/Pin/DiscretDistortion", 0xcc6666},
    {"Korvax/Theme/Pin/DiscretFilter", 0xcc6666},
    {"Korvax/Theme/Pin/Default", 0x000000},
    {"Korvax/Theme/Node/Input", 0xff0000},
    {"Korvax/Theme/Node/Debug", 0xff0000},
    {"Korvax/Theme/Node/Output", 0xffcc00},
    {"Korvax/Theme/Node/Default", 0xffffff},
    {"Korvax/Theme/Node/Memory", 0xff00ff},
    {"Korvax/Theme/Node/Buffer", 0xffff00},
};

namespace {

constexpr const ModuleSpec& FindRecord(int id) noexcept {
    const ModuleSpec* module = kModuleTable;
    while (module->id != id && module->id != 0) {
        ++module;
    }
    return *module;
}

constexpr int CountPins(const ModuleSpec& module) noexcept {
    int count = 0;
    while (count < kModuleUsablePins && module.pins[count].dataType != PinDataType::Invalid) {
        ++count;
    }
    return count;
}

// Pin count of every byte value taken as a module id (0 for the unknown ones).
struct PinCounts {
    uint8_t count[256] = {};
    constexpr PinCounts() {
        for (int id = 1; id <= kModuleCount; ++id) {
            count[id] = static_cast<uint8_t>(CountPins(FindRecord(id)));
        }
    }
};
constexpr PinCounts kPinCounts;

} // namespace

const ModuleSpec& FindModule(int id) noexcept {
    return FindRecord(id);
}

int PinCount(const ModuleSpec& module) noexcept {
    return CountPins(module);
}

int ModulePinCount(uint8_t id) noexcept {
    return kPinCounts.count[id];
}

namespace {

int CountDirection(const ModuleSpec& module, PinDirection direction) noexcept {
    int count = 0;
    for (int slot = 0; slot < PinCount(module); ++slot) {
        if (module.pins[slot].direction == direction) {
            ++count;
        }
    }
    return count;
}

int SlotOf(const ModuleSpec& module, PinDirection direction, int k) noexcept {
    if (k < 0) {
        return -1;
    }
    const int pins = PinCount(module);
    for (int slot = 0; slot < pins; ++slot) {
        if (module.pins[slot].direction == direction && k-- == 0) {
            return slot;
        }
    }
    return -1;
}

const char* NameOf(const NameEntry* table, int size, int code) noexcept {
    return code >= 0 && code < size ? table[code].text : table[0].text;
}

} // namespace

int InputCount(const ModuleSpec& module) noexcept {
    return CountDirection(module, PinDirection::Input);
}

int OutputCount(const ModuleSpec& module) noexcept {
    return CountDirection(module, PinDirection::Output);
}

int InputPinSlot(const ModuleSpec& module, int k) noexcept {
    return SlotOf(module, PinDirection::Input, k);
}

int OutputPinSlot(const ModuleSpec& module, int k) noexcept {
    return SlotOf(module, PinDirection::Output, k);
}

const PinSpec* InputPin(const ModuleSpec& module, int k) noexcept {
    const int slot = InputPinSlot(module, k);
    return slot < 0 ? nullptr : &module.pins[slot];
}

const PinSpec* OutputPin(const ModuleSpec& module, int k) noexcept {
    const int slot = OutputPinSlot(module, k);
    return slot < 0 ? nullptr : &module.pins[slot];
}

PinKind GetPreferredModulePinRange(int moduleId, int inputIndex) noexcept {
    const PinSpec* pin = InputPin(FindModule(moduleId), inputIndex);
    return pin == nullptr ? PinKind::Invalid : pin->kind;
}

float InitialParameterValue(const PinSpec& pin) noexcept {
    return static_cast<float>(pin.defaultValue & 0xFF) / 128.0f;
}

const char* PinDataTypeName(int code) noexcept {
    return NameOf(kPinDataTypeNames, 3, code);
}

const char* PinDirectionName(int code) noexcept {
    return NameOf(kPinDirectionNames, 3, code);
}

const char* PinKindName(int code) noexcept {
    return NameOf(kPinKindNames, kPinKindCount, code);
}

const char* PinKindThemeSuffix(int code) noexcept {
    const int index = code >= 0 && code < kPinKindCount ? code : 0;
    return kThemeColours[index].key + std::strlen("Korvax/Theme/Pin/");
}

int32_t PinKindColour(int code) noexcept {
    return code >= 0 && code < kPinKindCount ? kThemeColours[code].colour
                                             : kThemeColours[kPinKindCount].colour;
}

std::vector<const ModuleSpec*> ModuleMenuOrder() {
    std::vector<const ModuleSpec*> modules;
    for (const ModuleSpec* module = kModuleTable; module->id != 0; ++module) {
        modules.push_back(module);
    }
    std::stable_sort(modules.begin(), modules.end(), [](const ModuleSpec* a, const ModuleSpec* b) {
        const int byCategory = std::strcmp(a->category, b->category);
        if (byCategory != 0) {
            return byCategory < 0;
        }
        return std::strcmp(a->name, b->name) < 0;
    });
    return modules;
}

} // namespace brl::Korvax
