#pragma once

#include <cstdint>

namespace brl::Korvax {

// The note tables: 15 tunings of 128 notes each, as frequency ratios to note 69.
// 0 is equal temperament, 1 and 2 are built from interval scripts, 3..14 are
// tempered tunings. Shared by all synthesizers, built once on first use.
constexpr int kNoteTables = 15;
constexpr int kNotesPerTable = 128;

// Builds the tables if that has not happened yet. Thread-safe; the Synthesizer
// constructor calls it so that the audio thread never does the work.
void PrepareNoteTables() noexcept;

// The 128 entries of a tuning; an index outside 0..14 is clamped into it.
const float* NoteTable(int tuning) noexcept;

// Frequency in Hz of a note number (0..128, fractional notes interpolate
// geometrically) in a tuning, relative to master (Hz at note 69) and a base note.
float NoteFrequency(int tuning, float note, float master, int base) noexcept;

} // namespace brl::Korvax
