// korvax-make-demo: builds the bundled demo patch set through the editing model
// and saves it. Six instruments, each voice ending itself with a release node:
//   channel 0 bass   saw through a resonant low-pass, plucky envelope
//   channel 1 lead   square through a low-pass swept by an LFO
//   channel 2 pad    two detuned saws, slow envelope, chorus on the channel
//   channel 3 kick   sine with a falling pitch envelope
//   channel 4 hat    noise through a high-pass, short envelope
//   channel 5 snare  noise and a triangle body, short envelope
// Voices sum into a bus per channel (global buffer 8 + channel); each channel
// graph pans its bus into the stereo buses 0 and 1 and sends some of it to the
// echo bus 2, which the mix graph runs through two delays.
//
// usage: korvax-make-demo OUTPUT.korvax
#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxcompiler.h"
#include "korvax/korvaxeditor.h"
#include "korvax/korvaxfileio.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using namespace brl::Korvax;
using brl::vergl::CNode;
using brl::vergl::CVergl;

// Module ids used here.
enum DemoModule : int {
    kOsc = brl::Korvax::ModuleId::Osc,
    kMoog = brl::Korvax::ModuleId::MoogFilter,
    kChorus = brl::Korvax::ModuleId::Chorus,
    kEnvelope = brl::Korvax::ModuleId::Envelope,
    kLfo = brl::Korvax::ModuleId::Lfo,
    kAmp = brl::Korvax::ModuleId::Amp,
    kAdd = brl::Korvax::ModuleId::Add,
    kMul = brl::Korvax::ModuleId::Mul,
    kSet = brl::Korvax::ModuleId::Set,
    kDelay = brl::Korvax::ModuleId::Delay,
    kMapNote = brl::Korvax::ModuleId::MapNote,
    kModulate = brl::Korvax::ModuleId::Modulate,
    kPanning = brl::Korvax::ModuleId::Panning,
    kRelease = brl::Korvax::ModuleId::Release,
    kPhase = brl::Korvax::ModuleId::Phase,
    kTranspose = brl::Korvax::ModuleId::Transpose,
    kOutput = brl::Korvax::ModuleId::Output,
};

// Input and output indices of the modules used here (inputs and outputs are
// counted separately).
namespace osc {
constexpr int kPhaseIn = 0, kAmplification = 1, kType = 2;
}
namespace moog {
constexpr int kIn = 0, kFrequency = 1, kResonance = 2, kType = 3;
}
namespace env {
constexpr int kAttack = 0, kDecay = 1, kSustain = 2, kStartVolume = 3, kAttackVolume = 4, kDecayVolume = 5,
              kSustainVolume = 6;
}
namespace lfo {
constexpr int kFrequency = 0, kAmplification = 2, kType = 3;
}
namespace release {
constexpr int kTime = 0, kFlag = 1;    // inputs
constexpr int kOut = 0, kFinished = 1; // outputs
} // namespace release
namespace chorus {
constexpr int kSource = 0, kLfo1 = 1, kLfo2 = 2, kLfo3 = 3, kLfo4 = 4, kSpread = 5, kDelay = 6, kDepth = 7,
              kWet = 8;
constexpr int kOutLeft = 0, kOutRight = 1;
} // namespace chorus
namespace delay {
constexpr int kIn = 0, kLength = 1, kAmount = 2, kFeedback = 3, kWet = 4;
}
namespace transpose {
constexpr int kNote = 0, kHalftones = 1, kDetune = 2;
}
namespace modulate {
constexpr int kTarget = 0, kSource = 1, kAmount = 2;
}
namespace amp {
constexpr int kSource = 0, kAmount = 1;
}
namespace voiceparams {
constexpr int kVolume = 0, kNote = 1, kOff = 2;
}

// Global buffers: the stereo mix, the echo send and one bus per channel.
constexpr int kBusLeft = 0;
constexpr int kBusRight = 1;
constexpr int kBusEcho = 2;
constexpr int ChannelBus(int channel) {
    return 8 + channel;
}

