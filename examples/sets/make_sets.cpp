// korvax-make-sets: builds two more patch sets with their songs, each leaning
// on module families that the demo leaves alone, so that players built for
// them cover those modules:
//   filters  the four resonant filters in several types, both band splitters,
//            every distortion type, chorus, delay, delayed signal, compressor,
//            RMS and peak detection, mid/side and clipping
//   tools    curved and linear envelopes, the release fade, LFOs (square,
//            noise with a reset, saw with a pulse width), sample and hold,
//            hard-synced phases, the advanced and per-sample note mappings with
//            several tunings, and the arithmetic, mixing, panning and scaling
//            tools
// Some parameters sit on MIDI controllers that the songs move while they play.
// Each song has a channel with more notes at once than it has voices.
//
// usage: korvax-make-sets DIRECTORY   (writes filters.korvax, filters.mid,
//                                      tools.korvax and tools.mid into it)
#include "demo/midi_writer.h"
#include "demo/patch_builder.h"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace korvax_demo;
using korvax_demo::Track;

constexpr int kQuarter = 96;
constexpr int kEighth = kQuarter / 2;
constexpr int kSixteenth = kQuarter / 4;
constexpr int kBar = 4 * kQuarter;

// Input and output indices of the modules used here (catalogue pin order,
// inputs and outputs counted separately).
namespace dist {
constexpr int kIn = 0, kGain = 1, kAmount = 2, kDrive = 3, kType = 4;
}
namespace filter { // fmoog, fkarlsen, fsv
constexpr int kIn = 0, kFrequency = 1, kResonance = 2, kType = 3;
}
namespace fdouble {
constexpr int kIn = 0, kDistortion = 1, kFrequency = 2, kResonance = 3, kType = 4;
}
namespace compressor {
constexpr int kIn = 0, kLevel = 1, kInputGain = 2, kThreshold = 3, kAttack = 4, kDecay = 5, kRatio = 6,
              kGain = 7;
}
namespace expenv {
constexpr int kAttack = 0, kDecay = 1, kSustain = 2, kCurveA = 3, kCurveD = 4, kCurveS = 5, kStart = 6,
              kAttackVolume = 7, kDecayVolume = 8, kSustainVolume = 9, kReset = 10;
}
namespace mapnote2 {
constexpr int kNote = 0, kTuning = 1, kMaster = 2, kBase = 3;
}
namespace lfo {
constexpr int kFrequency = 0, kPulseWidth = 1, kAmplification = 2, kType = 3, kReset = 4;
}

constexpr int kBandsplit4 = ModuleId::Bandsplit4;
constexpr int kBandsplit8 = ModuleId::Bandsplit8;

// Distortion types, the middle of each of the eight ranges.
float DistortionType(int range) {
    return Steps(8 + 16 * range);
}
// Filter types: the bucket of 16 (low) up to 127.
const float kBucket16 = Steps(8);
const float kBucket32 = Steps(24);
const float kBucket48 = Steps(40);
const float kBucket96 = Steps(88);
const float kSineCosine = Steps(24);

// `signal` (its output 0) times an envelope rising to 1, falling to 0.7 and
// then to `sustain`.
CNode* Enveloped(GraphBuilder& g, CNode* signal, double attackMs, double decayMs, double sustainMs,
                 double sustain) {
    return g.Product(signal, 0, g.Envelope(attackMs, decayMs, sustainMs, 1.0, 0.7, sustain), 0);
}

// The channel graph of most instruments: the bus through `effect` (built on
// the bus level node, returning the node whose output 0 carries the result),
// panned into the stereo buses, with a send to the echo bus.
template <class Effect>
void ChannelWith(SynthesizerEditor& editor, int channel, double volume, double pan, double echo,
                 Effect&& effect) {
    GraphBuilder pre(editor, editor.Patches().ChannelPre(channel), channel);
    pre.Clear(ChannelBus(channel));
    GraphBuilder g(editor, editor.Patches().ChannelPost(channel), channel);
    CNode* level = g.Module(kAmp);
    g.Link(g.BufferOut(ChannelBus(channel)), 0, level, amp::kSource);
    g.Set(level, amp::kAmount, Level(volume));
    CNode* shaped = effect(g, level);
    CNode* panning = g.Module(kPanning);
    g.Set(panning, 0, Level(pan));
    for (int side = 0; side < 2; ++side) {
        CNode* gain = g.Module(kAmp);
        g.Link(shaped, 0, gain, amp::kSource);
        g.Link(panning, side, gain, amp::kAmount);
        g.AddInto(side == 0 ? kBusLeft : kBusRight, gain, 0);
    }
    CNode* send = g.Module(kAmp);
    g.Link(shaped, 0, send, amp::kSource);
    g.Set(send, amp::kAmount, Level(echo));
    g.AddInto(kBusEcho, send, 0);
}

