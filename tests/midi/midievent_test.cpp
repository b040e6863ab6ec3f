#include "midi/midievent.h"

#include <gtest/gtest.h>

using brl::Midi::Event;

TEST(MidiEventText, EachMessageClassHasItsOwnLayout) {
    struct Case {
        uint8_t status, data1, data2;
        const wchar_t* text;
    };
    const Case cases[] = {
        {0x90, 0x3C, 0x00, L"raw:903C00   Ch:00 Not:C-5 Vol:  0   Note Off             "},
        {0x85, 0x3D, 0x40, L"raw:853D40   Ch:05 Not:C#5 Vol: 64   Note Off             "},
        {0x9F, 0x7F, 0x01, L"raw:9F7F01   Ch:15 Not:G-10 Vol:  1   Note On              "},
        {0xA3, 0x40, 0x20, L"raw:A34020   Ch:03                   Key Aftertouch       "},
        {0xB1, 0x07, 0x64, L"raw:B10764   Ch:01 Ctr:  7 Val:100   Control Change       "},
        {0xC2, 0x28, 0x00, L"raw:C228     Ch:02 Prg: 40           Program Change       "},
        {0xDA, 0x05, 0x00, L"raw:DA05     Ch:10         ChA:  5   Channel Aftertouch   "},
        {0xE0, 0x7F, 0x7F, L"raw:E07F7F   Ch:00 Pitch: 8191         Pitch Bend           "},
        {0xE0, 0x00, 0x00, L"raw:E00000   Ch:00 Pitch:-8192         Pitch Bend           "},
        {0xF1, 0x23, 0x55, L"raw:F123                           MTC Quarter Frame    "},
        {0xF2, 0x10, 0x20, L"raw:F21020                         Song Position Pointer"},
        {0xF8, 0x11, 0x22, L"raw:F8                             Timing Clock         "},
        {0x3C, 0x40, 0x00, L"raw:3C4000                         UNKNOWN EVENT        "},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(brl::Midi::EventText(Event(c.status, c.data1, c.data2)), c.text) << int(c.status);
    }
}

TEST(MidiEvent, MessageLengthFollowsTheStatusClass) {
    const int lengths[][2] = {{0x80, 3}, {0x93, 3}, {0xA0, 3}, {0xBF, 3}, {0xC0, 2},
                              {0xD9, 2}, {0xE5, 3}, {0xF0, 1}, {0xF1, 2}, {0xF2, 3},
                              {0xF3, 2}, {0xF6, 1}, {0xF8, 1}, {0xFF, 1}, {0x3C, 3}};
    for (const auto& [status, length] : lengths) {
        EXPECT_EQ(brl::Midi::MessageLength(static_cast<uint8_t>(status)), length) << status;
    }
}
