#pragma once

// Building patch sets through the editing model, for the programs that make the
// bundled patch sets (korvax-make-demo, korvax-make-sets): module ids and pin
// indices, parameter conversions that land on stored byte values, and a graph
// builder whose refused links throw, so that no half-built patch is saved.
#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxcompiler.h"
#include "korvax/korvaxeditor.h"
#include "korvax/korvaxfileio.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvax_demo {

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
inline float Steps(double steps) {
    return static_cast<float>(std::round(steps) / 128.0);
}
inline float Level(double value) {
    return Steps(value * 128.0);
}
// A time input for `ms` milliseconds: the time knob spans 0.1 ms x 50000^x.
inline float Ms(double ms) {
    return Steps(128.0 * std::log(ms * 10.0) / std::log(50000.0));
}
// A filter frequency input for `hz`: the knob spans 880 Hz x 2^(x x 32/3 - 5.75).
inline float Cutoff(double hz) {
    return Steps(128.0 * (std::log2(hz / 880.0) + 5.75) / (32.0 / 3.0));
}
// Transpose by semitones and cents (a halftone knob of 0.5 keeps the note).
inline float Halftones(int semitones) {
    return Steps(64 + semitones);
}
inline float Detune(double cents) {
    return Steps(64.0 + cents * 1.28);
}

// Waveform and filter type selectors (the middle of each range).
inline const float kSine = Steps(8);
inline const float kTriangle = Steps(40);
inline const float kSaw = Steps(56);
inline const float kSquare = Steps(72);
inline const float kNoise = Steps(88);
inline const float kLowPass = Steps(8);
inline const float kHighPass = Steps(40);

// Builds one graph whose new value inputs take controllers of one channel. A
// refused link throws: the generator must never save a half-built patch.
class GraphBuilder {
public:
    GraphBuilder(SynthesizerEditor& owner, CVergl& target, int channelOfControllers)
        : editor(owner), graph(target), channel(channelOfControllers) {}

