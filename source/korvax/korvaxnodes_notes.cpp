#include "korvax/korvaxnotes.h"

#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxmath.h"
#include "korvax/korvaxnodes_internal.h"

namespace brl::Korvax {

namespace {

struct Interval {
    int steps;
    int a;
    int b;
};

// Indexed by the third member of a script step.
constexpr Interval kIntervals[10] = {{2, 9, 8}, {3, 6, 5}, {4, 5, 4}, {5, 4, 3},   {7, 381, 256},
                                     {7, 3, 2}, {8, 8, 5}, {9, 5, 3}, {11, 15, 8}, {12, 2, 1}};

struct ScriptStep {
    int note;
    int direction; // 1 up by the interval, 255 down by it
    int interval;
};

constexpr ScriptStep kScriptA[] = {{69, 255, 2}, {65, 1, 4},   {72, 255, 9}, {60, 1, 4},  {67, 1, 4},
                                   {74, 255, 9}, {62, 1, 4},   {69, 1, 2},   {60, 1, 2},  {64, 1, 2},
                                   {62, 1, 2},   {67, 255, 2}, {67, 1, 2},   {74, 255, 2}};

constexpr ScriptStep kScriptB[] = {{69, 255, 5}, {62, 255, 5}, {55, 1, 9},   {67, 255, 5}, {60, 1, 9},
                                   {72, 255, 5}, {65, 255, 5}, {58, 1, 9},   {70, 255, 5}, {69, 255, 9},
                                   {57, 1, 5},   {64, 1, 5},   {71, 255, 9}, {59, 1, 5},   {66, 1, 5},
                                   {73, 255, 9}, {61, 1, 5},   {68, 255, 9}};

// Deviations from equal temperament in tenths of a cent, per pitch class.
constexpr int kDeviations[12][12] = {
    {30, -20, 10, 0, -10, 20, -30, 20, -10, 0, 10, -20},
    {50, 0, 10, 20, -10, 40, -10, 30, 10, 0, 30, -20},
    {60, 0, 20, 20, -10, 50, -10, 40, 10, 0, 40, -20},
    {60, -20, 20, 40, -20, 60, -30, 40, 0, 0, 50, -30},
    {60, -40, 20, 0, -20, 40, -60, 40, -20, 0, 20, -40},
    {60, -30, 20, -30, -20, 70, -50, 40, 0, 0, 50, -40},
    {70, -40, 20, 70, -20, 90, -70, 50, 0, 0, 110, -40},
    {105, 5, 35, 45, -35, 85, 5, 70, 25, 0, 65, -15},
    {120, 20, 40, 60, 20, 100, 0, 80, 40, 0, 80, 40},
    {105, -140, 35, 210, -35, 140, -105, 70, -175, 0, 175, -70},
    {82, -16, 28, 23, -27, 62, -35, 55, 4, 0, 43, -7},
    {0, -98, -54, -59, -109, -20, -117, -27, -78, -82, -39, -89},
};

template <size_t N> void BuildScriptTable(float* table, const ScriptStep (&script)[N]) {
    for (int n = 0; n < kNotesPerTable; ++n) {
        table[n] = 0.0f;
    }
    table[69] = 1.0f;
    for (const ScriptStep& step : script) {
        const Interval& interval = kIntervals[step.interval];
        const float a = static_cast<float>(interval.a);
        const float b = static_cast<float>(interval.b);
        if (step.direction == 1) {
            table[step.note + interval.steps] = table[step.note] * a / b;
        } else {
            table[step.note - interval.steps] = table[step.note] * b / a;
        }
    }
    // Fill the remaining notes by octaves until none is left empty.
    bool empty = true;
    while (empty) {
        empty = false;
        for (int n = 0; n < kNotesPerTable; ++n) {
            if (table[n] != 0.0f) {
                continue;
            }
            if (n + 12 < kNotesPerTable && table[n + 12] != 0.0f) {
                table[n] = table[n + 12] * 0.5f;
            }
            if (n >= 12 && table[n - 12] != 0.0f) {
                table[n] = table[n - 12] * 2.0f;
            }
            if (table[n] == 0.0f) {
                empty = true;
            }
        }
    }
}

struct NoteTables {
    float table[kNoteTables][kNotesPerTable];

    // Only the note-mapping modules read the tables, and only the advanced one
    // reads the tunings past equal temperament: a build that leaves the modules
    // out (a small player) leaves those tables zero and their code out.
    NoteTables() {
        if constexpr (ModuleEnabled(ModuleId::MapNote) || ModuleEnabled(ModuleId::MapNoteAdvanced)) {
            for (int n = 0; n < kNotesPerTable; ++n) {
                table[0][n] = Pow(2.0f, static_cast<float>(n - 69) * 0.083333336f);
            }
        }
        if constexpr (ModuleEnabled(ModuleId::MapNoteAdvanced)) {
            BuildTunings();
        }
    }

    void BuildTunings() {
        BuildScriptTable(table[1], kScriptA);
        BuildScriptTable(table[2], kScriptB);
        for (int k = 0; k < 12; ++k) {
            for (int n = 0; n < kNotesPerTable; ++n) {
                table[3 + k][n] =
                    table[0][n] * Pow(10.0f, static_cast<float>(kDeviations[k][n % 12]) * 2.5085834e-5f);
            }
        }
    }
};

const NoteTables& Tables() noexcept {
    static const NoteTables tables;
    return tables;
}

} // namespace

void PrepareNoteTables() noexcept {
    Tables();
}

const float* NoteTable(int tuning) noexcept {
    if (tuning < 0) {
        tuning = 0;
    } else if (tuning >= kNoteTables) {
        tuning = kNoteTables - 1;
    }
    return Tables().table[tuning];
}

float NoteFrequency(int tuning, float note, float master, int base) noexcept {
    const float* table = NoteTable(tuning);
    float c = note - static_cast<float>(base);
    if (!(c > 0.0f)) {
        c = 0.0f; // also catches NaN
    } else if (c >= 127.0f) {
        c = 127.0f;
    }
    const int i = static_cast<int>(c);
    const int j = i + 1;
    const float lo = table[i];
    const float hi = j == kNotesPerTable ? table[116] * 2.0f : table[j];
    const float result = Pow(hi / lo, c - static_cast<float>(i)) * lo;
    return Exp2(static_cast<float>(base) * 0.083333336f) * result * master;
}

} // namespace brl::Korvax
