#pragma once

#include "korvax/korvaxmanager.h"
#include "libbrelm/string.h"

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace brl::Korvax {

// Undo and redo over the whole state the patch file stores. Every step keeps
// the patch set as the file writer writes it, together with the exact value
// slots, and is restored through the file reader. So an undo followed by a
// save gives the very bytes a save before the edit gave: node and link order,
// ids, controllers, names, buffer numbers and the song included.
//
// Each stack keeps its top step whole; the steps below it keep only what
// differs from the step above (the text between the common start and end), and
// equal value slots are shared between neighbouring steps. The oldest steps go
// when there are more than the step limit, or when the steps take more than the
// byte limit (the newest step always stays).
//
// Threads: the editing thread (the GUI thread). Capturing the state waits for
// the queued events to be applied; restoring writes the value slots and hands
// over the program only through the manager's usual hand-overs.
class EditHistory {
public:
    static constexpr size_t kDefaultStepLimit = 256;
    static constexpr size_t kDefaultByteLimit = size_t{64} << 20;

    // A step limit below 1 counts as 1.
    explicit EditHistory(Manager& manager, size_t stepLimit = kDefaultStepLimit,
                         size_t byteLimit = kDefaultByteLimit);
    EditHistory(const EditHistory&) = delete;
    EditHistory& operator=(const EditHistory&) = delete;

    // Called before an edit: keeps the state as it is now as the step that
    // Undo goes back to, and forgets the redo steps. When nothing changed since
    // the last Record (its edit did not happen), that step only takes the new
    // label.
    void Record(const String& label);
    // Forgets the step of the last Record, for an edit that was given up (the
    // redo steps that Record forgot stay forgotten).
    void DropLastRecord();

    bool CanUndo() const noexcept { return !undoSteps.empty(); }
    bool CanRedo() const noexcept { return !redoSteps.empty(); }
    // The label given to Record for the edit that Undo (Redo) would take back
    // (make again); empty when there is none.
    String UndoLabel() const;
    String RedoLabel() const;

    // Goes back to the state before the last recorded edit; the state left
    // becomes the newest redo step. Steps whose edit changed nothing are
    // skipped. With `compile` the restored patch set is compiled and handed to
    // the audio side (a failed compile keeps the previous program, as after any
    // edit); without it the caller compiles when it wants to. Afterwards every
    // node, pin and link of the graphs is new (the views are told through their
    // IView), and the manager's listeners are told as after a load:
    // ControllerNameChanged for every changed controller name, ControllerChanged
    // for every changed value slot, then ProgramSelected (the selection stays)
    // and Refresh. False when there is nothing to undo.
    bool Undo(bool compile);
    // The same the other way round.
    bool Redo(bool compile);

    // Forgets every step (after a load or a new patch set).
    void Clear();

    size_t UndoCount() const noexcept { return undoSteps.size(); }
    size_t RedoCount() const noexcept { return redoSteps.size(); }
    size_t StepLimit() const noexcept { return stepLimit; }
    // Memory the steps take (texts and value slots).
    size_t StoredBytes() const;

private:
    using Values = std::shared_ptr<const std::vector<float>>;

    // The whole state: the patch file text and the value slots.
    struct State {
        std::string text;
        Values values;
    };

    // The top of a stack holds its text whole; a step below it holds the text
    // between the `prefix` and `suffix` bytes it shares with the step above.
    struct Step {
        String label;
        std::string text;
        size_t prefix = 0;
        size_t suffix = 0;
        Values values;
    };
    using Stack = std::deque<Step>; // the newest step at the back

    State Capture();
    static bool Matches(const Stack& stack, const State& state);
    static void Push(Stack& stack, State state, const String& label);
    static State Pop(Stack& stack);
    bool Restore(const State& state, bool compile);
    // Restores the newest step of `from` that differs from now; now goes to `to`.
    bool Move(Stack& from, Stack& to, bool compile);
    void Notify(const std::vector<float>& before, const std::vector<float>& after);
    void Trim();

    Manager& manager;
    size_t stepLimit;
    size_t byteLimit;
    Stack undoSteps;
    Stack redoSteps;
};

} // namespace brl::Korvax
