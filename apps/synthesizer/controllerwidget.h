#pragma once

#include "controllervalues.h"
#include "korvax/korvaxmanager.h"

#include <wx/window.h>

#include <functional>
#include <memory>
#include <optional>

class wxChoice;
class wxMenu;
class wxSlider;
class wxStaticText;
class wxTextCtrl;

// A control for one controller (channel below 32, number below 256) of the
// synthesizer: a label, the control itself and a value text, made as three
// children of the given parent so that a grid sizer can place them. Moving
// the control sets the controller's value slot and tells the manager's other
// listeners; a change made elsewhere shows when the manager says so. A right
// click offers MIDI learn ("learn", "forget"); the tooltip names the CC that
// drives the controller.
//
// Threads: GUI thread only.
namespace brl::Synth::Gui {

class ControllerWidget : public Korvax::Listener {
public:
    // The control a controller of this range kind gets; `pinKind` overrides
    // the kind the editing model reports for the controller (a widget bound to
    // a module pin). `textBox` asks for a text box whatever the kind.
    static std::unique_ptr<ControllerWidget> Create(wxWindow* parent, Korvax::Manager& manager, int channel,
                                                    int controller,
                                                    std::optional<Korvax::PinKind> pinKind = std::nullopt,
                                                    bool textBox = false);
    ~ControllerWidget() override;

    int Channel() const { return channel; }
    int Controller() const { return controller; }
    Korvax::PinKind RangeKind() const { return rangeKind; }
    int Discrete() const { return DiscreteKind(rangeKind); }
    virtual ControlKind Kind() const = 0;
    // The value last shown (0..1).
    float Value() const { return value; }

    wxStaticText* Label() const { return label; }
    wxWindow* Control() const { return control; }
    wxStaticText* ValueLabel() const { return valueText; }

    // Shows the name, or the controller number while it has none.
    void SetLabel(const String& name);
    // Shows a value without setting it.
    void ShowValue(float newValue);
    // Shows the value in the controller's value slot.
    void ShowSlotValue();
    // Sets the controller to a value as a user's move does: the value slot,
    // then the manager's notification.
    void Apply(float newValue);

    void ControllerChanged(int changedChannel, int changedController) override;
    // Takes a MIDI learn change (a CC learned on the MIDI thread) into the
    // tooltip, and shows the value of a controller that a CC drives.
    void Refresh() override;

    // Called before "learn" or "forget" changes the assignments (the owner
    // records an undo step); may be empty.
    std::function<void()> beforeLearnChange;

    // The right-click menu: "learn", and "forget" while a CC is assigned.
    enum MenuId { kMenuLearn = 1, kMenuForget = 2 };
    std::unique_ptr<wxMenu> MakeLearnMenu() const;
    // Does what a menu entry says; false for another id.
    bool OnLearnMenu(int id);
    // The tooltip: the assigned CC, the waiting for one, or nothing.
    String LearnText() const;
    void ShowLearnState();

protected:
    ControllerWidget(Korvax::Manager& manager, int channel, int controller, Korvax::PinKind kind);
    // Makes the three windows; called once by Create.
    void Build(wxWindow* parent);
    virtual wxWindow* MakeControl(wxWindow* parent) = 0;
    virtual void ShowInControl(float newValue) = 0;

    Korvax::Manager& synth;
    int channel;
    int controller;
    Korvax::PinKind rangeKind;
    float value = 0.0f;
    uint32_t learnGeneration = 0;
    bool learned = false; // a CC drives the controller
    wxStaticText* label = nullptr;
    wxWindow* control = nullptr;
    wxStaticText* valueText = nullptr;
};

class Slider : public ControllerWidget {
public:
    using ControllerWidget::ControllerWidget;
    ControlKind Kind() const override { return ControlKind::Slider; }
    wxSlider* Widget() const;

protected:
    wxWindow* MakeControl(wxWindow* parent) override;
    void ShowInControl(float newValue) override;
};

class ComboBox : public ControllerWidget {
public:
    using ControllerWidget::ControllerWidget;
    ControlKind Kind() const override { return ControlKind::ComboBox; }
    wxChoice* Widget() const;

protected:
    wxWindow* MakeControl(wxWindow* parent) override;
    void ShowInControl(float newValue) override;
};

// A number typed in steps 0..127 (or a fraction "0.25"), taken on Enter or when
// the box loses the focus; other text is refused and the value shown again.
class TextBox : public ControllerWidget {
public:
    using ControllerWidget::ControllerWidget;
    ControlKind Kind() const override { return ControlKind::TextBox; }
    wxTextCtrl* Widget() const;
    // Takes the typed text; false (value unchanged) when it is no value.
    bool Commit();

protected:
    wxWindow* MakeControl(wxWindow* parent) override;
    void ShowInControl(float newValue) override;
};

} // namespace brl::Synth::Gui
