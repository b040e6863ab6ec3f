#include "korvax/korvaxrender.h"
#include "lanes/korvaxlanes.h"

#include "korvax/korvaxcompiler.h"
#include "korvax/korvaxeditor.h"
#include "korvax/korvaxfileio.h"
#include "korvax/korvaxplayer.h"

#include "libbrelm/files.h"

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace brl::Korvax {

namespace {

constexpr uint32_t kRenderRate = 96000;
constexpr uint32_t kTailTicks = 22500; // 30 s at 128 samples per tick
constexpr uint32_t kTicksPerSecond = 750;

void PutU32(uint8_t* at, uint32_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
    at[2] = static_cast<uint8_t>(v >> 16);
    at[3] = static_cast<uint8_t>(v >> 24);
}

void PutU16(uint8_t* at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
}

// Stored parameter byte of a value: value x 128 rounded half up, kept in 8 bits.
uint8_t ValueByte(float value) {
    const float scaled = value * 128.0f;
    if (!(scaled >= 0.0f) || scaled >= 256.0f) {
        return scaled >= 256.0f ? 0xFF : 0;
    }
    const auto whole = static_cast<uint32_t>(scaled);
    const float fraction = scaled - static_cast<float>(whole);
    return static_cast<uint8_t>(whole + (fraction >= 0.5f ? 1u : 0u));
}

String TwoDigits(uint32_t v) {
    return (v < 10 ? L"0" : L"") + std::to_wstring(v);
}

// Whether two paths name the same file.
bool SameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

} // namespace

uint32_t RenderTicks(uint32_t songTicks) {
    const uint32_t total = songTicks + kTailTicks;
    if (total < songTicks || total > (0xFFFFFFFFu - 36) / 1024) {
        return 0;
    }
    return total;
}

std::vector<uint8_t> SongValueBytes(const float* valueSlots) {
    std::vector<uint8_t> values(kValueSlotCount);
    for (int i = 0; i < kValueSlotCount; ++i) {
        values[i] = ValueByte(valueSlots[kValueSlotBase + i]);
    }
    return values;
}

std::unique_ptr<SynthPlayer> MakeSongPlayer(const std::vector<uint8_t>& valueBytes,
                                            const CompiledProgram& program, const Song& song,
                                            Logging::Channel* log, VoiceRendererBuilder voiceRenderer,
                                            bool commitNodeMemory) {
    // A patch without an imported song plays no events: every stream is empty.
    static const std::vector<uint32_t> kEmptyStreams(kValueSlotCount, 0xFFFFFFFFu);
    const bool songless = song.timeStream.empty() && song.dataStream.empty();
    const std::vector<uint32_t>& times = songless ? kEmptyStreams : song.timeStream;
    return std::make_unique<SynthPlayer>(
        valueBytes.size() >= kValueSlotCount ? valueBytes.data() : nullptr, program.opcodes.data(),
        program.opcodes.size(), program.operands.data(), program.operands.size(), times.data(), times.size(),
        song.dataStream.data(), song.dataStream.size(), log, voiceRenderer, commitNodeMemory);
}

void WriteWaveHeader(uint8_t (&header)[44], uint32_t frames, uint32_t rate) {
    const uint32_t dataSize = frames * 8;
    std::memcpy(header + 0, "RIFF", 4);
    PutU32(header + 4, dataSize + 36);
    std::memcpy(header + 8, "WAVE", 4);
    std::memcpy(header + 12, "fmt ", 4);
    PutU32(header + 16, 16);
    PutU16(header + 20, 3); // IEEE float
    PutU16(header + 22, 2);
    PutU32(header + 24, rate);
    PutU32(header + 28, rate * 8);
    PutU16(header + 32, 8);
    PutU16(header + 34, 32);
    std::memcpy(header + 36, "data", 4);
    PutU32(header + 40, dataSize);
}

bool Render(const std::string& patchPath, Logging::Channel* log, RenderResult* result, bool voiceLanes) {
    const auto started = std::chrono::steady_clock::now();
    Logging::Logger logger(log, L"korvax");
    if (patchPath.empty()) {
        BRL_LOG_ERROR(logger, "render: no patch file given");
        return false;
    }

    std::vector<uint8_t> values;
    CompiledProgram program;
    Song song;
    {
        auto editor = std::make_unique<SynthesizerEditor>(log);
        SynthFileIo io(*editor);
        if (!io.LoadPatchesFromFile(patchPath)) {
            BRL_LOG_ERROR(logger, "render: cannot load '", patchPath, "'");
            return false;
        }
        SynthCompiler compiler(editor->Log());
        if (!compiler.CompileGraph(editor->Patches(), program)) {
            BRL_LOG_ERROR(logger, "render: '", patchPath, "' does not compile");
            return false;
        }
        values = SongValueBytes(editor->Memory());
        song = editor->Patches().song;
    }

    const uint32_t total = RenderTicks(song.numTicks);
    if (total == 0) {
        BRL_LOG_ERROR(logger, "render: song of ", song.numTicks, " ticks is too long for a wave file");
        return false;
    }
    // Rendered offline: the nodes' memory is committed as the render reaches it.
    auto player = MakeSongPlayer(values, program, song, log, voiceLanes ? Lanes::Builder() : nullptr, false);
    if (!player->IsValid()) {
        BRL_LOG_ERROR(logger, "render: the song of '", patchPath, "' cannot be played");
        return false;
    }

    // The wave file is written beside its final name and renamed over it only
    // when complete, so a failed render never leaves a truncated file behind.
    const std::string outputPath = patchPath + ".wav";
    if (SameFile(outputPath, patchPath)) {
        BRL_LOG_ERROR(logger, "render: '", outputPath, "' is the patch itself");
        return false;
    }
    Files::ReplacingFile writer(outputPath);
    if (!writer.Open()) {
        BRL_LOG_ERROR(logger, "render: cannot create '", outputPath, "': ", writer.Problem());
        return false;
    }
    uint8_t header[44];
    WriteWaveHeader(header, total * kSamplesPerBuffer, kRenderRate);
    bool ok = writer.Write(header, sizeof header);

    float frames[kSamplesPerBuffer * 2];
    const float* memory = player->Memory();
    for (uint32_t t = 0; ok && t < total; ++t) {
        if (t % kTicksPerSecond == 0) {
            const uint32_t seconds = t / kTicksPerSecond;
            BRL_LOG_INFO(logger, TwoDigits(seconds / 60), ":", TwoDigits(seconds % 60));
        }
        player->RenderBuffer();
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            frames[2 * i] = memory[kOutputLeft + i];
            frames[2 * i + 1] = memory[kOutputRight + i];
        }
        ok = writer.Write(frames, sizeof frames);
    }
    if (!ok || !writer.Commit()) {
        BRL_LOG_ERROR(logger, "render: writing '", outputPath, "' failed: ", writer.Problem());
        return false;
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (result != nullptr) {
        result->ticks = total;
        result->audioSeconds = static_cast<double>(total) * kSamplesPerBuffer / kRenderRate;
        result->wallSeconds = wall;
        result->outputPath = outputPath;
    }
    return true;
}

} // namespace brl::Korvax