// Parameter values are stored as bytes (value x 128); every value set here is
// a whole number of 128ths, so the saved patch plays exactly what is built.
float Steps(double steps) {
    return static_cast<float>(std::round(steps) / 128.0);
}
float Level(double value) {
    return Steps(value * 128.0);
}
// A time input for `ms` milliseconds: the time knob spans 0.1 ms x 50000^x.
float Ms(double ms) {
    return Steps(128.0 * std::log(ms * 10.0) / std::log(50000.0));
}
// A filter frequency input for `hz`: the knob spans 880 Hz x 2^(x x 32/3 - 5.75).
float Cutoff(double hz) {
    return Steps(128.0 * (std::log2(hz / 880.0) + 5.75) / (32.0 / 3.0));
}
// Transpose by semitones and cents (a halftone knob of 0.5 keeps the note).
float Halftones(int semitones) {
    return Steps(64 + semitones);
}
float Detune(double cents) {
    return Steps(64.0 + cents * 1.28);
}

// Waveform and filter type selectors (the middle of each range).
const float kSine = Steps(8);
const float kTriangle = Steps(40);
const float kSaw = Steps(56);
const float kSquare = Steps(72);
const float kNoise = Steps(88);
const float kLowPass = Steps(8);
const float kHighPass = Steps(40);

// Builds one graph whose new value inputs take controllers of one channel. A
// refused link throws: the generator must never save a half-built patch.
class GraphBuilder {
public:
    GraphBuilder(SynthesizerEditor& owner, CVergl& target, int channelOfControllers)
        : editor(owner), graph(target), channel(channelOfControllers) {}

    CNode* Module(int moduleId) {
        CNode* node = Place(editor.CreateNode(graph, moduleId, channel));
        // The controllers start at the catalogue defaults.
        const ModuleSpec& catalogue = FindModule(moduleId);
        for (size_t k = 0; k < node->Inputs().Count(); ++k) {
            const PinRecord* record = GetPinRecord(node->Inputs().At(k));
            if (record->value) {
                Value(record) = InitialParameterValue(*InputPin(catalogue, static_cast<int>(k)));
            }
        }
        return node;
    }
    CNode* BufferIn(int number) { return Buffer(editor.CreateNodeBufferInput(graph), number); }
    CNode* BufferOut(int number) { return Buffer(editor.CreateNodeBufferOutput(graph), number); }
    CNode* VoiceParams() { return Place(editor.CreateNodeVoiceParamsOutput(graph)); }
    CNode* VoiceFinished() { return Place(editor.CreateNodeVoiceParamsInput(graph)); }

    // Sets the controller of an unconnected value input.
    void Set(CNode* node, int input, float value) {
        const PinRecord* record = GetPinRecord(node->Inputs().At(static_cast<size_t>(input)));
        if (record == nullptr || !record->value) {
            throw std::logic_error("not a value input");
        }
        Value(record) = value;
    }

    void Link(CNode* from, int output, CNode* to, int input) {
        if (!editor.CreateConnection(graph, from->Outputs().At(static_cast<size_t>(output)),
                                     to->Inputs().At(static_cast<size_t>(input)))) {
            throw std::logic_error("link refused");
        }
    }