void ClearBuses(SynthesizerEditor& editor) {
    GraphBuilder pre(editor, editor.Patches().MixPre(), 0);
    pre.Clear(kBusLeft);
    pre.Clear(kBusRight);
    pre.Clear(kBusEcho);
}

// ---- filters ----------------------------------------------------------------

void FilterVoices(SynthesizerEditor& editor) {
    { // channel 0: a saw through a state-variable low-pass, cutoff and resonance on controllers 1 and 2
        GraphBuilder g(editor, editor.Patches().Voice(0), 0);
        CNode* voice = g.VoiceParams();
        CNode* osc = g.Oscillator(NoteFrequency(g, voice), 0, kSaw, Level(0.7));
        CNode* svf = g.Module(ModuleId::SvFilter);
        g.Link(osc, 0, svf, filter::kIn);
        g.Controller(svf, filter::kFrequency, 1, Cutoff(600.0));
        g.Controller(svf, filter::kResonance, 2, Level(0.6));
        g.Set(svf, filter::kType, kBucket16);
        g.FinishVoice(voice, Enveloped(g, svf, 2.0, 150.0, 300.0, 0.4), 0, 80.0);
    }
    { // channel 1: a square through a Karlsen low-pass and a Moog band-pass
        GraphBuilder g(editor, editor.Patches().Voice(1), 1);
        CNode* voice = g.VoiceParams();
        CNode* osc = g.Oscillator(NoteFrequency(g, voice, 12), 0, kSquare, Level(0.5));
        CNode* karlsen = g.Module(ModuleId::KarlsenFilter);
        g.Link(osc, 0, karlsen, filter::kIn);
        g.Set(karlsen, filter::kFrequency, Cutoff(2500.0));
        g.Set(karlsen, filter::kResonance, Level(0.3));
        g.Set(karlsen, filter::kType, kBucket16);
        CNode* moog = g.LowPass(karlsen, 0, 1200.0, 0.5, kBucket48);
        g.FinishVoice(voice, Enveloped(g, moog, 5.0, 200.0, 400.0, 0.5), 0, 150.0);
    }
    { // channel 2: noise through a doubled state-variable band-pass, type on controller 3
        GraphBuilder g(editor, editor.Patches().Voice(2), 2);
        CNode* voice = g.VoiceParams();
        CNode* noise = g.Module(kOsc);
        g.Set(noise, osc::kType, kNoise);
        g.Set(noise, osc::kAmplification, Level(0.6));
        CNode* band = g.Module(ModuleId::DoubleFilter);
        g.Link(noise, 0, band, fdouble::kIn);
        g.Set(band, fdouble::kDistortion, Level(0.2));
        g.Set(band, fdouble::kFrequency, Cutoff(3000.0));
        g.Set(band, fdouble::kResonance, Level(0.7));
        g.Controller(band, fdouble::kType, 3, kBucket32);
        g.FinishVoice(voice, Enveloped(g, band, 1.0, 60.0, 80.0, 0.0), 0, 50.0);
    }
    { // channel 3: triangle and sine through a distortion whose type walks on controller 4
        GraphBuilder g(editor, editor.Patches().Voice(3), 3);
        CNode* voice = g.VoiceParams();
        CNode* tri = g.Oscillator(NoteFrequency(g, voice), 0, kTriangle, Level(0.5));
        CNode* sine = g.Oscillator(NoteFrequency(g, voice, 7), 0, kSine, Level(0.4));
        CNode* shaper = g.Module(ModuleId::Distortion);
        g.Link(g.Sum(tri, 0, sine, 0), 0, shaper, dist::kIn);
        g.Set(shaper, dist::kGain, Level(0.6));
        g.Controller(shaper, dist::kAmount, 5, Level(0.4));
        g.Set(shaper, dist::kDrive, Level(0.7));
        g.Controller(shaper, dist::kType, 4, DistortionType(0));
        g.FinishVoice(voice, Enveloped(g, shaper, 3.0, 300.0, 500.0, 0.3), 0, 200.0);
    }
}

