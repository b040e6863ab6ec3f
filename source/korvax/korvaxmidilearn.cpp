#include "korvax/korvaxmidilearn.h"

#include "korvax/korvaxeditor.h"
#include "korvax/korvaxpatchset.h"

#include <algorithm>

namespace brl::Korvax {

namespace {

bool ValidTarget(int channel, int number) noexcept {
    return channel >= 0 && channel < kChannels && number >= 0 && number < kControllersPerChannel;
}

bool ValidSource(int midiChannel, int cc) noexcept {
    return midiChannel >= 0 && midiChannel < MidiLearn::kMidiChannels && cc >= 0 &&
           cc < MidiLearn::kLearnableControllers;
}

float ValueFromEntries(int entries, int ccValue) noexcept {
    const int steps = std::clamp(ccValue, 0, 127);
    if (entries <= 0) {
        return static_cast<float>(steps) / 128.0f;
    }
    // The middle of the entry's 16 steps, as the combo box sets it.
    const int entry = steps * entries / 128;
    return static_cast<float>(entry * 16 + 8) / 128.0f;
}

bool ReadNumber(pugi::xml_node element, const char* name, int hi, int& out) {
    const std::optional<int64_t> value = ParseDecimal(element.attribute(name).value());
    if (!value || *value < 0 || *value > hi) {
        return false;
    }
    out = static_cast<int>(*value);
    return true;
}

} // namespace

int MidiLearn::DiscreteEntries(PinKind kind) noexcept {
    switch (kind) {
    case PinKind::DiscretOsc:
        return 6;
    case PinKind::DiscretDistortion:
        return 8;
    case PinKind::DiscretFilter:
        return 6;
    default:
        return 0;
    }
}

float MidiLearn::ControllerValue(PinKind kind, int ccValue) noexcept {
    return ValueFromEntries(DiscreteEntries(kind), ccValue);
}

uint32_t MidiLearn::Pack(int channel, int number, PinKind kind) noexcept {
    return kUsed | static_cast<uint32_t>(DiscreteEntries(kind)) << 16 | static_cast<uint32_t>(channel) << 8 |
           static_cast<uint32_t>(number);
}

bool MidiLearn::Learn(int channel, int number, PinKind kind) {
    if (!ValidTarget(channel, number)) {
        return false;
    }
    armed.store(Pack(channel, number, kind), std::memory_order_release);
    Changed();
    return true;
}

void MidiLearn::CancelLearn() noexcept {
    if (armed.exchange(0, std::memory_order_acq_rel) != 0) {
        Changed();
    }
}

std::optional<std::pair<int, int>> MidiLearn::Learning() const noexcept {
    const uint32_t word = armed.load(std::memory_order_acquire);
    if (word == 0) {
        return std::nullopt;
    }
    return std::make_pair(static_cast<int>(word >> 8 & 0xFF), static_cast<int>(word & 0xFF));
}

bool MidiLearn::ClearTarget(int channel, int number) noexcept {
    const uint32_t target = static_cast<uint32_t>(channel) << 8 | static_cast<uint32_t>(number);
    bool cleared = false;
    for (std::atomic<uint32_t>& slot : table) {
        const uint32_t word = slot.load(std::memory_order_acquire);
        if (word != 0 && (word & 0xFFFF) == target) {
            slot.store(0, std::memory_order_release);
            cleared = true;
        }
    }
    return cleared;
}

bool MidiLearn::Assign(const Assignment& assignment, PinKind kind) {
    if (!ValidSource(assignment.midiChannel, assignment.cc) ||
        !ValidTarget(assignment.channel, assignment.number)) {
        return false;
    }
    ClearTarget(assignment.channel, assignment.number);
    table[static_cast<size_t>(Slot(assignment.midiChannel, assignment.cc))].store(
        Pack(assignment.channel, assignment.number, kind), std::memory_order_release);
    Changed();
    return true;
}

bool MidiLearn::Forget(int channel, int number) {
    if (!ValidTarget(channel, number) || !ClearTarget(channel, number)) {
        return false;
    }
    Changed();
    return true;
}

void MidiLearn::Clear() {
    armed.store(0, std::memory_order_release);
    for (std::atomic<uint32_t>& slot : table) {
        slot.store(0, std::memory_order_release);
    }
    Changed();
}

std::vector<MidiLearn::Assignment> MidiLearn::Assignments() const {
    std::vector<Assignment> out;
    for (int midiChannel = 0; midiChannel < kMidiChannels; ++midiChannel) {
        for (int cc = 0; cc < kLearnableControllers; ++cc) {
            const uint32_t word =
                table[static_cast<size_t>(Slot(midiChannel, cc))].load(std::memory_order_acquire);
            if (word != 0) {
                out.push_back(
                    {midiChannel, cc, static_cast<int>(word >> 8 & 0xFF), static_cast<int>(word & 0xFF)});
            }
        }
    }
    return out;
}

std::optional<MidiLearn::Assignment> MidiLearn::Find(int channel, int number) const {
    for (const Assignment& assignment : Assignments()) {
        if (assignment.channel == channel && assignment.number == number) {
            return assignment;
        }
    }
    return std::nullopt;
}

bool MidiLearn::Empty() const {
    return std::all_of(table.begin(), table.end(), [](const std::atomic<uint32_t>& slot) {
        return slot.load(std::memory_order_acquire) == 0;
    });
}

void MidiLearn::UpdateKinds(const std::function<PinKind(int, int)>& kindOf) {
    for (std::atomic<uint32_t>& slot : table) {
        const uint32_t word = slot.load(std::memory_order_acquire);
        if (word != 0) {
            const int channel = static_cast<int>(word >> 8 & 0xFF);
            const int number = static_cast<int>(word & 0xFF);
            // Only where the slot still holds the same word: the MIDI thread may
            // have learned something else meanwhile.
            uint32_t expected = word;
            slot.compare_exchange_strong(expected, Pack(channel, number, kindOf(channel, number)),
                                         std::memory_order_acq_rel);
        }
    }
}

bool MidiLearn::Match(int midiChannel, int cc, int ccValue, Hit& hit) noexcept {
    if (!ValidSource(midiChannel, cc)) {
        return false;
    }
    std::atomic<uint32_t>& slot = table[static_cast<size_t>(Slot(midiChannel, cc))];
    if (armed.load(std::memory_order_acquire) != 0) {
        const uint32_t learned = armed.exchange(0, std::memory_order_acq_rel);
        if (learned != 0) {
            ClearTarget(static_cast<int>(learned >> 8 & 0xFF), static_cast<int>(learned & 0xFF));
            slot.store(learned, std::memory_order_release);
            Changed();
        }
    }
    const uint32_t word = slot.load(std::memory_order_acquire);
    if (word == 0) {
        return false;
    }
    hit.channel = static_cast<int>(word >> 8 & 0xFF);
    hit.number = static_cast<int>(word & 0xFF);
    hit.value = ValueFromEntries(static_cast<int>(word >> 16 & 0x0F), ccValue);
    return true;
}

void MidiLearn::Save(pugi::xml_node root) const {
    const std::vector<Assignment> assignments = Assignments();
    if (assignments.empty()) {
        return;
    }
    pugi::xml_node element = root.append_child(kElement);
    for (const Assignment& assignment : assignments) {
        pugi::xml_node entry = element.append_child("cc");
        entry.append_attribute("midi_channel") = assignment.midiChannel;
        entry.append_attribute("cc") = assignment.cc;
        entry.append_attribute("channel") = assignment.channel;
        entry.append_attribute("number") = assignment.number;
    }
}

bool MidiLearn::Read(pugi::xml_node root, std::vector<Assignment>& out, String& problem) {
    out.clear();
    for (pugi::xml_node entry : root.child(kElement).children("cc")) {
        Assignment assignment;
        if (!ReadNumber(entry, "midi_channel", kMidiChannels - 1, assignment.midiChannel) ||
            !ReadNumber(entry, "cc", kLearnableControllers - 1, assignment.cc) ||
            !ReadNumber(entry, "channel", kChannels - 1, assignment.channel) ||
            !ReadNumber(entry, "number", kControllersPerChannel - 1, assignment.number)) {
            problem = L"bad midi learn entry";
            return false;
        }
        out.push_back(assignment);
    }
    return true;
}

} // namespace brl::Korvax
