#pragma once

#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxcompiler.h"
#include "korvax/korvaxmidilearn.h"
#include "korvax/korvaxmidirealtime.h"
#include "korvax/korvaxpatchset.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"
#include "vergl/vergl.h"

#include <pugixml.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

// The editing model: the live synthesizer together with the patch set it plays.
// Every change the windows make goes through it: creating nodes, connecting pins
// under the connection rules, assigning controllers and their values, naming
// controllers and compiling.
//
// Threads: one editing thread at a time (the main window's, or the state
// manager's while loading); controller values reach the memory through
// controller events (applied directly while no audio runs), programs through
// the realtime program exchange.
namespace brl::Korvax {

// A decimal integer as the patch file writes it: an optional sign and digits,
// blanks around them allowed, nothing else; nothing for any other text.
std::optional<int64_t> ParseDecimal(std::string_view text) noexcept;

// The user-data handler of all 98 graphs: writes, reads and deletes the node and
// pin records as the "data" element of each entity.
//
// Reading is strict: a module id the catalogue does not know, a buffer number
// outside 0..127, a controller outside channel 0..31 / number 0..255, a stored
// value outside 0..255, a malformed number or a boolean other than "true" and
// "false" raise vergl::ParseError, which makes the graph library abandon the
// whole document (the graph stays as it was). Only the file layer reads
// documents, and it catches the error.
class CGraphEventsEditor : public vergl::IEvents {
public:
    using ValueBytes = std::array<uint8_t, kParameterCount>;

    explicit CGraphEventsEditor(PatchSet& patchSet) : patches(patchSet) {}

    void SaveUserData(pugi::xml_node data, const vergl::CEntity* entity) override;
    void LoadUserData(pugi::xml_node data, vergl::CEntity* entity) override;
    void DeleteUserData(vergl::CEntity* entity) override;

    // Where LoadUserData stores the controller values it reads ([channel x 256 +
    // number]); nullptr stands for the patch set's stored parameter bytes.
    void SetValueSink(ValueBytes* sink) noexcept { valueSink = sink; }
    ValueBytes* ValueSink() const noexcept { return valueSink; }

private:
    PatchSet& patches;
    ValueBytes* valueSink = nullptr;
};

class SynthesizerEditor : public SynthesizerMidi {
public:
    // The theme colours, 0xRRGGBB, in this order: the six node colours, the pin
    // kinds 1..17, the colour of kind 0, the default pin colour.
    enum ThemeColourIndex : int {
        kThemeNodeInput = 0,
        kThemeNodeDebug = 1,
        kThemeNodeOutput = 2,
        kThemeNodeDefault = 3,
        kThemeNodeMemory = 4,
        kThemeNodeBuffer = 5,
        kThemePinKind1 = 6, // pin kind k (1..17) at kThemePinKind1 + k - 1
        kThemePinInvalid = 23,
        kThemePinDefault = 24,
    };
    using ThemeColours = std::array<uint32_t, kThemeColourCount>;

    // Configuration key of a theme colour index ("Korvax/Theme/Node/Input", ...);
    // empty outside 0..24.
    static const char* ThemeColourKey(int index) noexcept;
    // The built-in colours of the catalogue in the order above.
    static ThemeColours BuiltInThemeColours() noexcept;

    // Messages of the editor, its patch set and its compiler go to a logger named
    // "korvax" on logTarget. Events are applied without extra latency.
    explicit SynthesizerEditor(Logging::Channel* logTarget);
    ~SynthesizerEditor() override;

    // Ignored unless channel is 0..31 and number 0..255. Stores the name, calls
    // ControllerNameChanged, and names every unconnected module value input on the
    // controller after it.
    virtual void SetControllerName(int channel, int number, const String& name);
    // Sets the controller's value slot through a controller event: written at
    // once while no audio thread renders, else queued without waiting for it
    // (readers of the value slots settle the queue first). False for a
    // controller outside 0..31 / 0..255, or when the event cannot be queued.
    virtual bool SetControllerValue(int channel, int number, float value);
    // Told each time a controller's name changes. Does nothing here.
    virtual void ControllerNameChanged(int channel, int number, const String& name);