void FilterChannels(SynthesizerEditor& editor) {
    ChannelWith(editor, 0, 0.8, 0.4, 0.2, [](GraphBuilder& g, CNode* level) {
        CNode* shaper = g.Module(ModuleId::Distortion);
        g.Link(level, 0, shaper, dist::kIn);
        g.Set(shaper, dist::kAmount, Level(0.5));
        g.Set(shaper, dist::kType, DistortionType(3));
        CNode* squash = g.Module(ModuleId::Compressor);
        g.Link(shaper, 0, squash, compressor::kIn);
        g.Link(shaper, 0, squash, compressor::kLevel);
        g.Set(squash, compressor::kThreshold, Level(0.5));
        g.Set(squash, compressor::kAttack, Level(0.01));
        g.Set(squash, compressor::kDecay, Level(0.1));
        g.Set(squash, compressor::kRatio, Level(0.05));
        return squash;
    });
    ChannelWith(editor, 1, 0.6, 0.6, 0.3, [](GraphBuilder& g, CNode* level) {
        CNode* hollow = g.Module(ModuleId::DoubleFilter);
        g.Link(level, 0, hollow, fdouble::kIn);
        g.Set(hollow, fdouble::kFrequency, Cutoff(1800.0));
        g.Set(hollow, fdouble::kResonance, Level(0.4));
        g.Set(hollow, fdouble::kType, kBucket96);
        CNode* wobble = g.Module(kLfo);
        g.Set(wobble, lfo::kFrequency, Steps(60));
        g.Set(wobble, lfo::kType, kSine);
        CNode* spread = g.Module(kChorus);
        g.Link(hollow, 0, spread, chorus::kSource);
        for (int tap : {chorus::kLfo1, chorus::kLfo2, chorus::kLfo3, chorus::kLfo4}) {
            g.Link(wobble, 0, spread, tap);
        }
        g.Set(spread, chorus::kDelay, Ms(8.0));
        g.Set(spread, chorus::kDepth, Ms(2.0));
        g.Set(spread, chorus::kWet, Level(0.6));
        return g.Sum(spread, chorus::kOutLeft, spread, chorus::kOutRight);
    });
    ChannelWith(editor, 2, 0.7, 0.5, 0.1, [](GraphBuilder& g, CNode* level) {
        CNode* split = g.Module(kBandsplit4);
        g.Link(level, 0, split, 0);
        CNode* mix = g.Module(ModuleId::Mix4);
        const double gains[4] = {0.2, 1.0, 0.6, 0.9};
        for (int band = 0; band < 4; ++band) {
            CNode* gain = g.Module(kAmp);
            g.Link(split, band, gain, amp::kSource);
            g.Set(gain, amp::kAmount, Level(gains[band]));
            g.Link(gain, 0, mix, band);
        }
        CNode* late = g.Module(ModuleId::DelaySignal);
        g.Link(mix, 0, late, 0);
        g.Set(late, 1, Ms(30.0));
        return g.Sum(mix, 0, late, 0);
    });
    ChannelWith(editor, 3, 0.6, 0.5, 0.25, [](GraphBuilder& g, CNode* level) {
        CNode* split = g.Module(kBandsplit8);
        g.Link(level, 0, split, 0);
        CNode* mix = g.Module(ModuleId::Mix8);
        for (int band = 0; band < 8; ++band) {
            CNode* shaper = g.Module(ModuleId::Distortion);
            g.Link(split, band, shaper, dist::kIn);
            // The wrapping type turns its amount into an offset: none here, so
            // that the channel falls silent after the song.
            g.Set(shaper, dist::kAmount, Level(band == 2 ? 0.0 : 0.3));
            g.Set(shaper, dist::kType, DistortionType(band));
            g.Link(shaper, 0, mix, band);
        }
        return mix;
    });
}

