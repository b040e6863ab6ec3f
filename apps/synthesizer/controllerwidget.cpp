#include "controllerwidget.h"

#include "korvax/korvaxsynth.h"

#include <wx/choice.h>
#include <wx/menu.h>
#include <wx/slider.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

namespace brl::Synth::Gui {

namespace {
constexpr int kControlWidth = 120;
}

std::unique_ptr<ControllerWidget> ControllerWidget::Create(wxWindow* parent, Korvax::Manager& manager,
                                                           int channel, int controller,
                                                           std::optional<Korvax::PinKind> pinKind,
                                                           bool textBox) {
    const Korvax::PinKind kind =
        pinKind ? *pinKind : manager.GetPreferredControllerRange(channel, controller);
    std::unique_ptr<ControllerWidget> widget;
    if (textBox) {
        widget.reset(new TextBox(manager, channel, controller, kind));
    } else if (ControlFor(kind) == ControlKind::ComboBox) {
        widget.reset(new ComboBox(manager, channel, controller, kind));
    } else {
        widget.reset(new Slider(manager, channel, controller, kind));
    }
    widget->Build(parent);
    return widget;
}

ControllerWidget::ControllerWidget(Korvax::Manager& manager, int boundChannel, int boundController,
                                   Korvax::PinKind kind)
    : Listener(manager), synth(manager), channel(boundChannel), controller(boundController), rangeKind(kind) {
}

ControllerWidget::~ControllerWidget() {
    for (wxWindow* window : {static_cast<wxWindow*>(label), control, static_cast<wxWindow*>(valueText)}) {
        if (window != nullptr) {
            // No more events into this half-destroyed widget (a focus loss while
            // the text box goes away, for one).
            window->SetEvtHandlerEnabled(false);
            window->Destroy();
        }
    }
}

void ControllerWidget::Build(wxWindow* parent) {
    label = new wxStaticText(parent, wxID_ANY, wxString());
    control = MakeControl(parent);
    valueText =
        new wxStaticText(parent, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, wxST_NO_AUTORESIZE);
    // Wide enough for the longest texts ("-12345.6Hz (1.0000) [128]").
    valueText->SetMinSize(wxSize(valueText->GetTextExtent(L"00000.0Hz (0.0000) [000]").x + 4, -1));
    SetLabel(String());
    ShowSlotValue();
    ShowLearnState();
    for (wxWindow* window : {static_cast<wxWindow*>(label), control}) {
        window->Bind(wxEVT_CONTEXT_MENU, [this, window](wxContextMenuEvent&) {
            const std::unique_ptr<wxMenu> menu = MakeLearnMenu();
            menu->Bind(wxEVT_MENU, [this](wxCommandEvent& event) { OnLearnMenu(event.GetId()); });
            window->PopupMenu(menu.get());
        });
    }
    Subscribe();
}

void ControllerWidget::Refresh() {
    if (synth.MidiLearning().Generation() != learnGeneration) {
        ShowLearnState();
    }
    // A CC moves the controller without telling the listeners.
    if (learned) {
        ShowSlotValue();
    }
}

std::unique_ptr<wxMenu> ControllerWidget::MakeLearnMenu() const {
    auto menu = std::make_unique<wxMenu>();
    menu->Append(kMenuLearn, L"learn");
    menu->Append(kMenuForget, L"forget");
    menu->Enable(kMenuForget, synth.MidiLearning().Find(channel, controller).has_value());
    return menu;
}

bool ControllerWidget::OnLearnMenu(int id) {
    if ((id == kMenuLearn || id == kMenuForget) && beforeLearnChange) {
        beforeLearnChange();
    }
    switch (id) {
    case kMenuLearn:
        // With the widget's own kind: a widget bound to a pin knows it best.
        synth.MidiLearning().Learn(channel, controller, rangeKind);
        break;
    case kMenuForget:
        synth.MidiLearning().Forget(channel, controller);
        break;
    default:
        return false;
    }
    ShowLearnState();
    return true;
}

String ControllerWidget::LearnText() const {
    const Korvax::MidiLearn& learn = synth.MidiLearning();
    if (learn.Learning() == std::make_pair(channel, controller)) {
        return L"MIDI learn: move a controller";
    }
    const std::optional<Korvax::MidiLearn::Assignment> assignment = learn.Find(channel, controller);
    if (!assignment) {
        return String();
    }
    return L"MIDI channel " + std::to_wstring(assignment->midiChannel + 1) + L", CC " +
           std::to_wstring(assignment->cc);
}

void ControllerWidget::ShowLearnState() {
    learnGeneration = synth.MidiLearning().Generation();
    learned = synth.MidiLearning().Find(channel, controller).has_value();
    const wxString text(LearnText());
    for (wxWindow* window : {static_cast<wxWindow*>(label), control}) {
        if (text.empty()) {
            window->UnsetToolTip();
        } else {
            window->SetToolTip(text);
        }
    }
}

void ControllerWidget::SetLabel(const String& name) {
    label->SetLabel(name.empty() ? wxString(std::to_wstring(controller)) : wxString(name));
}

void ControllerWidget::ShowValue(float newValue) {
    value = newValue;
    ShowInControl(newValue);
    valueText->SetLabel(wxString(ValueText(rangeKind, newValue, synth)));
}

void ControllerWidget::ShowSlotValue() {
    ShowValue(synth.Memory()[channel * Korvax::kControllersPerChannel + controller]);
}

void ControllerWidget::Apply(float newValue) {
    ShowValue(newValue);
    synth.SetControllerValue(channel, controller, newValue);
    synth.NotifyControllerChanged(channel, controller);
}

void ControllerWidget::ControllerChanged(int changedChannel, int changedController) {
    if (changedChannel == channel && changedController == controller) {
        synth.SettleEvents();
        ShowSlotValue();
    }
}

// ---------------------------------------------------------------- slider

wxSlider* Slider::Widget() const {
    return static_cast<wxSlider*>(control);
}

wxWindow* Slider::MakeControl(wxWindow* parent) {
    auto* slider = new wxSlider(parent, wxID_ANY, 0, 0, 127, wxDefaultPosition, wxSize(kControlWidth, -1));
    slider->Bind(wxEVT_SLIDER, [this](wxCommandEvent&) { Apply(SliderValue(Widget()->GetValue())); });
    return slider;
}

void Slider::ShowInControl(float newValue) {
    const int position = SliderPosition(newValue);
    if (Widget()->GetValue() != position) {
        Widget()->SetValue(position);
    }
}

// ---------------------------------------------------------------- combo box

wxChoice* ComboBox::Widget() const {
    return static_cast<wxChoice*>(control);
}

wxWindow* ComboBox::MakeControl(wxWindow* parent) {
    wxArrayString entries;
    for (const String& entry : ComboEntries(Discrete())) {
        entries.Add(wxString(entry));
    }
    // As wide as a slider: the longest entries are cut rather than widening the
    // slider bank's column.
    auto* choice = new wxChoice(parent, wxID_ANY, wxDefaultPosition, wxSize(kControlWidth, -1), entries);
    choice->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) { Apply(ComboValue(Widget()->GetSelection())); });
    return choice;
}

