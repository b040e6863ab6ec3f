#pragma once

#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxsynth.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"
#include "vergl/vergl.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// The patch set: everything the user edits and saves in one file. 32 channels with
// names and three graphs each, two mix graphs, the stored parameter bytes, the song
// streams and the controller caches derived from the graphs.
//
// Threads: the patch set has no lock; it is used from one thread at a time (the
// editing model's).
namespace brl::Korvax {

constexpr int kGraphCount = 98;
constexpr int kControllersPerChannel = 256;
constexpr int kParameterCount = kChannels * kControllersPerChannel; // 8192
// Controller numbers 0..239 are handed out; 240..255 are not.
constexpr int kAssignableControllers = 240;
// Global buffers 0..127 fit into a 16-bit operand from 0xC000.
constexpr int kGlobalBufferCount = 128;

// The roles of the 98 graphs.
enum class GraphRole { MixPre, ChannelPre, Voice, Channel, Mix };

// Graph index (0..97) in the fixed order: "mix pre"; for each channel its "channel
// pre", "voice" and "channel" graphs; then "mix".
constexpr int kGraphMixPre = 0;
constexpr int kGraphMix = kGraphCount - 1;
constexpr int GraphIndex(GraphRole role, int channel) {
    switch (role) {
    case GraphRole::MixPre:
        return kGraphMixPre;
    case GraphRole::ChannelPre:
        return 1 + channel * 3;
    case GraphRole::Voice:
        return 2 + channel * 3;
    case GraphRole::Channel:
        return 3 + channel * 3;
    case GraphRole::Mix:
        break;
    }
    return kGraphMix;
}
GraphRole GraphRoleOf(int graphIndex) noexcept;
// Channel of a per-channel graph; 0 for the two mix graphs.
int GraphChannelOf(int graphIndex) noexcept;
// Name in messages: "mix pre", "channel pre", "voice", "channel", "mix".
const char* GraphRoleName(GraphRole role) noexcept;
// Element name in the patch file: "mixpre", "pre", "voice", "post", "mix".
const char* GraphRoleElement(GraphRole role) noexcept;
// "Graph error in 'mix pre'." or "Graph error in channel 5 'voice'.".
String GraphErrorText(int graphIndex);

// The user data of every graph node.
struct NodeRecord {
    bool module = false; // kind module: number is the module id
    bool buffer = false; // kind buffer: number is the global buffer number
    bool memory = false; // kind voice parameters
    int32_t number = 0;
    bool memoryInput = false;  // voice-parameter input node ("fin")
    bool memoryOutput = false; // voice-parameter output node ("volume", "note", "off")
    bool bufferOutput = false; // reads global buffer `number`
    bool bufferInput = false;  // writes global buffer `number`

    // Compile bookkeeping.
    bool done = false;
    int32_t orderIndex = 0;           // position of the node in its graph's node order
    int32_t unfinishedSuccessors = 0; // output links whose far node is not done yet
};

// The user data of every pin.
struct PinRecord {
    bool value = false;  // carries one float
    bool buffer = false; // carries a block of 128 samples
    int32_t controllerChannel = 0;
    int32_t controllerNumber = 0;

    // Compile bookkeeping.
    int32_t memorypos = -1;
    bool allocated = false;
    int32_t refs = 0;
};

// Records of an entity; nullptr when none is attached.
inline NodeRecord* GetNodeRecord(const vergl::CNode* node) noexcept {
    return node != nullptr ? static_cast<NodeRecord*>(node->GetUserData()) : nullptr;
}
inline PinRecord* GetPinRecord(const vergl::CPin* pin) noexcept {
    return pin != nullptr ? static_cast<PinRecord*>(pin->GetUserData()) : nullptr;
}
// Attach a copy of the record (replacing and deleting any record already attached).
NodeRecord& AttachNodeRecord(vergl::CNode* node, const NodeRecord& record = {});
PinRecord& AttachPinRecord(vergl::CPin* pin, const PinRecord& record = {});
// Deletes the record of a node or pin and clears the user data. Links carry none.
void DeleteRecord(vergl::CEntity* entity);

NodeRecord MakeModuleRecord(int moduleId);
NodeRecord MakeBufferInputRecord(int number);
NodeRecord MakeBufferOutputRecord(int number);
NodeRecord MakeVoiceParamsInputRecord();
NodeRecord MakeVoiceParamsOutputRecord();

// Node structure as the editing model builds it: records on the node and every pin,
// inputs with max edges 1 (voice-parameter "fin": unlimited), outputs unlimited.
// Controllers of value inputs stay (0, 0); looks (comments, colours) are not set.
// A module id the catalogue does not know gives a module node without pins. All
// return nullptr when the graph creates no node.
vergl::CNode* CreateModuleNode(vergl::CVergl& graph, int moduleId);
vergl::CNode* CreateBufferInputNode(vergl::CVergl& graph, int number);
vergl::CNode* CreateBufferOutputNode(vergl::CVergl& graph, int number);
vergl::CNode* CreateVoiceParamsInputNode(vergl::CVergl& graph);
vergl::CNode* CreateVoiceParamsOutputNode(vergl::CVergl& graph);

// Stored parameter byte of a live value: integer part of value x 128, plus 1 when the
// fraction is 0.5 or more, kept in 8 bits (values outside any byte range wrap; NaN
// gives 0). And back: byte / 128.
uint8_t ParameterValueToByte(float value) noexcept;
float ParameterByteToValue(uint8_t byte) noexcept;

// The handler the patch set installs on its graphs while no other is set: it saves
// nothing, gives every loaded node and pin an empty record and deletes records.
class PatchRecordEvents : public vergl::IEvents {
public:
    void SaveUserData(pugi::xml_node data, const vergl::CEntity* entity) override;
    void LoadUserData(pugi::xml_node data, vergl::CEntity* entity) override;
    void DeleteUserData(vergl::CEntity* entity) override;
};

struct Song {
    uint32_t numTicks = 0;
    std::vector<uint32_t> timeStream;
    std::vector<uint8_t> dataStream;
};

class PatchSet {
public:
    // Messages ("double-assigned midi controller") go to `log`; without one they go
    // to the process log channel.
    explicit PatchSet(Logging::Channel* log = nullptr);
    ~PatchSet();
    PatchSet(const PatchSet&) = delete;
    PatchSet& operator=(const PatchSet&) = delete;

