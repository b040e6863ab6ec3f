#include "midi/midiiokeyboard.h"

#include <span>

namespace brl::Midi {

namespace {

struct KeyOffset {
    uint32_t key; // X hardware key code on a US layout
    int offset;
};

// Upper letter row Q W E R T Y U I O P.
constexpr KeyOffset kUpperRow[] = {{24, 0}, {25, 2},  {26, 4},  {27, 5},  {28, 7},
                                   {29, 9}, {30, 11}, {31, 12}, {32, 14}, {33, 16}};
// Digit row 2 3 5 6 7 9 0.
constexpr KeyOffset kDigitRow[] = {{11, 1}, {12, 3}, {14, 6}, {15, 8}, {16, 10}, {18, 13}, {19, 15}};
// Lower letter row Z X C V B N M and the comma.
constexpr KeyOffset kLowerRow[] = {{52, -12}, {53, -10}, {54, -8}, {55, -7},
                                   {56, -5},  {57, -3},  {58, -1}, {59, 0}};
// Middle row S D G H J L. The key with scan code 0x92 has no counterpart on a
// US layout and is left out.
constexpr KeyOffset kMiddleRow[] = {{39, -11}, {40, -9}, {42, -6}, {43, -4}, {44, -2}, {46, 1}};

constexpr std::span<const KeyOffset> kRows[] = {kUpperRow, kDigitRow, kLowerRow, kMiddleRow};

// Key events held between the window and the stream's thread; each makes two
// messages.
constexpr size_t kKeyEventCapacity = 64;

} // namespace

KeyboardStream::KeyboardStream(const Logging::Logger& logger)
    : QueuedInputStream(L"DirectInput - Midi Keyboard", logger, 2 * kKeyEventCapacity) {}

KeyboardStream::~KeyboardStream() {
    Stop();
}

bool KeyboardStream::NoteOffset(uint32_t rawKeyCode, int& offset) {
    for (const std::span<const KeyOffset> row : kRows) {
        for (const KeyOffset& entry : row) {
            if (entry.key == rawKeyCode) {
                offset = entry.offset;
                return true;
            }
        }
    }
    return false;
}

uint8_t KeyboardStream::NoteOf(int octave, int offset) {
    const int note = (octave * 12 + offset) % 128;
    return static_cast<uint8_t>(note < 0 ? note + 128 : note);
}

bool KeyboardStream::KeyDown(uint32_t rawKeyCode) {
    std::lock_guard<std::mutex> lock(keysMutex_);
    if (!accepting_) {
        return false;
    }
    if (rawKeyCode >= kKeyF1 && rawKeyCode <= kKeyF9) {
        octave_ = static_cast<int>(rawKeyCode - kKeyF1) + 1;
        BRL_LOG_VERBOSE(logger_, "midi keyboard octave ", octave_);
        return true;
    }
    int offset = 0;
    if (!NoteOffset(rawKeyCode, offset)) {
        return false;
    }
    if (held_.count(rawKeyCode) != 0) {
        return true;
    }
    const uint8_t note = NoteOf(octave_, offset);
    held_[rawKeyCode] = note;
    PostNote(0x90, note);
    return true;
}

bool KeyboardStream::KeyUp(uint32_t rawKeyCode) {
    std::lock_guard<std::mutex> lock(keysMutex_);
    if (!accepting_) {
        return false;
    }
    if (rawKeyCode >= kKeyF1 && rawKeyCode <= kKeyF9) {
        return true;
    }
    int offset = 0;
    if (!NoteOffset(rawKeyCode, offset)) {
        return false;
    }
    const auto it = held_.find(rawKeyCode);
    if (it != held_.end()) {
        PostNote(0x80, it->second);
        held_.erase(it);
    }
    return true;
}

void KeyboardStream::ReleaseAll() {
    std::lock_guard<std::mutex> lock(keysMutex_);
    ReleaseAllLocked();
}

int KeyboardStream::Octave() const {
    std::lock_guard<std::mutex> lock(keysMutex_);
    return octave_;
}

bool KeyboardStream::Open() {
    if (!OpenPump()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(keysMutex_);
    accepting_ = true;
    return true;
}

void KeyboardStream::Close() {
    {
        std::lock_guard<std::mutex> lock(keysMutex_);
        ReleaseAllLocked();
        accepting_ = false;
    }
    ClosePump(true);
}

void KeyboardStream::PostNote(uint8_t status, uint8_t note) {
    if (!Post(Stamp(0xC0, 0, 0)) || !Post(Stamp(status, note, kVelocity))) {
        BRL_LOG_WARNING(logger_, "midi keyboard event discarded");
    }
}

void KeyboardStream::ReleaseAllLocked() {
    for (const auto& [key, note] : held_) {
        PostNote(0x80, note);
    }
    held_.clear();
}

IoKeyboard::IoKeyboard(const Logging::Logger& logger) : Io(L"keyboard", logger) {
    auto stream = std::make_unique<KeyboardStream>(logger);
    stream_ = stream.get();
    AddInput(std::move(stream));
}

} // namespace brl::Midi