    // a + b of two buffers.
    CNode* Sum(CNode* a, int aOutput, CNode* b, int bOutput) {
        CNode* add = Module(kAdd);
        Link(a, aOutput, add, 0);
        Link(b, bOutput, add, 1);
        return add;
    }
    // Adds a signal into a global buffer: bus = bus + signal.
    void AddInto(int bus, CNode* source, int output) {
        CNode* add = Sum(source, output, BufferOut(bus), 0);
        Link(add, 0, BufferIn(bus), 0);
    }
    // Clears a global buffer: bus = 0.
    void Clear(int bus) {
        CNode* zero = Module(kSet);
        Link(zero, 0, BufferIn(bus), 0);
    }
    // a x b of two buffers.
    CNode* Product(CNode* a, int aOutput, CNode* b, int bOutput) {
        CNode* mul = Module(kMul);
        Link(a, aOutput, mul, 0);
        Link(b, bOutput, mul, 1);
        return mul;
    }
    // An oscillator of `type` and `amplification` on a phase driven by a frequency value.
    CNode* Oscillator(CNode* frequency, int output, float type, float amplification) {
        CNode* phase = Module(kPhase);
        Link(frequency, output, phase, 0); // the editor puts a "Set" in between
        CNode* osc = Module(kOsc);
        Link(phase, 0, osc, osc::kPhaseIn);
        Set(osc, osc::kType, type);
        Set(osc, osc::kAmplification, amplification);
        return osc;
    }
    CNode* Envelope(double attackMs, double decayMs, double sustainMs, double attackVolume,
                    double decayVolume, double sustainVolume) {
        CNode* node = Module(kEnvelope);
        Set(node, env::kAttack, Ms(attackMs));
        Set(node, env::kDecay, Ms(decayMs));
        Set(node, env::kSustain, Ms(sustainMs));
        Set(node, env::kStartVolume, 0.0f);
        Set(node, env::kAttackVolume, Level(attackVolume));
        Set(node, env::kDecayVolume, Level(decayVolume));
        Set(node, env::kSustainVolume, Level(sustainVolume));
        return node;
    }
    CNode* LowPass(CNode* source, int output, double hz, double resonance, float type = kLowPass) {
        CNode* filter = Module(kMoog);
        Link(source, output, filter, moog::kIn);
        Set(filter, moog::kFrequency, Cutoff(hz));
        Set(filter, moog::kResonance, Level(resonance));
        Set(filter, moog::kType, type);
        return filter;
    }

    // The end of every voice: signal x release fade x velocity, summed into the
    // channel's bus; the release follows the voice's "off" flag and frees the
    // voice through "fin" when it has faded out.
    void FinishVoice(CNode* voice, CNode* signal, int output, double releaseMs) {
        CNode* fade = Module(kRelease);
        Set(fade, release::kTime, Ms(releaseMs));
        Link(voice, voiceparams::kOff, fade, release::kFlag);
        Link(fade, release::kFinished, VoiceFinished(), 0);
        CNode* faded = Product(signal, output, fade, release::kOut);
        CNode* velocity = Module(kAmp);
        Link(faded, 0, velocity, amp::kSource);
        Link(voice, voiceparams::kVolume, velocity, amp::kAmount);
        AddInto(ChannelBus(channel), velocity, 0);
    }

private:
    float& Value(const PinRecord* record) {
        return editor.Memory()[record->controllerChannel * kControllersPerChannel + record->controllerNumber];
    }
    CNode* Buffer(CNode* node, int number) {
        if (!editor.SetBufferNumber(node, number)) {
            throw std::logic_error("bad buffer number");
        }
        return Place(node);
    }
    // Lays the nodes out in rows in the order they are made.
    CNode* Place(CNode* node) {
        if (node == nullptr) {
            throw std::logic_error("no node");
        }
        node->SetPosition(40 + 180 * (placed % 6), 40 + 140 * (placed / 6));
        ++placed;
        return node;
    }

    SynthesizerEditor& editor;
    CVergl& graph;
    int channel;
    int placed = 0;
};

// Frequency of the played note, optionally transposed and detuned.
CNode* NoteFrequency(GraphBuilder& g, CNode* voice, int semitones = 0, double cents = 0.0) {
    CNode* map = g.Module(kMapNote);
    if (semitones == 0 && cents == 0.0) {
        g.Link(voice, voiceparams::kNote, map, 0);
        return map;
    }
    CNode* shift = g.Module(kTranspose);
    g.Link(voice, voiceparams::kNote, shift, transpose::kNote);
    g.Set(shift, transpose::kHalftones, Halftones(semitones));
    g.Set(shift, transpose::kDetune, Detune(cents));
    g.Link(shift, 0, map, 0);
    return map;
}

