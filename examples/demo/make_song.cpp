// korvax-make-song: writes the demo song as a Standard MIDI File (format 1,
// 96 ticks per quarter, 120 beats per minute): a tempo track and one track per
// instrument. Each instrument track is named "korvax chNN" (NN the synthesizer
// channel in hex), which routes the track to that channel on import.
//
// Thirteen bars in A minor over Am - F - C - G: pad and kick from the start,
// hat and bass from bar 3, lead and snare from bar 5, a closing chord in bar 13.
//
// usage: korvax-make-song OUTPUT.mid
#include "midi_writer.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

using korvax_demo::Track;

constexpr int kQuarter = 96;
constexpr int kEighth = kQuarter / 2;
constexpr int kSixteenth = kQuarter / 4;
constexpr int kBar = 4 * kQuarter;
constexpr int kBars = 13;
// The chord of each bar of the four-bar cycle: pad voicing and bass root.
struct Chord {
    int pad[3];
    int root;
};
const Chord kChords[4] = {
    {{57, 60, 64}, 45}, // A minor
    {{57, 60, 65}, 41}, // F major
    {{55, 60, 64}, 48}, // C major
    {{55, 59, 62}, 43}, // G major
};

// The lead: per bar a list of (start, length) in eighths and a note.
struct LeadNote {
    int start;
    int length;
    int note;
};
const std::vector<LeadNote> kMelody[8] = {
    {{0, 3, 76}, {3, 1, 74}, {4, 2, 72}, {6, 2, 71}}, {{0, 3, 72}, {3, 1, 74}, {4, 4, 69}},
    {{0, 2, 67}, {2, 2, 72}, {4, 3, 76}, {7, 1, 74}}, {{0, 4, 74}, {4, 2, 71}, {6, 2, 67}},
    {{0, 2, 81}, {2, 2, 79}, {4, 2, 76}, {6, 2, 72}}, {{0, 3, 77}, {3, 1, 76}, {4, 4, 72}},
    {{0, 2, 79}, {2, 2, 76}, {4, 2, 72}, {6, 2, 74}}, {{0, 3, 71}, {3, 1, 74}, {4, 4, 76}},
};

std::vector<uint8_t> MakeSong() {
    Track tempo("tempo", 0);
    tempo.Meta(0, 0x51, {0x07, 0xA1, 0x20});       // 500000 microseconds per quarter
    tempo.Meta(0, 0x58, {0x04, 0x02, 0x18, 0x08}); // 4/4

    Track bass("korvax ch00", 0);
    Track lead("korvax ch01", 1);
    Track pad("korvax ch02", 2);
    Track kick("korvax ch03", 3);
    Track hat("korvax ch04", 4);
    Track snare("korvax ch05", 5);

    constexpr int kKickNote = 55;
    constexpr int kHatNote = 60;
    constexpr int kSnareNote = 50;
    for (int bar = 0; bar < kBars - 1; ++bar) {
        const int at = bar * kBar;
        const Chord& chord = kChords[bar % 4];
        for (int note : chord.pad) {
            pad.Note(at, kBar, note, 64);
        }
        for (int beat = 0; beat < 4; ++beat) {
            kick.Note(at + beat * kQuarter, kEighth, kKickNote, beat == 0 ? 120 : 104);
        }
        if (bar >= 2) {
            // Root, octave and fifth in eighths, accents on the beats.
            const int pattern[8] = {0, 0, 12, 0, 0, 12, 0, 7};
            for (int i = 0; i < 8; ++i) {
                bass.Note(at + i * kEighth, kEighth, chord.root + pattern[i], i % 2 == 0 ? 108 : 84);
                hat.Note(at + i * kEighth + (i % 2 == 1 ? 0 : kSixteenth), kSixteenth, kHatNote,
                         i % 2 == 1 ? 96 : 52);
            }
        }
        if (bar >= 4) {
            for (const LeadNote& n : kMelody[bar - 4]) {
                lead.Note(at + n.start * kEighth, n.length * kEighth, n.note, 100);
            }
            snare.Note(at + kQuarter, kEighth, kSnareNote, 104);
            snare.Note(at + 3 * kQuarter, kEighth, kSnareNote, 110);
            if (bar == kBars - 2) {
                // A roll into the last bar.
                for (int i = 1; i < 4; ++i) {
                    snare.Note(at + 3 * kQuarter + i * kSixteenth, kSixteenth, kSnareNote, 70 + 12 * i);
                }
            }
        }
    }
    // The closing bar: the A minor chord held, one kick, the bass and lead on A.
    const int last = (kBars - 1) * kBar;
    for (int note : kChords[0].pad) {
        pad.Note(last, kBar, note, 72);
    }
    kick.Note(last, kEighth, kKickNote, 120);
    bass.Note(last, 2 * kQuarter, kChords[0].root, 108);
    lead.Note(last, 2 * kQuarter, 69, 96);

    return korvax_demo::MidiFile({&tempo, &bass, &lead, &pad, &kick, &hat, &snare}, kQuarter, kBars * kBar);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: korvax-make-song OUTPUT.mid\n");
        return 64;
    }
    const std::vector<uint8_t> song = MakeSong();
    if (!korvax_demo::WriteBytes("korvax-make-song", argv[1], song)) {
        return 1;
    }
    std::printf("wrote %s (%zu bytes)\n", argv[1], song.size());
    return 0;
}
