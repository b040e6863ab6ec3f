#pragma once

#include "korvax/korvaxeditor.h"
#include "vergl/verglui.h"

namespace brl::testing {

// A graph view owner that does what the main window does with link and
// deletion requests: it asks the editing model.
class EditorViewOwner : public vergl::IUiHandler {
public:
    explicit EditorViewOwner(Korvax::SynthesizerEditor& model) : editor(model) {}
    void SelectionsChanged() override { ++selectionChanges; }
    bool ConnectRequested(vergl::CPin* a, vergl::CPin* b) override {
        ++connectRequests;
        return editor.CreateConnection(*a->Graph(), a, b);
    }
    bool DeleteLinkRequested(vergl::CLink* link) override {
        link->Graph()->DestroyLink(link);
        return true;
    }
    bool DeleteNodeRequested(vergl::CNode* node) override {
        node->Graph()->DestroyNode(node);
        return true;
    }
    void ContextRequested() override {}

    int selectionChanges = 0;
    int connectRequests = 0;

private:
    Korvax::SynthesizerEditor& editor;
};

// A small voice graph made by the editing model: the voice parameters feed an
// amplifier that plays an oscillator through a filter into the output, with an
// envelope left unconnected.
struct SampleVoice {
    enum Module { kOscillator = 1, kFilterMoog = 3, kEnvelope = 5, kAmplify = 7, kOutput = 42 };

    explicit SampleVoice(Korvax::SynthesizerEditor& editor, vergl::CVergl& graph) {
        voice = editor.CreateNodeVoiceParamsOutput(graph);
        oscillator = editor.CreateNode(graph, kOscillator, 0);
        envelope = editor.CreateNode(graph, kEnvelope, 0);
        filter = editor.CreateNode(graph, kFilterMoog, 0);
        amplify = editor.CreateNode(graph, kAmplify, 0);
        output = editor.CreateNode(graph, kOutput, 0);
        voice->SetPosition(-84, -132);
        oscillator->SetPosition(-156, -84);
        envelope->SetPosition(96, -120);
        filter->SetPosition(-144, 0);
        amplify->SetPosition(-60, 84);
        output->SetPosition(-36, 168);
        editor.CreateConnection(graph, oscillator->Outputs().At(0), filter->Inputs().At(0));
        editor.CreateConnection(graph, filter->Outputs().At(0), amplify->Inputs().At(0));
        editor.CreateConnection(graph, voice->Outputs().At(0), amplify->Inputs().At(1));
        editor.CreateConnection(graph, amplify->Outputs().At(0), output->Inputs().At(0));
        editor.CreateConnection(graph, amplify->Outputs().At(0), output->Inputs().At(1));
    }

    vergl::CNode* voice;
    vergl::CNode* oscillator;
    vergl::CNode* envelope;
    vergl::CNode* filter;
    vergl::CNode* amplify;
    vergl::CNode* output;
};

} // namespace brl::testing
