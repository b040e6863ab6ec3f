#pragma once

#include "libbrelm/string.h"

#include <cstdint>

namespace brl::Time {
class Clock;
} // namespace brl::Time

namespace brl::Midi {

// One short MIDI message (channel or system message, no system exclusive data)
// with the time at which its stream received it. A plain value: copied freely
// between the stream threads and their handlers.
struct Event {
    uint8_t status = 0;           // status byte, 0x80..0xFF for a valid message
    uint8_t data1 = 0;            // first data byte
    uint8_t data2 = 0;            // second data byte, 0 when the message has none
    uint64_t time = 0;            // reading of `clock` when the event was made; 0 without a clock
    Time::Clock* clock = nullptr; // the clock that stamped `time`, not owned

    Event() = default;
    // An event with the given bytes and time; nothing is read from the clock.
    Event(uint8_t status, uint8_t data1, uint8_t data2, uint64_t time = 0, Time::Clock* clock = nullptr);

    // An event stamped with the clock's current reading (time 0 when `clock` is null).
    static Event Stamped(Time::Clock* clock, uint8_t status, uint8_t data1, uint8_t data2);
    // An event from a platform message word: status in bits 0..7, data1 in 8..15,
    // data2 in 16..23; stamped like Stamped().
    static Event FromMessageWord(Time::Clock* clock, uint32_t word);
};

// Number of bytes of the message that starts with `status`: 3 for note off, note
// on, key pressure, control change, pitch bend and song position, 2 for program
// change, channel pressure, quarter frame and song select, 1 for the other system
// bytes. A data byte (top bit clear) is not a status: 3, so that all bytes show.
int MessageLength(uint8_t status);

// The event as one line of text, as the logs and the MIDI monitor show it, e.g.
// "raw:903C7F   Ch:00 Not:C-5 Vol:127   Note On              ".
String EventText(const Event& event);

} // namespace brl::Midi