void FilterMaster(SynthesizerEditor& editor) {
    ClearBuses(editor);
    GraphBuilder g(editor, editor.Patches().Mix(), 0);
    CNode* echo = g.Module(kDelay);
    g.Link(g.BufferOut(kBusEcho), 0, echo, delay::kIn);
    g.Set(echo, delay::kLength, Ms(250.0));
    g.Set(echo, delay::kAmount, Level(1.0));
    g.Set(echo, delay::kFeedback, Level(0.45));
    g.Set(echo, delay::kWet, Level(0.5));
    CNode* left = g.Sum(g.BufferOut(kBusLeft), 0, echo, 0);
    CNode* right = g.Sum(g.BufferOut(kBusRight), 0, echo, 0);
    // The left side ducks under the echo's peaks, the right under the left's RMS.
    CNode* peak = g.Module(ModuleId::PeakDetect);
    g.Link(echo, 0, peak, 0);
    g.Set(peak, 1, Ms(100.0));
    CNode* rms = g.Module(ModuleId::RMSDetect);
    g.Link(left, 0, rms, 0);
    g.Set(rms, 1, Ms(20.0));
    CNode* duckLeft = g.Module(ModuleId::Compressor);
    g.Link(left, 0, duckLeft, compressor::kIn);
    g.Link(peak, 0, duckLeft, compressor::kLevel);
    g.Set(duckLeft, compressor::kThreshold, Level(0.3));
    g.Set(duckLeft, compressor::kAttack, Level(0.02));
    g.Set(duckLeft, compressor::kDecay, Level(0.2));
    g.Set(duckLeft, compressor::kRatio, Level(0.03));
    CNode* duckRight = g.Module(ModuleId::Compressor);
    g.Link(right, 0, duckRight, compressor::kIn);
    g.Link(rms, 0, duckRight, compressor::kLevel);
    g.Set(duckRight, compressor::kThreshold, Level(0.4));
    g.Set(duckRight, compressor::kRatio, Level(0.02));
    // Mid and side, the side lifted, and back to left and right.
    CNode* ms = g.Module(ModuleId::MidSide);
    g.Link(duckLeft, 0, ms, 0);
    g.Link(duckRight, 0, ms, 1);
    CNode* wider = g.Module(kAmp);
    g.Link(ms, 1, wider, amp::kSource);
    g.Set(wider, amp::kAmount, Level(0.9));
    CNode* back = g.Module(ModuleId::MidSide);
    g.Link(ms, 0, back, 0);
    g.Link(wider, 0, back, 1);
    CNode* out = g.Module(kOutput);
    for (int side = 0; side < 2; ++side) {
        CNode* clip = g.Module(ModuleId::Clip);
        g.Link(back, side, clip, 0);
        g.Set(clip, 1, Level(0.9));
        g.Link(clip, 0, out, side);
    }
}

std::vector<uint8_t> FilterSong() {
    Track tempo("tempo", 0);
    tempo.Meta(0, 0x51, {0x07, 0xA1, 0x20}); // 120 beats per minute
    Track acid("korvax ch00", 0);
    Track reso("korvax ch01", 1);
    Track noise("korvax ch02", 2);
    Track bell("korvax ch03", 3);
    const int line[16] = {45, 57, 45, 48, 45, 52, 43, 55, 45, 57, 45, 60, 41, 53, 43, 55};
    for (int bar = 0; bar < 4; ++bar) {
        for (int i = 0; i < 16; ++i) {
            const int at = bar * kBar + i * kSixteenth;
            acid.Note(at, kSixteenth, line[i], i % 4 == 0 ? 120 : 80);
            acid.Controller(at, 1, 30 + ((bar * 16 + i) * 5) % 90); // cutoff sweep
            if (i % 4 == 2) {
                noise.Note(at, kSixteenth, 70 + i, 60 + 4 * i);
            }
        }
        acid.Controller(bar * kBar, 2, 40 + 20 * bar); // resonance
        noise.Controller(bar * kBar, 3, 8 + 16 * bar); // filter type
        reso.Note(bar * kBar, 3 * kQuarter, 64 + 2 * bar, 100);
        reso.Note(bar * kBar + 3 * kQuarter, kQuarter, 67 + 2 * bar, 90);
        for (int beat = 0; beat < 4; ++beat) {
            const int at = bar * kBar + beat * kQuarter;
            bell.Controller(at, 4, 8 + 16 * ((bar * 4 + beat) % 8)); // every distortion type
            bell.Controller(at, 5, 20 + 25 * beat);
        }
    }
    // Fourteen bell notes at once on a channel of twelve voices.
    for (int k = 0; k < 14; ++k) {
        bell.Note(k * kSixteenth, 4 * kBar - k * kSixteenth, 60 + 2 * k, 50 + 3 * k);
    }
    return MidiFile({&tempo, &acid, &reso, &noise, &bell}, kQuarter, 4 * kBar);
}

