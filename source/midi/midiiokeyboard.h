#pragma once

#include "midi/midiio.h"

#include <cstdint>
#include <map>
#include <mutex>

namespace brl::Midi {

// The computer keyboard as a MIDI input, "DirectInput - Midi Keyboard". The
// window with the keyboard focus calls KeyDown and KeyUp with the hardware key
// code of each key event (the X key code that wx reports in GetRawKeyFlags(),
// Q is 24) and ReleaseAll when it loses the focus; filtering the key
// repeats of the platform is the caller's business, although a second KeyDown
// of a held key is ignored here.
//
// Keys sit where a piano's keys would on a US layout: the upper letter row
// plays the white keys from C of the current octave, the digit row the black
// keys above them, the lower letter and middle rows the octave below. F1..F9
// choose the octave 1..9; it starts at 5, so Q plays note 60.
//
// Each note key sends, on MIDI channel 1, a program change to program 0 and
// then a note on (key pressed) or note off (key released), velocity 127. A
// release sends the note-off of the note its press sounded, whatever the
// octave is by then.
//
// Threads: KeyDown, KeyUp and ReleaseAll from the GUI thread (any one thread
// at a time); events reach the handler on the stream's own thread.
class KeyboardStream : public QueuedInputStream {
public:
    static constexpr int kStartOctave = 5;
    static constexpr uint32_t kKeyF1 = 67;
    static constexpr uint32_t kKeyF9 = 75;
    static constexpr uint8_t kVelocity = 127;

    explicit KeyboardStream(const Logging::Logger& logger);
    ~KeyboardStream() override;

    // The key's distance in semitones from C of the current octave; false for
    // a key that plays no note.
    static bool NoteOffset(uint32_t rawKeyCode, int& offset);
    // The note a key plays in an octave: (octave x 12 + offset) mod 128.
    static uint8_t NoteOf(int octave, int offset);

    // True when the key belongs to the keyboard (a note or an F-key) and the
    // stream is started: the caller treats the key as consumed.
    bool KeyDown(uint32_t rawKeyCode);
    bool KeyUp(uint32_t rawKeyCode);
    // Releases every held note (the window lost the focus).
    void ReleaseAll();
    int Octave() const;

    bool ActiveByDefault() const override { return true; }

protected:
    bool Open() override;
    // Releases the held notes and delivers those releases before it returns.
    void Close() override;

private:
    // Program change and note on or off of one note, queued in that order.
    void PostNote(uint8_t status, uint8_t note);
    void ReleaseAllLocked();

    mutable std::mutex keysMutex_;
    bool accepting_ = false;
    int octave_ = kStartOctave;
    std::map<uint32_t, uint8_t> held_; // key code -> note its press sounded
};

// The "keyboard" backend: its one input, the KeyboardStream.
class IoKeyboard : public Io {
public:
    explicit IoKeyboard(const Logging::Logger& logger);
    KeyboardStream& Stream() { return *stream_; }

private:
    KeyboardStream* stream_;
};

} // namespace brl::Midi
