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
#include "patch_builder.h"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using namespace korvax_demo;

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

int Run(const std::string& path) {
    ErrorLog log("korvax-make-demo");
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
    if (!CompileAndSave(*editor, log, path, "korvax-make-demo")) {
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