// ---- tools ------------------------------------------------------------------

void ToolVoices(SynthesizerEditor& editor) {
    { // channel 0: notes mapped through the tunings (controller 6) into a saw with a curved envelope
        GraphBuilder g(editor, editor.Patches().Voice(0), 0);
        CNode* voice = g.VoiceParams();
        CNode* map = g.Module(ModuleId::MapNoteAdvanced);
        g.Link(voice, voiceparams::kNote, map, mapnote2::kNote);
        g.Controller(map, mapnote2::kTuning, 6, Steps(0));
        g.Set(map, mapnote2::kMaster, Level(0.45));
        g.Set(map, mapnote2::kBase, Steps(3));
        CNode* osc = g.Oscillator(map, 0, kSaw, Level(0.5));
        CNode* curve = g.Module(ModuleId::ExponentialEnvelope);
        g.Set(curve, expenv::kAttack, Ms(20.0));
        g.Set(curve, expenv::kDecay, Ms(200.0));
        g.Set(curve, expenv::kSustain, Ms(400.0));
        g.Set(curve, expenv::kCurveA, Level(0.2));
        g.Set(curve, expenv::kCurveD, Level(0.8));
        g.Set(curve, expenv::kCurveS, Level(0.6));
        g.Set(curve, expenv::kStart, Level(0.0));
        g.Set(curve, expenv::kAttackVolume, Level(1.0));
        g.Set(curve, expenv::kDecayVolume, Level(0.6));
        g.Set(curve, expenv::kSustainVolume, Level(0.4));
        g.FinishVoice(voice, g.Product(osc, 0, curve, 0), 0, 120.0);
    }
    { // channel 1: a square on a phase hard-synced to a lower one, its level sampled and held from an LFO
        GraphBuilder g(editor, editor.Patches().Voice(1), 1);
        CNode* voice = g.VoiceParams();
        CNode* master = g.Module(kPhase);
        g.Link(NoteFrequency(g, voice), 0, master, 0);
        g.Set(master, 1, Level(0.3)); // pulse width
        CNode* synced = g.Module(ModuleId::SyncPhase);
        g.Link(master, 0, synced, 0);
        g.Link(NoteFrequency(g, voice, 19, 5.0), 0, synced, 1);
        CNode* osc = g.Module(kOsc);
        g.Link(synced, 0, osc, osc::kPhaseIn);
        g.Set(osc, osc::kType, kSquare);
        CNode* clock = g.Module(kLfo);
        g.Set(clock, lfo::kFrequency, Steps(90));
        g.Set(clock, lfo::kType, kSquare);
        CNode* random = g.Module(kLfo);
        g.Set(random, lfo::kFrequency, Steps(100));
        g.Set(random, lfo::kType, kNoise);
        g.Link(voice, voiceparams::kOff, random, lfo::kReset);
        CNode* hold = g.Module(ModuleId::SH);
        g.Link(clock, 0, hold, 0);
        g.Link(random, 0, hold, 1);
        CNode* positive = g.Module(ModuleId::ScaleUp);
        g.Link(hold, 0, positive, 0);
        CNode* level = g.Module(kModulate);
        g.Set(level, modulate::kTarget, Level(0.2));
        g.Link(positive, 0, level, modulate::kSource);
        g.Set(level, modulate::kAmount, Level(0.3));
        g.Link(level, 0, osc, osc::kAmplification);
        CNode* envelope = g.Envelope(4.0, 120.0, 250.0, 1.0, 0.6, 0.5);
        g.FinishVoice(voice, g.Product(osc, 0, envelope, 0), 0, 90.0);
    }
    { // channel 2: the note mapped per sample, a sine shaped by 1 - x, clamp and invert of an envelope
        GraphBuilder g(editor, editor.Patches().Voice(2), 2);
        CNode* voice = g.VoiceParams();
        CNode* map = g.Module(ModuleId::MapNoteHighres);
        g.Link(voice, voiceparams::kNote, map, 0);
        CNode* phase = g.Module(kPhase);
        g.Link(map, 0, phase, 0);
        CNode* osc = g.Module(kOsc);
        g.Link(phase, 0, osc, osc::kPhaseIn);
        g.Set(osc, osc::kType, kSineCosine);
        CNode* fine = g.Module(ModuleId::Highres);
        g.Set(fine, 0, Level(0.5));
        g.Controller(fine, 1, 7, Level(0.25));
        g.Link(fine, 0, osc, osc::kAmplification);
        CNode* envelope = g.Envelope(30.0, 200.0, 300.0, 1.2, 0.8, 0.5); // overshoots 1
        CNode* flipped = g.Module(ModuleId::OneMinusX);
        g.Link(envelope, 0, flipped, 0);
        CNode* clamped = g.Module(ModuleId::Clamp);
        g.Link(flipped, 0, clamped, 0);
        CNode* negated = g.Module(ModuleId::Invert);
        g.Link(clamped, 0, negated, 0);
        CNode* shape = g.Module(ModuleId::Bias);
        g.Link(negated, 0, shape, 0);
        g.Set(shape, 1, Level(1.0));
        g.FinishVoice(voice, g.Product(osc, 0, shape, 0), 0, 300.0);
    }
    { // channel 3: a pad of many voices, sine-cosine tones with a transposed partner and a wobble
        GraphBuilder g(editor, editor.Patches().Voice(3), 3);
        CNode* voice = g.VoiceParams();
        CNode* low = g.Oscillator(NoteFrequency(g, voice), 0, kSineCosine, Level(0.3));
        CNode* high = g.Oscillator(NoteFrequency(g, voice, 12, -7.0), 0, kTriangle, Level(0.2));
        CNode* wobble = g.Module(kLfo);
        g.Set(wobble, lfo::kFrequency, Steps(70));
        g.Set(wobble, lfo::kPulseWidth, Level(0.4));
        g.Set(wobble, lfo::kType, kSaw);
        CNode* depth = g.Module(ModuleId::ScaleDown);
        g.Link(wobble, 0, depth, 0);
        CNode* level = g.Module(kModulate);
        g.Set(level, modulate::kTarget, Level(0.7));
        g.Link(depth, 0, level, modulate::kSource);
        g.Set(level, modulate::kAmount, Level(0.2));
        CNode* sum = g.Module(kAmp);
        g.Link(g.Sum(low, 0, high, 0), 0, sum, amp::kSource);
        g.Link(level, 0, sum, amp::kAmount);
        CNode* curve = g.Module(ModuleId::ExponentialEnvelope);
        g.Set(curve, expenv::kAttack, Ms(300.0));
        g.Set(curve, expenv::kDecay, Ms(500.0));
        g.Set(curve, expenv::kSustain, Ms(800.0));
        g.Set(curve, expenv::kCurveA, Level(0.7));
        g.Set(curve, expenv::kCurveD, Level(0.3));
        g.Set(curve, expenv::kCurveS, Level(0.5));
        g.Set(curve, expenv::kAttackVolume, Level(1.0));
        g.Set(curve, expenv::kDecayVolume, Level(0.7));
        g.Set(curve, expenv::kSustainVolume, Level(0.6));
        g.FinishVoice(voice, g.Product(sum, 0, curve, 0), 0, 400.0);
    }
}

