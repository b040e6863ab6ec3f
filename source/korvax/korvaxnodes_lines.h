#pragma once

#include <cstdint>

namespace brl::Korvax {

// Entries of every delay line: ten seconds at the default sample rate.
constexpr int kLineLength = 960000;

// The ring buffer of the delay-type modules, held inside its node, so that the
// node is one allocation that either succeeds or not. Built off the audio
// thread; Clear, Read and Write run on the audio thread and allocate nothing.
//
// The storage is left as the allocator hands it over: entries are never read
// before they are written. A synthesizer that plays live has the program
// builder commit every page of its nodes before the first render (see
// Synthesizer::SetCommitNodeMemory), since a fresh page first touched while
// rendering would stall the audio thread in a page fault; an offline render
// skips that and only ever touches the part of a ten-second line it uses.
//
// Clear costs O(1), yet reads behave exactly as if every entry had been set to
// zero. This rests on
// how the modules move their write position: it starts at 0 after Clear and then
// either advances by one or jumps back to a position already written, so the
// entries written since Clear always form a prefix [0, written). A read beyond
// that prefix returns 0.
//
// Read<true> and Write<true> skip the bookkeeping; a caller uses them only for a
// block in which every position it touches already lies inside the prefix.
template <typename T> class DelayLine {
public:
    DelayLine() noexcept {} // entries stay uninitialised (see above)
    DelayLine(const DelayLine&) = delete;
    DelayLine& operator=(const DelayLine&) = delete;

    void Clear() noexcept { written = 0; }

    // Number of entries written since Clear (they are [0, Written())).
    int Written() const noexcept { return written; }
    bool Full() const noexcept { return written == kLineLength; }

    // position in [0, kLineLength).
    template <bool kInside = false> T Read(int position) const noexcept {
        if constexpr (kInside) {
            return entries[position];
        } else {
            return position < written ? entries[position] : T(0);
        }
    }

    // position in [0, Written()]: at most one past the written prefix.
    template <bool kInside = false> void Write(int position, T value) noexcept {
        entries[position] = value;
        if constexpr (!kInside) {
            written += position == written ? 1 : 0;
        }
    }

    // The raw entries; only [0, Written()) hold values.
    const T* Entries() const noexcept { return entries; }
    T* Entries() noexcept { return entries; }

private:
    int written = 0;
    T entries[kLineLength];
};

// The next write position of a line indexed modulo kLineLength.
inline int NextLinePosition(int position) noexcept {
    return position + 1 == kLineLength ? 0 : position + 1;
}

// Position `distance` entries behind `position`, for distance in [0, kLineLength).
inline int LinePositionBehind(int position, int distance) noexcept {
    const int behind = position - distance;
    return behind < 0 ? behind + kLineLength : behind;
}

} // namespace brl::Korvax