void ComboBox::ShowInControl(float newValue) {
    const int selection = ComboSelection(newValue, static_cast<int>(Widget()->GetCount()));
    if (Widget()->GetSelection() != selection) {
        Widget()->SetSelection(selection);
    }
}

// ---------------------------------------------------------------- text box

wxTextCtrl* TextBox::Widget() const {
    return static_cast<wxTextCtrl*>(control);
}

wxWindow* TextBox::MakeControl(wxWindow* parent) {
    auto* text =
        new wxTextCtrl(parent, wxID_ANY, wxString(), wxDefaultPosition, wxSize(128, -1), wxTE_PROCESS_ENTER);
    text->Bind(wxEVT_TEXT_ENTER, [this](wxCommandEvent&) { Commit(); });
    text->Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& event) {
        Commit();
        event.Skip();
    });
    return text;
}

bool TextBox::Commit() {
    float typed = 0.0f;
    if (!ParseTextValue(Widget()->GetValue().ToStdWstring(), typed)) {
        ShowInControl(value);
        return false;
    }
    if (typed != value) {
        Apply(typed);
    }
    return true;
}

void TextBox::ShowInControl(float newValue) {
    Widget()->ChangeValue(wxString(std::to_wstring(SliderPosition(newValue))));
}

} // namespace brl::Synth::Gui