    // The MIDI learn assignments of the patch set; a CC that one of them
    // matches sets its controller through SetControllerValue.
    MidiLearn& MidiLearning() noexcept { return midiLearn; }
    const MidiLearn& MidiLearning() const noexcept { return midiLearn; }
    // Arms learning for a controller with its current range kind.
    bool LearnController(int channel, int number);

    PatchSet& Patches() noexcept { return patches; }
    const PatchSet& Patches() const noexcept { return patches; }
    CGraphEventsEditor& GraphEvents() noexcept { return graphEvents; }
    Logging::Logger& Log() noexcept { return editorLog; }

    // A module node with its catalogue pins; its value inputs get fresh
    // controllers of `channel` set to the catalogue defaults. Nothing (with a
    // warning) for a channel outside 0..31; nothing (with "BUG !vertex") when the
    // graph creates no node. An unknown module id gives a node without pins.
    vergl::CNode* CreateNode(vergl::CVergl& graph, int moduleId, int channel);
    // Buffer nodes start with number 0; see SetBufferNumber.
    vergl::CNode* CreateNodeBufferInput(vergl::CVergl& graph);
    vergl::CNode* CreateNodeBufferOutput(vergl::CVergl& graph);
    vergl::CNode* CreateNodeVoiceParamsInput(vergl::CVergl& graph);
    vergl::CNode* CreateNodeVoiceParamsOutput(vergl::CVergl& graph);
    // Sets the global buffer number of a buffer node; false (with a warning) for a
    // node that is no buffer node or a number outside 0..127.
    bool SetBufferNumber(vergl::CNode* node, int number);

    // Links two pins (in either order) under the connection rules; true when a
    // link was made. A refused connection logs a warning and changes nothing; a
    // new link into a full input replaces the old one.
    bool CreateConnection(vergl::CVergl& graph, vergl::CPin* pinA, vergl::CPin* pinB);

    // Compiles the patch set; on success hands the program to the audio thread
    // and refreshes the controller names. A failed compile keeps the previous
    // program playing.
    bool Compile();
    // The program of the last successful Compile (empty before the first).
    const CompiledProgram& LastProgram() const noexcept { return program; }
    // Counts the successful compiles, so that a window can tell a new program.
    uint64_t CompileCount() const noexcept { return compiles; }

    // Comments and colours of a node and its pins, from the catalogue and the theme.
    void ApplyNodeLooks(vergl::CNode* node);
    void ApplyNodeLooks(vergl::CVergl& graph);
    void ApplyNodeLooksToAllGraphs();
    void SetThemeColours(const ThemeColours& colours);
    const ThemeColours& GetThemeColours() const noexcept { return themeColours; }

    // The controller operations of the patch set.
    int FindFreeController(int channel) { return patches.FindFreeController(channel); }
    void SetUsedControllersCache() { patches.SetUsedControllersCache(); }
    PinKind GetPreferredControllerRange(int channel, int number) {
        return patches.GetPreferredControllerRange(channel, number);
    }
    const String& ControllerName(int channel, int number) const {
        return patches.ControllerName(channel, number);
    }
    // Clears the names of unused controllers and takes the names of the used ones
    // from their pins, calling ControllerNameChanged for every change.
    void ApplyControllerNames();

protected:
    bool TakeLearnedController(int midiChannel, int cc, int value) override;

private:
    // Colour of a theme index as an entity colour (0xAABBGGRR, opaque).
    uint32_t EntityColour(int index) const noexcept;
    uint32_t PinKindEntityColour(PinKind kind) const noexcept;
    vergl::CNode* Finish(vergl::CNode* node);

    Logging::Logger editorLog;
    PatchSet patches;
    CGraphEventsEditor graphEvents;
    SynthCompiler compiler;
    CompiledProgram program;
    uint64_t compiles = 0;
    ThemeColours themeColours;
    MidiLearn midiLearn;
};

} // namespace brl::Korvax