    void SetLog(Logging::Channel* log) noexcept { logChannel = log; }

    // Installs the user-data handler of all 98 graphs (nullptr: the built-in one).
    // The handler must delete records through DeleteRecord. The patch set puts its
    // own handler back before the graphs go, so records never outlive it.
    void SetEvents(vergl::IEvents* handler);
    vergl::IEvents* Events() const noexcept { return events; }

    // All graphs in the fixed order.
    std::span<vergl::CVergl* const, kGraphCount> AllGraphs() const noexcept { return graphPointers; }
    vergl::CVergl& Graph(int graphIndex) const { return *graphs.at(static_cast<size_t>(graphIndex)); }
    vergl::CVergl& Graph(GraphRole role, int channel = 0) const { return Graph(GraphIndex(role, channel)); }
    vergl::CVergl& MixPre() const { return Graph(kGraphMixPre); }
    vergl::CVergl& ChannelPre(int channel) const { return Graph(GraphRole::ChannelPre, channel); }
    vergl::CVergl& Voice(int channel) const { return Graph(GraphRole::Voice, channel); }
    vergl::CVergl& ChannelPost(int channel) const { return Graph(GraphRole::Channel, channel); }
    vergl::CVergl& Mix() const { return Graph(kGraphMix); }

    // Back to the empty state: graphs, channel and controller names, parameter
    // bytes, song and usage counts.
    void Clear();

    std::array<String, kChannels> channelNames;
    // [channel x 256 + number]
    std::array<uint8_t, kParameterCount> parameterValues{};
    Song song;

    uint8_t& ParameterByte(int channel, int number) {
        return parameterValues.at(static_cast<size_t>(channel * kControllersPerChannel + number));
    }
    // Refresh the stored bytes from the synthesizer's 8192 value slots.
    void StoreParameterValues(const float* valueSlots) noexcept;
    // Write the stored bytes as floats into 8192 value slots.
    void LoadParameterValues(float* valueSlots) const noexcept;

    // Controllers. Counts are the number of unconnected module value inputs, over
    // all graphs, on the controller (numbers 0..239 only); names are a cache the
    // editing model keeps (empty when unused).
    void SetUsedControllersCache();
    int FindFreeController(int channel);
    PinKind GetPreferredControllerRange(int channel, int number);
    int ControllerUsage(int channel, int number) const;
    const String& ControllerName(int channel, int number) const;
    void SetControllerNameEntry(int channel, int number, const String& name);

    // Calls visit(graphIndex, node, inputIndex, pin, pinRecord) for every unconnected
    // value input of every module node, graphs in the fixed order, nodes in node
    // order, inputs in index order. Nodes or pins without records are skipped.
    // visit returns false to stop the walk.
    template <typename Visit> void ForEachUnconnectedValueInput(Visit&& visit) const;

private:
    static bool ValidController(int channel, int number) noexcept {
        return channel >= 0 && channel < kChannels && number >= 0 && number < kControllersPerChannel;
    }
    Logging::Channel& Log() const;

    Logging::Channel* logChannel;
    PatchRecordEvents builtInEvents;
    vergl::IEvents* events = &builtInEvents;
    std::array<std::unique_ptr<vergl::CVergl>, kGraphCount> graphs;
    std::array<vergl::CVergl*, kGraphCount> graphPointers{};
    std::vector<int32_t> controllerUsage;
    std::vector<String> controllerNames;
};

template <typename Visit> void PatchSet::ForEachUnconnectedValueInput(Visit&& visit) const {
    for (int graphIndex = 0; graphIndex < kGraphCount; ++graphIndex) {
        for (vergl::CNode* node : graphs[static_cast<size_t>(graphIndex)]->Nodes()) {
            const NodeRecord* nodeRecord = GetNodeRecord(node);
            if (nodeRecord == nullptr || !nodeRecord->module) {
                continue;
            }
            int inputIndex = 0;
            for (vergl::CPin* pin : node->Inputs()) {
                PinRecord* pinRecord = GetPinRecord(pin);
                if (pinRecord != nullptr && pinRecord->value && pin->HasNoLinks() &&
                    !visit(graphIndex, node, inputIndex, pin, *pinRecord)) {
                    return;
                }
                ++inputIndex;
            }
        }
    }
}

} // namespace brl::Korvax
