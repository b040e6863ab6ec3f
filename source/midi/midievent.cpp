#include "midi/midievent.h"

#include "libbrelm/time.h"

#include <cwchar>

namespace brl::Midi {

namespace {

const wchar_t kNoteNames[] = L"C-C#D-D#E-F-F#G-G#A-A#B-";

const wchar_t* const kSystemNames[16] = {
    L"System Exclusive",
    L"MTC Quarter Frame",
    L"Song Position Pointer",
    L"Song Select",
    L"Undefined",
    L"Undefined",
    L"Tune Request",
    L"System Exclusive End",
    L"Timing Clock",
    L"Undefined",
    L"Start",
    L"Continue",
    L"Stop",
    L"Undefined",
    L"Active Sensing",
    L"System Reset",
};

} // namespace

Event::Event(uint8_t status, uint8_t data1, uint8_t data2, uint64_t time, Time::Clock* clock)
    : status(status), data1(data1), data2(data2), time(time), clock(clock) {}

Event Event::Stamped(Time::Clock* clock, uint8_t status, uint8_t data1, uint8_t data2) {
    return Event(status, data1, data2, clock != nullptr ? clock->Now() : 0, clock);
}

Event Event::FromMessageWord(Time::Clock* clock, uint32_t word) {
    return Stamped(clock, static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>((word >> 8) & 0xFF),
                   static_cast<uint8_t>((word >> 16) & 0xFF));
}

int MessageLength(uint8_t status) {
    if (status < 0x80) {
        return 3;
    }
    switch (status & 0xF0) {
    case 0xC0:
    case 0xD0:
        return 2;
    case 0xF0:
        break;
    default:
        return 3;
    }
    switch (status) {
    case 0xF1:
    case 0xF3:
        return 2;
    case 0xF2:
        return 3;
    default:
        return 1;
    }
}

String EventText(const Event& event) {
    const unsigned status = event.status;
    const unsigned data1 = event.data1;
    const unsigned data2 = event.data2;
    const unsigned kind = status & 0xF0;
    const int channel = static_cast<int>(status & 0x0F);

    wchar_t text[160];
    const size_t size = sizeof(text) / sizeof(text[0]);
    int written = -1;
    switch (kind) {
    case 0x80:
    case 0x90: {
        const wchar_t* name = (kind == 0x90 && data2 != 0) ? L"Note On" : L"Note Off";
        const unsigned note = (data1 % 12) * 2;
        written = std::swprintf(text, size, L"raw:%02X%02X%02X   Ch:%02d Not:%lc%lc%1d Vol:%3d   %-21ls",
                                status, data1, data2, channel, static_cast<wint_t>(kNoteNames[note]),
                                static_cast<wint_t>(kNoteNames[note + 1]), static_cast<int>(data1 / 12),
                                static_cast<int>(data2), name);
        break;
    }
    case 0xA0:
        written = std::swprintf(text, size, L"raw:%02X%02X%02X   Ch:%02d                   %-21ls", status,
                                data1, data2, channel, L"Key Aftertouch");
        break;
    case 0xB0:
        written = std::swprintf(text, size, L"raw:%02X%02X%02X   Ch:%02d Ctr:%3d Val:%3d   %-21ls", status,
                                data1, data2, channel, static_cast<int>(data1), static_cast<int>(data2),
                                L"Control Change");
        break;
    case 0xC0:
        written = std::swprintf(text, size, L"raw:%02X%02X     Ch:%02d Prg:%3d           %-21ls", status,
                                data1, channel, static_cast<int>(data1), L"Program Change");
        break;
    case 0xD0:
        written = std::swprintf(text, size, L"raw:%02X%02X     Ch:%02d         ChA:%3d   %-21ls", status,
                                data1, channel, static_cast<int>(data1), L"Channel Aftertouch");
        break;
    case 0xE0: {
        const int pitch = (static_cast<int>(data2) - 64) * 128 + static_cast<int>(data1);
        written = std::swprintf(text, size, L"raw:%02X%02X%02X   Ch:%02d Pitch:%5d         %-21ls", status,
                                data1, data2, channel, pitch, L"Pitch Bend");
        break;
    }
    case 0xF0: {
        const wchar_t* name = kSystemNames[status & 0x0F];
        if (status == 0xF1 || status == 0xF3) {
            written = std::swprintf(text, size, L"raw:%02X%02X                           %-21ls", status,
                                    data1, name);
        } else if (status == 0xF2) {
            written = std::swprintf(text, size, L"raw:%02X%02X%02X                         %-21ls", status,
                                    data1, data2, name);
        } else {
            written = std::swprintf(text, size, L"raw:%02X                             %-21ls", status, name);
        }
        break;
    }
    default:
        written = std::swprintf(text, size, L"raw:%02X%02X%02X                         %-21ls", status, data1,
                                data2, L"UNKNOWN EVENT");
        break;
    }
    return written > 0 ? String(text, static_cast<size_t>(written)) : String();
}

} // namespace brl::Midi