void BuildBass(SynthesizerEditor& editor, int channel) {
    GraphBuilder g(editor, editor.Patches().Voice(channel), channel);
    CNode* voice = g.VoiceParams();
    CNode* osc = g.Oscillator(NoteFrequency(g, voice), 0, kSaw, Level(0.8));
    CNode* filter = g.LowPass(osc, 0, 520.0, 0.45);
    CNode* amp = g.Envelope(2.0, 180.0, 400.0, 1.0, 0.55, 0.35);
    g.FinishVoice(voice, g.Product(filter, 0, amp, 0), 0, 60.0);
}

void BuildLead(SynthesizerEditor& editor, int channel) {
    GraphBuilder g(editor, editor.Patches().Voice(channel), channel);
    CNode* voice = g.VoiceParams();
    CNode* osc = g.Oscillator(NoteFrequency(g, voice), 0, kSquare, Level(0.5));
    CNode* filter = g.LowPass(osc, 0, 1400.0, 0.5);
    // A slow LFO sweeps the cutoff around its setting.
    CNode* sweep = g.Module(kLfo);
    g.Set(sweep, lfo::kFrequency, Steps(72));
    g.Set(sweep, lfo::kType, kSine);
    g.Set(sweep, lfo::kAmplification, Level(1.0));
    CNode* cutoff = g.Module(kModulate);
    g.Set(cutoff, modulate::kTarget, Cutoff(1400.0));
    g.Link(sweep, 0, cutoff, modulate::kSource);
    g.Set(cutoff, modulate::kAmount, Level(0.09));
    g.Link(cutoff, 0, filter, moog::kFrequency);
    CNode* amp = g.Envelope(8.0, 250.0, 600.0, 1.0, 0.7, 0.5);
    g.FinishVoice(voice, g.Product(filter, 0, amp, 0), 0, 180.0);
}

void BuildPad(SynthesizerEditor& editor, int channel) {
    GraphBuilder g(editor, editor.Patches().Voice(channel), channel);
    CNode* voice = g.VoiceParams();
    CNode* low = g.Oscillator(NoteFrequency(g, voice, 0, -9.0), 0, kSaw, Level(0.4));
    CNode* high = g.Oscillator(NoteFrequency(g, voice, 0, 9.0), 0, kSaw, Level(0.4));
    CNode* filter = g.LowPass(g.Sum(low, 0, high, 0), 0, 1100.0, 0.2);
    CNode* amp = g.Envelope(450.0, 900.0, 1500.0, 1.0, 0.75, 0.6);
    g.FinishVoice(voice, g.Product(filter, 0, amp, 0), 0, 900.0);
}

void BuildKick(SynthesizerEditor& editor, int channel) {
    GraphBuilder g(editor, editor.Patches().Voice(channel), channel);
    CNode* voice = g.VoiceParams();
    // The pitch starts at the note and falls to a quarter of it.
    CNode* pitch = g.Envelope(1.0, 45.0, 120.0, 1.0, 0.35, 0.25);
    CNode* frequency = g.Module(kAmp);
    g.Link(pitch, 0, frequency, amp::kSource);
    g.Link(NoteFrequency(g, voice), 0, frequency, amp::kAmount);
    CNode* phase = g.Module(kPhase);
    g.Link(frequency, 0, phase, 0);
    CNode* osc = g.Module(kOsc);
    g.Link(phase, 0, osc, osc::kPhaseIn);
    g.Set(osc, osc::kType, kSine);
    g.Set(osc, osc::kAmplification, Level(1.0));
    CNode* amp = g.Envelope(1.0, 110.0, 160.0, 1.0, 0.4, 0.0);
    g.FinishVoice(voice, g.Product(osc, 0, amp, 0), 0, 120.0);
}

void BuildHat(SynthesizerEditor& editor, int channel) {
    GraphBuilder g(editor, editor.Patches().Voice(channel), channel);
    CNode* voice = g.VoiceParams();
    CNode* noise = g.Module(kOsc);
    g.Set(noise, osc::kType, kNoise);
    g.Set(noise, osc::kAmplification, Level(0.6));
    CNode* filter = g.LowPass(noise, 0, 7000.0, 0.25, kHighPass);
    CNode* amp = g.Envelope(1.0, 35.0, 40.0, 1.0, 0.15, 0.0);
    g.FinishVoice(voice, g.Product(filter, 0, amp, 0), 0, 40.0);
}