    CNode* Module(int moduleId) {
        CNode* node = Made(editor.CreateNode(graph, moduleId, channel));
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
    CNode* VoiceParams() { return Made(editor.CreateNodeVoiceParamsOutput(graph)); }
    CNode* VoiceFinished() { return Made(editor.CreateNodeVoiceParamsInput(graph)); }

    // Sets the controller of an unconnected value input.
    void Set(CNode* node, int input, float value) {
        const PinRecord* record = GetPinRecord(node->Inputs().At(static_cast<size_t>(input)));
        if (record == nullptr || !record->value) {
            throw std::logic_error("not a value input");
        }
        Value(record) = value;
    }

    // Puts an unconnected value input on controller `number` (0..119, which MIDI
    // controller messages of the builder's channel address) and sets its value.
    void Controller(CNode* node, int input, int number, float value) {
        PinRecord* record = GetPinRecord(node->Inputs().At(static_cast<size_t>(input)));
        if (record == nullptr || !record->value || number < 0 || number > 119) {
            throw std::logic_error("not a value input or not a MIDI controller");
        }
        record->controllerNumber = number;
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
        return Made(node);
    }
    CNode* Made(CNode* node) {
        if (node == nullptr) {
            throw std::logic_error("no node");
        }
        return node;
    }

    SynthesizerEditor& editor;
    CVergl& graph;
    int channel;
};

// Frequency of the played note, optionally transposed and detuned.
inline CNode* NoteFrequency(GraphBuilder& g, CNode* voice, int semitones = 0, double cents = 0.0) {
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

// Lays a graph out top to bottom the way its signals flow (outputs lie below a
// node, inputs above): each node one row below the lowest of its sources, a node
// without sources right above its first consumer, and within a row each node as
// close as it can get to the mean column of the nodes it is linked to.
inline void ArrangeGraph(CVergl& graph) {
    const std::vector<CNode*> nodes(graph.Nodes().begin(), graph.Nodes().end());
    const size_t count = nodes.size();
    std::map<const CNode*, size_t> index;
    for (size_t n = 0; n < count; ++n) {
        index[nodes[n]] = n;
    }
    std::vector<std::vector<size_t>> sources(count);
    std::vector<std::vector<size_t>> consumers(count);
    for (const auto* link : graph.Links()) {
        const size_t from = index.at(link->Pin1()->Node());
        const size_t to = index.at(link->Pin2()->Node());
        sources[to].push_back(from);
        consumers[from].push_back(to);
    }
    // Longest path from a source; a cycle stops growing after `count` rounds.
    std::vector<int> row(count, 0);
    for (size_t round = 0; round < count; ++round) {
        bool changed = false;
        for (size_t n = 0; n < count; ++n) {
            for (size_t s : sources[n]) {
                if (row[n] < row[s] + 1) {
                    row[n] = row[s] + 1;
                    changed = true;
                }
            }
        }
        if (!changed) {
            break;
        }
    }
    for (size_t n = 0; n < count; ++n) {
        if (sources[n].empty() && !consumers[n].empty()) {
            int lowest = row[consumers[n].front()];
            for (size_t c : consumers[n]) {
                lowest = std::min(lowest, row[c]);
            }
            row[n] = std::max(0, lowest - 1);
        }
    }
    constexpr int kColumn = 150;
    constexpr int kRow = 60;
    constexpr int kMargin = 48;
    constexpr int kTop = 36;
    // Columns: first in creation order, then twice towards the linked nodes.
    std::vector<double> x(count, 0.0);
    std::map<int, std::vector<size_t>> rows;
    for (size_t n = 0; n < count; ++n) {
        x[n] = static_cast<double>(rows[row[n]].size() * kColumn);
        rows[row[n]].push_back(n);
    }
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<double> wanted(x);
        for (size_t n = 0; n < count; ++n) {
            const std::vector<size_t>& linked = sources[n].empty() ? consumers[n] : sources[n];
            if (!linked.empty()) {
                double sum = 0.0;
                for (size_t l : linked) {
                    sum += x[l];
                }
                wanted[n] = sum / static_cast<double>(linked.size());
            }
        }
        for (auto& [r, members] : rows) {
            std::stable_sort(members.begin(), members.end(),
                             [&](size_t a, size_t b) { return wanted[a] < wanted[b]; });
            double next = 0.0;
            for (size_t n : members) {
                x[n] = std::max(next, std::round(wanted[n] / kColumn) * kColumn);
                next = x[n] + kColumn;
            }
        }
    }
    for (size_t n = 0; n < count; ++n) {
        nodes[n]->SetPosition(kMargin + static_cast<int32_t>(x[n]), kTop + kRow * row[n]);
    }
}

// Prints errors only: the editor warns about controller values that no audio
// thread takes, which is expected here (the values are written directly).
class ErrorLog : public brl::Logging::Channel {
public:
    explicit ErrorLog(const char* programName) : program(programName) {}
    void Log(int level, const brl::Logging::SourceLocation&, const brl::String&,
             const brl::String& message) override {
        if (level <= brl::Logging::Error) {
            std::fprintf(stderr, "%s: %s\n", program, brl::ToUtf8(message).c_str());
        }
    }

private:
    const char* program;
};

// Compiles the editor's patch set and saves it; false (with the reason on
// standard error) when it does not compile or cannot be written.
inline bool CompileAndSave(SynthesizerEditor& editor, ErrorLog& log, const std::string& path,
                           const char* program) {
    for (CVergl* graph : editor.Patches().AllGraphs()) {
        ArrangeGraph(*graph);
    }
    CompiledProgram compiled;
    if (!SynthCompiler(log).CompileGraph(editor.Patches(), compiled)) {
        std::fprintf(stderr, "%s: the patch does not compile\n", program);
        return false;
    }
    if (!SynthFileIo(editor).SavePatchesToFile(path, L"core v19", false)) {
        std::fprintf(stderr, "%s: cannot save '%s'\n", program, path.c_str());
        return false;
    }
    return true;
}

} // namespace korvax_demo
