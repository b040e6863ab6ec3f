#pragma once

#include "korvax/korvaxcatalogue.h"
#include "libbrelm/string.h"

#include <pugixml.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// MIDI learn: assignments of a MIDI controller (MIDI channel 0..15, CC number
// 0..119) to a synthesizer controller (channel 0..31, number 0..255). A CC
// that matches an assignment drives that controller and does not reach the
// default conversion of controller messages. "Learn" arms the next incoming CC
// for one controller; "forget" removes a controller's assignment. A
// controller has at most one CC; a CC drives at most one controller.
//
// The table is 16 x 120 atomic words, so the MIDI input threads look up and
// learn without a lock or an allocation while the GUI thread changes it.
//
// Threads: Match on the MIDI input threads (several at once); everything
// else on the editing thread (the GUI). Generation from any thread.
namespace brl::Korvax {

class MidiLearn {
public:
    static constexpr int kMidiChannels = 16;
    static constexpr int kLearnableControllers = 120; // 120..127 are channel mode messages
    static constexpr const char* kElement = "midilearn";

    struct Assignment {
        int midiChannel = 0;
        int cc = 0;
        int channel = 0;
        int number = 0;
        bool operator==(const Assignment&) const = default;
    };
    // What a matching CC does: the controller and the value to give it.
    struct Hit {
        int channel = -1;
        int number = -1;
        float value = 0.0f;
    };

    // The value a CC value 0..127 gives a controller of this range kind, as the
    // controller's widget would set it: a slider's position cc (cc / 128); for
    // the discrete kinds the 0..127 travel is spread over the entries and the
    // middle value of the chosen entry is set.
    static float ControllerValue(PinKind kind, int ccValue) noexcept;
    // The entries of a discrete kind (oscillator 6, distortion 8, filter 6); 0 otherwise.
    static int DiscreteEntries(PinKind kind) noexcept;

    // Arms learning for a controller: the next CC that Match sees is assigned
    // to it. False for a controller outside 0..31 / 0..255.
    bool Learn(int channel, int number, PinKind kind);
    void CancelLearn() noexcept;
    // The controller waiting for its CC.
    std::optional<std::pair<int, int>> Learning() const noexcept;

    // Assigns a CC directly (file loading, tests); replaces what the CC and
    // the controller had. False when a number is out of range.
    bool Assign(const Assignment& assignment, PinKind kind);
    // Removes the controller's assignment; false when it had none.
    bool Forget(int channel, int number);
    void Clear();

    std::vector<Assignment> Assignments() const;
    std::optional<Assignment> Find(int channel, int number) const;
    bool Empty() const;
    // Counts every change (learn, assign, forget, clear), for windows that show
    // the assignments.
    uint32_t Generation() const noexcept { return generation.load(std::memory_order_acquire); }

    // Takes the range kinds anew after the patch set changed (after a compile).
    void UpdateKinds(const std::function<PinKind(int channel, int number)>& kindOf);

    // MIDI input thread: a CC (status 0xB0 | midiChannel, cc, ccValue). When
    // learning is armed the CC is assigned first. True (and `hit` filled) when
    // the CC is assigned; it is then consumed.
    bool Match(int midiChannel, int cc, int ccValue, Hit& hit) noexcept;

    // The element under the patch file's root: nothing without assignments, so
    // such a patch saves as it always did.
    void Save(pugi::xml_node root) const;
    // Reads the root's element (none: no assignments) into `out` without
    // changing this table. False with `problem` for a malformed entry.
    static bool Read(pugi::xml_node root, std::vector<Assignment>& out, String& problem);

private:
    // A table word: 0 for none, else kUsed | entries << 16 | channel << 8 | number.
    static constexpr uint32_t kUsed = 0x80000000u;
    static uint32_t Pack(int channel, int number, PinKind kind) noexcept;
    static int Slot(int midiChannel, int cc) noexcept { return midiChannel * kLearnableControllers + cc; }
    // Clears every slot that drives (channel, number); true when one did.
    bool ClearTarget(int channel, int number) noexcept;
    void Changed() noexcept { generation.fetch_add(1, std::memory_order_acq_rel); }

    std::array<std::atomic<uint32_t>, kMidiChannels * kLearnableControllers> table{};
    std::atomic<uint32_t> armed{0};
    std::atomic<uint32_t> generation{0};
};

} // namespace brl::Korvax