void BuildSnare(SynthesizerEditor& editor, int channel) {
    GraphBuilder g(editor, editor.Patches().Voice(channel), channel);
    CNode* voice = g.VoiceParams();
    CNode* noise = g.Module(kOsc);
    g.Set(noise, osc::kType, kNoise);
    g.Set(noise, osc::kAmplification, Level(0.5));
    CNode* body = g.Oscillator(NoteFrequency(g, voice), 0, kTriangle, Level(0.5));
    CNode* mixed = g.LowPass(g.Sum(noise, 0, body, 0), 0, 5000.0, 0.1);
    CNode* amp = g.Envelope(1.0, 70.0, 120.0, 1.0, 0.3, 0.0);
    g.FinishVoice(voice, g.Product(mixed, 0, amp, 0), 0, 80.0);
}

// The channel graph: clears the bus before the voices, then pans it into the
// stereo buses and sends part of it to the echo.
void BuildChannelMix(SynthesizerEditor& editor, int channel, double volume, double pan, double echo) {
    GraphBuilder pre(editor, editor.Patches().ChannelPre(channel), channel);
    pre.Clear(ChannelBus(channel));

    GraphBuilder g(editor, editor.Patches().ChannelPost(channel), channel);
    CNode* level = g.Module(kAmp);
    g.Link(g.BufferOut(ChannelBus(channel)), 0, level, amp::kSource);
    g.Set(level, amp::kAmount, Level(volume));
    CNode* panning = g.Module(kPanning);
    g.Set(panning, 0, Level(pan));
    for (int side = 0; side < 2; ++side) {
        CNode* gain = g.Module(kAmp);
        g.Link(level, 0, gain, amp::kSource);
        g.Link(panning, side, gain, amp::kAmount);
        g.AddInto(side == 0 ? kBusLeft : kBusRight, gain, 0);
    }
    CNode* send = g.Module(kAmp);
    g.Link(level, 0, send, amp::kSource);
    g.Set(send, amp::kAmount, Level(echo));
    g.AddInto(kBusEcho, send, 0);
}

// The pad's channel graph: a chorus spreads the bus across both sides.
void BuildChorusChannel(SynthesizerEditor& editor, int channel, double volume, double echo) {
    GraphBuilder pre(editor, editor.Patches().ChannelPre(channel), channel);
    pre.Clear(ChannelBus(channel));

    GraphBuilder g(editor, editor.Patches().ChannelPost(channel), channel);
    CNode* level = g.Module(kAmp);
    g.Link(g.BufferOut(ChannelBus(channel)), 0, level, amp::kSource);
    g.Set(level, amp::kAmount, Level(volume));
    CNode* wobble = g.Module(kLfo);
    g.Set(wobble, lfo::kFrequency, Steps(64));
    g.Set(wobble, lfo::kType, kSine);
    g.Set(wobble, lfo::kAmplification, Level(1.0));
    CNode* slower = g.Module(kLfo);
    g.Set(slower, lfo::kFrequency, Steps(56));
    g.Set(slower, lfo::kType, kTriangle);
    g.Set(slower, lfo::kAmplification, Level(1.0));
    CNode* spread = g.Module(kChorus);
    g.Link(level, 0, spread, chorus::kSource);
    g.Link(wobble, 0, spread, chorus::kLfo1);
    g.Link(slower, 0, spread, chorus::kLfo2);
    g.Link(wobble, 0, spread, chorus::kLfo3);
    g.Link(slower, 0, spread, chorus::kLfo4);
    g.Set(spread, chorus::kSpread, Level(1.0));
    g.Set(spread, chorus::kDelay, Ms(12.0));
    g.Set(spread, chorus::kDepth, Ms(3.0));
    g.Set(spread, chorus::kWet, Level(0.5));
    g.AddInto(kBusLeft, spread, chorus::kOutLeft);
    g.AddInto(kBusRight, spread, chorus::kOutRight);
    CNode* send = g.Module(kAmp);
    g.Link(level, 0, send, amp::kSource);
    g.Set(send, amp::kAmount, Level(echo));
    g.AddInto(kBusEcho, send, 0);
}

