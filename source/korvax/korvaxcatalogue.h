#pragma once

#include <cstdint>
#include <vector>

namespace brl::Korvax {

// Data type of a pin; 0 marks an empty pin slot.
enum class PinDataType : int32_t {
    Invalid = 0,
    Value = 1,  // one float
    Buffer = 2, // one block of 128 samples
};

enum class PinDirection : int32_t {
    Invalid = 0,
    Input = 1,
    Output = 2,
};

// What a pin's values mean; the enumerators carry the theme key suffixes.
enum class PinKind : int32_t {
    Invalid = 0,
    Phase = 1,
    Param = 2,
    Sample = 3,
    Amp = 4,
    Gain = 5,
    Gain0 = 6,
    Freq = 7,
    FreqBand = 8,
    FreqLfo = 9,
    Time = 10,
    Note = 11,
    Count = 12,
    Flag = 13,
    DiscretUnspec = 14,
    DiscretOsc = 15,
    DiscretDistortion = 16,
    DiscretFilter = 17,
};

constexpr int kPinKindCount = 18;
constexpr int kModuleCount = 48; // module ids 1..48, which are also the opcodes

// The module ids, named after the runtime classes. They are the opcodes of the
// byte code, so they convert to uint8_t without a cast.
namespace ModuleId {
enum Value : uint8_t {
    Osc = 1,
    Distortion = 2,
    MoogFilter = 3,
    Chorus = 4,
    Envelope = 5,
    Lfo = 6,
    Amp = 7,
    Add = 8,
    Mul = 9,
    Set = 10,
    Highres = 11,
    Delay = 12,
    MapNote = 13,
    Modulate = 14,
    Gain = 15,
    Balance = 16,
    Panning = 17,
    Bias = 18,
    DoubleFilter = 19,
    SvFilter = 20,
    KarlsenFilter = 21,
    Compressor = 22,
    Release = 23,
    MapNoteAdvanced = 24,
    SH = 25,
    ExponentialEnvelope = 26,
    Phase = 27,
    Transpose = 28,
    ScaleDown = 29,
    ScaleUp = 30,
    SyncPhase = 31,
    Copy = 32,
    Bandsplit4 = 33,
    Bandsplit8 = 34,
    Mix4 = 35,
    Mix8 = 36,
    RMSDetect = 37,
    PeakDetect = 38,
    MidSide = 39,
    DebugNode = 40,
    Input = 41,
    Output = 42,
    MapNoteHighres = 43,
    Invert = 44,
    OneMinusX = 45,
    Clamp = 46,
    DelaySignal = 47,
    Clip = 48,
};
} // namespace ModuleId
static_assert(ModuleId::Clip == kModuleCount);
constexpr int kModulePinSlots = 17; // the last slot is always empty
constexpr int kModuleUsablePins = 16;

// Empty slots keep the defaults: data type 0 and empty texts.
struct PinSpec {
    const char* name = "";
    const char* shortName = "";
    PinDataType dataType = PinDataType::Invalid;
    int32_t revision = 0;
    PinDirection direction = PinDirection::Invalid;
    PinKind kind = PinKind::Invalid;
    int32_t defaultValue = 0; // low byte: initial parameter value x 128 (inputs)
};

struct ModuleSpec {
    int32_t id = 0;
    const char* name = "";
    const char* category = "";
    const char* shortName = "";
    PinSpec pins[kModulePinSlots] = {};
};

struct NameEntry {
    int32_t id;
    const char* text;
};

// The catalogue in table order, ended by a record with id 0 and no pins.
extern const ModuleSpec kModuleTable[kModuleCount + 1];

extern const NameEntry kPinDataTypeNames[3];
extern const NameEntry kPinDirectionNames[3];
extern const NameEntry kPinKindNames[kPinKindCount];

// The record of a module id; an unknown id yields the terminating record.
const ModuleSpec& FindModule(int id) noexcept;

// Number of used pin slots (up to the first empty one, at most 16).
int PinCount(const ModuleSpec& module) noexcept;
// PinCount of the module with that id (0 for an unknown id), from a table of
// 256 bytes that needs none of the catalogue's records at run time.
int ModulePinCount(uint8_t id) noexcept;
int InputCount(const ModuleSpec& module) noexcept;
int OutputCount(const ModuleSpec& module) noexcept;

// Slot of the k-th input (output) pin among the first 16 slots, or -1.
int InputPinSlot(const ModuleSpec& module, int k) noexcept;
int OutputPinSlot(const ModuleSpec& module, int k) noexcept;
// The k-th input (output) pin, or nullptr.
const PinSpec* InputPin(const ModuleSpec& module, int k) noexcept;
const PinSpec* OutputPin(const ModuleSpec& module, int k) noexcept;

// Kind of input k of a module, used to label and scale a parameter; Invalid for
// an input index the module does not have.
PinKind GetPreferredModulePinRange(int moduleId, int inputIndex) noexcept;

// Initial parameter value of a value input: default / 128.
float InitialParameterValue(const PinSpec& pin) noexcept;

// Texts of the name tables; "INVALID" for a code outside the table.
const char* PinDataTypeName(int code) noexcept;
const char* PinDirectionName(int code) noexcept;
const char* PinKindName(int code) noexcept;
// Theme key suffix of a pin kind ("Phase", "Param", ...); "Invalid" outside the table.
const char* PinKindThemeSuffix(int code) noexcept;

// The modules as offered to the user: sorted byte-wise by category, then by name.
std::vector<const ModuleSpec*> ModuleMenuOrder();

// Theme colours: configuration key and built-in colour (0xRRGGBB, opaque).
struct ThemeColour {
    const char* key;
    int32_t colour;
};

constexpr int kThemeColourCount = 25;
// The 18 pin kinds in code order, then "Korvax/Theme/Pin/Default", then the six node keys.
extern const ThemeColour kThemeColours[kThemeColourCount];

// Built-in colour of a pin kind ("Korvax/Theme/Pin/Default" outside the table).
int32_t PinKindColour(int code) noexcept;

} // namespace brl::Korvax