void ToolChannels(SynthesizerEditor& editor) {
    // Gain in decibels on controller 8, a copy split into two balanced halves.
    ChannelWith(editor, 0, 0.8, 0.3, 0.0, [](GraphBuilder& g, CNode* level) {
        CNode* loud = g.Module(ModuleId::Gain);
        g.Link(level, 0, loud, 0);
        g.Controller(loud, 1, 8, Level(0.45));
        CNode* twin = g.Module(ModuleId::Copy);
        g.Link(loud, 0, twin, 0);
        CNode* weights = g.Module(ModuleId::Balance);
        g.Set(weights, 0, Level(0.3));
        CNode* first = g.Module(kAmp);
        g.Link(twin, 0, first, amp::kSource);
        g.Link(weights, 0, first, amp::kAmount);
        CNode* second = g.Module(kAmp);
        g.Link(twin, 1, second, amp::kSource);
        g.Link(weights, 1, second, amp::kAmount);
        return g.Sum(first, 0, second, 0);
    });
    for (int channel = 1; channel < 4; ++channel) {
        ChannelWith(editor, channel, 0.7, 0.2 + 0.25 * channel, 0.0,
                    [](GraphBuilder&, CNode* level) { return level; });
    }
}

void ToolMaster(SynthesizerEditor& editor) {
    ClearBuses(editor);
    GraphBuilder g(editor, editor.Patches().Mix(), 0);
    // The audio input (silent here) and the buses, mixed four and eight wide.
    CNode* input = g.Module(ModuleId::Input);
    CNode* left = g.Module(ModuleId::Mix4);
    g.Link(g.BufferOut(kBusLeft), 0, left, 0);
    g.Link(input, 0, left, 1);
    CNode* right = g.Module(ModuleId::Mix8);
    g.Link(g.BufferOut(kBusRight), 0, right, 0);
    for (int k = 1; k < 8; ++k) {
        g.Link(input, k, right, k);
    }
    CNode* mul = g.Module(kMul);
    g.Link(left, 0, mul, 0);
    CNode* unity = g.Module(kSet);
    g.Set(unity, 0, Level(0.9));
    g.Link(unity, 0, mul, 1);
    CNode* debug = g.Module(ModuleId::DebugNode);
    g.Link(mul, 0, debug, 3);
    CNode* out = g.Module(kOutput);
    CNode* clips[2] = {g.Module(ModuleId::Clip), g.Module(ModuleId::Clip)};
    g.Link(mul, 0, clips[0], 0);
    g.Link(right, 0, clips[1], 0);
    for (int side = 0; side < 2; ++side) {
        g.Set(clips[side], 1, Level(0.95));
        g.Link(clips[side], 0, out, side);
    }
}