// Mix: the stereo buses plus two echoes of the send bus, a dotted eighth on the
// left and a quarter on the right (120 beats per minute).
void BuildMaster(SynthesizerEditor& editor) {
    GraphBuilder pre(editor, editor.Patches().MixPre(), 0);
    pre.Clear(kBusLeft);
    pre.Clear(kBusRight);
    pre.Clear(kBusEcho);

    GraphBuilder g(editor, editor.Patches().Mix(), 0);
    CNode* send = g.BufferOut(kBusEcho);
    CNode* out = g.Module(kOutput);
    const double lengths[2] = {375.0, 500.0};
    const int buses[2] = {kBusLeft, kBusRight};
    for (int side = 0; side < 2; ++side) {
        CNode* echo = g.Module(kDelay);
        g.Link(send, 0, echo, delay::kIn);
        g.Set(echo, delay::kLength, Ms(lengths[side]));
        g.Set(echo, delay::kAmount, Level(1.0));
        g.Set(echo, delay::kFeedback, Level(0.4));
        g.Set(echo, delay::kWet, Level(0.55));
        CNode* sum = g.Sum(g.BufferOut(buses[side]), 0, echo, 0);
        g.Link(sum, 0, out, side);
    }
}

// Prints errors only: the editor warns about controller values that no audio
// thread takes, which is expected here (the values are written directly).
class ErrorLog : public brl::Logging::Channel {
public:
    void Log(int level, const brl::Logging::SourceLocation&, const brl::String&,
             const brl::String& message) override {
        if (level <= brl::Logging::Error) {
            std::fprintf(stderr, "korvax-make-demo: %s\n", brl::ToUtf8(message).c_str());
        }
    }
};

int Run(const std::string& path) {
    ErrorLog log;
    auto editor = std::make_unique<SynthesizerEditor>(&log);
    const wchar_t* names[] = {L"bass", L"lead", L"pad", L"kick", L"hat", L"snare"};
    for (int c = 0; c < 6; ++c) {
        editor->Patches().channelNames[static_cast<size_t>(c)] = names[c];
    }
    try {
        BuildBass(*editor, 0);
        BuildLead(*editor, 1);
        BuildPad(*editor, 2);
        BuildKick(*editor, 3);
        BuildHat(*editor, 4);
        BuildSnare(*editor, 5);
        BuildChannelMix(*editor, 0, 0.9, 0.5, 0.1);
        BuildChannelMix(*editor, 1, 0.5, 0.62, 0.45);
        BuildChorusChannel(*editor, 2, 0.5, 0.25);
        BuildChannelMix(*editor, 3, 0.55, 0.5, 0.0);
        BuildChannelMix(*editor, 4, 0.35, 0.35, 0.1);
        BuildChannelMix(*editor, 5, 0.55, 0.55, 0.2);
        BuildMaster(*editor);
    } catch (const std::logic_error& error) {
        std::fprintf(stderr, "korvax-make-demo: building the patch failed: %s\n", error.what());
        return 1;
    }
    CompiledProgram program;
    if (!SynthCompiler(log).CompileGraph(editor->Patches(), program)) {
        std::fprintf(stderr, "korvax-make-demo: the patch does not compile\n");
        return 1;
    }
    if (!SynthFileIo(*editor).SavePatchesToFile(path, L"core v19", false)) {
        std::fprintf(stderr, "korvax-make-demo: cannot save '%s'\n", path.c_str());
        return 1;
    }
    std::printf("wrote %s\n", path.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: korvax-make-demo OUTPUT.korvax\n");
        return 64;
    }
    return Run(argv[1]);
}
