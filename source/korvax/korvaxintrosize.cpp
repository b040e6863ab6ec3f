#include "korvax/korvaxintrosize.h"

#include "korvax/korvaxmidifile.h"

#include <lzma.h>

namespace brl::Korvax {

IntroTables MakeIntroTables(const PatchSet& patches, const CompiledProgram& program) {
    IntroTables tables;
    std::vector<uint8_t>& out = tables.program;
    out.insert(out.end(), patches.parameterValues.begin(), patches.parameterValues.end());
    out.insert(out.end(), program.opcodes.begin(), program.opcodes.end());
    for (uint16_t operand : program.operands) {
        out.push_back(static_cast<uint8_t>(operand & 0xFF));
        out.push_back(static_cast<uint8_t>(operand >> 8));
    }
    tables.song = MidiFileConverter::TimeStreamBytes(patches.song.timeStream);
    tables.song.insert(tables.song.end(), patches.song.dataStream.begin(), patches.song.dataStream.end());
    return tables;
}

std::optional<size_t> XzSize(std::span<const uint8_t> bytes) {
    // The stream encoder, as xz uses it: its block header carries no sizes,
    // where the single-call buffer encoder adds four bytes of them.
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_easy_encoder(&stream, 9 | LZMA_PRESET_EXTREME, LZMA_CHECK_CRC64) != LZMA_OK) {
        return std::nullopt;
    }
    std::vector<uint8_t> out(lzma_stream_buffer_bound(bytes.size()));
    stream.next_in = bytes.data();
    stream.avail_in = bytes.size();
    stream.next_out = out.data();
    stream.avail_out = out.size();
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK) {
        result = lzma_code(&stream, LZMA_FINISH);
    }
    const size_t written = static_cast<size_t>(stream.total_out);
    lzma_end(&stream);
    if (result != LZMA_STREAM_END) {
        return std::nullopt;
    }
    return written;
}

std::optional<IntroSize> MeasureIntroSize(const IntroTables& tables) {
    std::vector<uint8_t> all = tables.program;
    all.insert(all.end(), tables.song.begin(), tables.song.end());
    const std::optional<size_t> program = XzSize(tables.program);
    const std::optional<size_t> song = XzSize(tables.song);
    const std::optional<size_t> whole = XzSize(all);
    if (!program || !song || !whole) {
        return std::nullopt;
    }
    IntroSize size;
    size.programBytes = tables.program.size();
    size.songBytes = tables.song.size();
    size.programCompressed = *program;
    size.songCompressed = *song;
    size.allCompressed = *whole;
    return size;
}

String IntroSizeText(const IntroSize& size) {
    auto n = [](size_t value) { return std::to_wstring(value); };
    return L"intro tables: " + n(size.programBytes + size.songBytes) + L" bytes, " + n(size.allCompressed) +
           L" after xz -9e (program " + n(size.programBytes) + L" -> " + n(size.programCompressed) +
           L", song " + n(size.songBytes) + L" -> " + n(size.songCompressed) + L")";
}

IntroSizeMeter::IntroSizeMeter() : worker([this] { Run(); }) {}

IntroSizeMeter::~IntroSizeMeter() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    wake.notify_one();
    worker.join();
}

uint64_t IntroSizeMeter::Request(IntroTables tables) {
    uint64_t number = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending = std::move(tables);
        number = ++requests;
    }
    wake.notify_one();
    return number;
}

std::optional<IntroSizeMeter::Result> IntroSizeMeter::Take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::optional<Result> result = std::move(finished);
    finished.reset();
    return result;
}

void IntroSizeMeter::Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stop || pending.has_value(); });
        if (stop) {
            return;
        }
        IntroTables tables = std::move(*pending);
        pending.reset();
        const uint64_t number = requests;
        lock.unlock();
        std::optional<IntroSize> size = MeasureIntroSize(tables);
        lock.lock();
        finished = Result{number, size};
    }
}

} // namespace brl::Korvax