std::vector<uint8_t> ToolSong() {
    Track tempo("tempo", 0);
    tempo.Meta(0, 0x51, {0x07, 0xA1, 0x20});
    Track tuned("korvax ch00", 0);
    Track synced("korvax ch01", 1);
    Track shaped("korvax ch02", 2);
    Track pad("korvax ch03", 3);
    const int scale[8] = {60, 62, 64, 65, 67, 69, 71, 72};
    for (int bar = 0; bar < 4; ++bar) {
        tuned.Controller(bar * kBar, 6, 4 + 9 * bar * 2); // a different tuning each bar
        tuned.Controller(bar * kBar, 8, 50 + 10 * bar);   // channel gain
        for (int i = 0; i < 8; ++i) {
            const int at = bar * kBar + i * kEighth;
            tuned.Note(at, kEighth, scale[(i * 3 + bar) % 8], 70 + 5 * i);
            synced.Note(at + kSixteenth, kSixteenth, 48 + scale[i] % 12, 100);
            shaped.Controller(at, 7, 16 * i);
        }
        shaped.Note(bar * kBar, 2 * kQuarter, 72 + bar, 110);
        // The same note twice at one tick: the second takes a voice of its own.
        shaped.Note(bar * kBar + 2 * kQuarter, kQuarter, 76, 90);
        shaped.Note(bar * kBar + 2 * kQuarter, kQuarter, 76, 60);
    }
    // Sixteen pad notes at once on twelve voices.
    for (int k = 0; k < 16; ++k) {
        pad.Note(k * kEighth, 4 * kBar - k * kEighth, 48 + 3 * k, 40 + 4 * k);
    }
    return MidiFile({&tempo, &tuned, &synced, &shaped, &pad}, kQuarter, 4 * kBar);
}

// ---- both -------------------------------------------------------------------

bool Make(const std::string& directory, const char* name, void (*build)(SynthesizerEditor&),
          std::vector<uint8_t> (*song)()) {
    const char* program = "korvax-make-sets";
    ErrorLog log(program);
    auto editor = std::make_unique<SynthesizerEditor>(&log);
    try {
        build(*editor);
    } catch (const std::logic_error& error) {
        std::fprintf(stderr, "%s: building %s failed: %s\n", program, name, error.what());
        return false;
    }
    const std::string base = directory + "/" + name;
    if (!CompileAndSave(*editor, log, base + ".korvax", program) ||
        !WriteBytes(program, base + ".mid", song())) {
        return false;
    }
    std::printf("wrote %s.korvax and %s.mid\n", base.c_str(), base.c_str());
    return true;
}

void BuildFilters(SynthesizerEditor& editor) {
    FilterVoices(editor);
    FilterChannels(editor);
    FilterMaster(editor);
}

void BuildTools(SynthesizerEditor& editor) {
    ToolVoices(editor);
    ToolChannels(editor);
    ToolMaster(editor);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: korvax-make-sets DIRECTORY\n");
        return 64;
    }
    const bool made =
        Make(argv[1], "filters", BuildFilters, FilterSong) && Make(argv[1], "tools", BuildTools, ToolSong);
    return made ? 0 : 1;
}
