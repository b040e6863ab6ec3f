#include "korvax/korvaxundo.h"

#include "korvax/korvaxfileio.h"
#include "libbrelm/debug.h"

#include <pugixml.hpp>

#include <algorithm>
#include <utility>

namespace brl::Korvax {

EditHistory::EditHistory(Manager& owner, size_t steps, size_t bytes)
    : manager(owner), stepLimit(std::max<size_t>(steps, 1)), byteLimit(bytes) {}

void EditHistory::Record(const String& label) {
    State now = Capture();
    redoSteps.clear();
    if (Matches(undoSteps, now)) {
        // The edit announced last changed nothing: its step is this one's.
        undoSteps.back().label = label;
        return;
    }
    Push(undoSteps, std::move(now), label);
    Trim();
}

void EditHistory::DropLastRecord() {
    if (!undoSteps.empty()) {
        Pop(undoSteps);
    }
}

String EditHistory::UndoLabel() const {
    return undoSteps.empty() ? String() : undoSteps.back().label;
}

String EditHistory::RedoLabel() const {
    return redoSteps.empty() ? String() : redoSteps.back().label;
}

bool EditHistory::Undo(bool compile) {
    return Move(undoSteps, redoSteps, compile);
}

bool EditHistory::Redo(bool compile) {
    return Move(redoSteps, undoSteps, compile);
}

void EditHistory::Clear() {
    undoSteps.clear();
    redoSteps.clear();
}

size_t EditHistory::StoredBytes() const {
    size_t bytes = 0;
    for (const Stack* stack : {&undoSteps, &redoSteps}) {
        const std::vector<float>* previous = nullptr;
        for (const Step& step : *stack) {
            bytes += step.text.size();
            if (step.values.get() != previous) {
                bytes += step.values->size() * sizeof(float);
            }
            previous = step.values.get();
        }
    }
    return bytes;
}

EditHistory::State EditHistory::Capture() {
    State state;
    // The writer settles the queued events first, so the slots read after it
    // hold every value sent so far.
    state.text = SynthFileIo(manager).SavePatchesToText(String());
    const float* slots = manager.Memory();
    state.values = std::make_shared<const std::vector<float>>(slots, slots + kValueSlotCount);
    return state;
}

bool EditHistory::Matches(const Stack& stack, const State& state) {
    return !stack.empty() && stack.back().text == state.text && *stack.back().values == *state.values;
}

void EditHistory::Push(Stack& stack, State state, const String& label) {
    if (!stack.empty()) {
        Step& below = stack.back();
        const std::string& older = below.text;
        const std::string& newer = state.text;
        const size_t shorter = std::min(older.size(), newer.size());
        const size_t prefix = static_cast<size_t>(
            std::mismatch(older.begin(), older.begin() + static_cast<std::ptrdiff_t>(shorter), newer.begin())
                .first -
            older.begin());
        size_t suffix = 0;
        while (suffix < shorter - prefix &&
               older[older.size() - 1 - suffix] == newer[newer.size() - 1 - suffix]) {
            ++suffix;
        }
        below.text = older.substr(prefix, older.size() - prefix - suffix);
        below.prefix = prefix;
        below.suffix = suffix;
        if (*below.values == *state.values) {
            state.values = below.values;
        }
    }
    stack.push_back(Step{label, std::move(state.text), 0, 0, std::move(state.values)});
}

EditHistory::State EditHistory::Pop(Stack& stack) {
    Step top = std::move(stack.back());
    stack.pop_back();
    if (!stack.empty()) {
        Step& below = stack.back();
        std::string text;
        text.reserve(below.prefix + below.text.size() + below.suffix);
        text.append(top.text, 0, below.prefix);
        text += below.text;
        text.append(top.text, top.text.size() - below.suffix, below.suffix);
        below.text = std::move(text);
        below.prefix = 0;
        below.suffix = 0;
    }
    return State{std::move(top.text), std::move(top.values)};
}

bool EditHistory::Restore(const State& state, bool compile) {
    pugi::xml_document document;
    if (!document.load_buffer(state.text.data(), state.text.size())) {
        BRL_BUG("edit history step is no XML");
        return false;
    }
    if (!SynthFileIo(manager).LoadXmlToPatches(document)) {
        BRL_LOG_ERROR(manager.Log(), "restoring the edit failed");
        return false;
    }
    // The exact values, not only the bytes the file keeps of them.
    manager.WriteValueSlots(state.values->data());
    if (!compile || !manager.Compile()) {
        manager.ApplyControllerNames();
    }
    return true;
}

bool EditHistory::Move(Stack& from, Stack& to, bool compile) {
    if (from.empty()) {
        return false;
    }
    State now = Capture();
    while (Matches(from, now)) {
        Pop(from);
    }
    if (from.empty()) {
        return false;
    }
    const String label = from.back().label;
    State target = Pop(from);
    if (!Restore(target, compile)) {
        Push(from, std::move(target), label);
        return false;
    }
    const Values before = now.values;
    Push(to, std::move(now), label);
    Notify(*before, *target.values);
    return true;
}

void EditHistory::Notify(const std::vector<float>& before, const std::vector<float>& after) {
    for (size_t slot = 0; slot < before.size() && slot < after.size(); ++slot) {
        if (before[slot] != after[slot]) {
            manager.NotifyControllerChanged(static_cast<int>(slot) / kControllersPerChannel,
                                            static_cast<int>(slot) % kControllersPerChannel);
        }
    }
    manager.NotifyProgramSelected();
    manager.Update();
}

void EditHistory::Trim() {
    while (undoSteps.size() > stepLimit) {
        undoSteps.pop_front();
    }
    while (undoSteps.size() > 1 && StoredBytes() > byteLimit) {
        undoSteps.pop_front();
    }
}

} // namespace brl::Korvax
