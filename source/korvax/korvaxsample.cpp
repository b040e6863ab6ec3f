#include "korvax/korvaxsample.h"

#include "libbrelm/files.h"

#define OV_EXCLUDE_STATIC_CALLBACKS
#include <samplerate.h>
#include <vorbis/vorbisfile.h>

#include <sys/types.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>

namespace brl::Sfx {

namespace {

// Decoded frames per ov_read_float call.
constexpr int kDecodeFrames = 4096;
// Declared rates outside this range are refused: a tiny rate would make the
// resampler produce a sample hundreds of times longer than the file.
constexpr long kMinRate = 8000;
constexpr long kMaxRate = 384000;
// The longest sample, in seconds (at any rate).
constexpr long kMaxSeconds = 600;

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

size_t ReadCallback(void* data, size_t size, size_t count, void* source) {
    return std::fread(data, size, count, static_cast<std::FILE*>(source));
}

int SeekCallback(void* source, ogg_int64_t offset, int whence) {
    return fseeko(static_cast<std::FILE*>(source), static_cast<off_t>(offset), whence);
}

long TellCallback(void* source) {
    return static_cast<long>(ftello(static_cast<std::FILE*>(source)));
}

// The decoder never closes the file: the FileHandle does.
constexpr ov_callbacks kFileCallbacks = {ReadCallback, SeekCallback, nullptr, TellCallback};

class VorbisFile {
public:
    VorbisFile() = default;
    VorbisFile(const VorbisFile&) = delete;
    VorbisFile& operator=(const VorbisFile&) = delete;
    ~VorbisFile() {
        if (open) {
            ov_clear(&file);
        }
    }
    bool Open(std::FILE* source) {
        open = ov_open_callbacks(source, &file, nullptr, 0, kFileCallbacks) == 0;
        return open;
    }
    OggVorbis_File* operator->() noexcept { return &file; }
    OggVorbis_File* Get() noexcept { return &file; }

private:
    OggVorbis_File file{};
    bool open = false;
};

} // namespace

Sample::Sample(Logging::Channel* logTarget) : log(logTarget, L"sample") {}

const float* Sample::Data(int channel) const noexcept {
    if (channel < 0 || channel >= kChannels) {
        return nullptr;
    }
    return channels[channel].data();
}

bool Sample::Load(const std::string& path, double rate) {
    if (!(rate > 0.0) || !std::isfinite(rate)) {
        BRL_LOG_ERROR(log, "cannot load '", path, "': invalid sample rate ", rate);
        return false;
    }
    try {
        std::string problem;
        FileHandle handle(Files::OpenRegularFile(path, problem));
        if (handle == nullptr) {
            BRL_LOG_ERROR(log, "cannot open '", path, "': ", problem);
            return false;
        }
        VorbisFile vorbis;
        if (!vorbis.Open(handle.get())) {
            BRL_LOG_ERROR(log, "not an ogg vorbis file '", path, "'");
            return false;
        }
        const vorbis_info* info = ov_info(vorbis.Get(), -1);
        if (info == nullptr || info->channels < 1 || info->rate < 1) {
            BRL_LOG_ERROR(log, "not an ogg vorbis file '", path, "'");
            return false;
        }
        const long sourceRate = info->rate;
        if (sourceRate < kMinRate || sourceRate > kMaxRate) {
            BRL_LOG_ERROR(log, "cannot load '", path, "': sample rate ", sourceRate, " Hz is outside ",
                          kMinRate, " to ", kMaxRate, " Hz");
            return false;
        }
        // Resampling keeps the duration, so the length can be judged at the
        // source rate: from the stream's end position when it has one, and
        // again while decoding.
        const double maxSourceFrames = static_cast<double>(kMaxSeconds) * static_cast<double>(sourceRate);
        const ogg_int64_t declaredFrames = ov_pcm_total(vorbis.Get(), -1);
        if (declaredFrames > 0 && static_cast<double>(declaredFrames) > maxSourceFrames) {
            BRL_LOG_ERROR(log, "cannot load '", path, "': longer than 10 minutes");
            return false;
        }
        const double ratio = rate / static_cast<double>(sourceRate);
        const bool resample = static_cast<double>(sourceRate) != rate;
        if (resample && src_is_valid_ratio(ratio) == 0) {
            BRL_LOG_ERROR(log, "cannot resample '", path, "' from ", sourceRate, " Hz to ", rate, " Hz");
            return false;
        }
        // The result must stay addressable by a 32-bit frame index.
        const double frameLimit =
            static_cast<double>(std::numeric_limits<uint32_t>::max() - 1024) / std::max(ratio, 1.0);

        std::vector<float> interleaved; // left, right, left, right, ...
        for (;;) {
            float** pcm = nullptr;
            int link = 0;
            const long frames = ov_read_float(vorbis.Get(), &pcm, kDecodeFrames, &link);
            if (frames == 0) {
                break;
            }
            if (frames == OV_HOLE) {
                continue; // a gap in the page sequence: decoding goes on behind it
            }
            if (frames < 0) {
                BRL_LOG_ERROR(log, "decoding failed '", path, "' (error ", frames, ")");
                return false;
            }
            const vorbis_info* linkInfo = ov_info(vorbis.Get(), link);
            if (linkInfo == nullptr || linkInfo->channels < 1 || linkInfo->rate != sourceRate) {
                BRL_LOG_ERROR(log, "decoding failed '", path, "' (chained streams of different formats)");
                return false;
            }
            const double decoded = static_cast<double>(interleaved.size() / 2 + static_cast<size_t>(frames));
            if (decoded > maxSourceFrames || decoded > frameLimit) {
                BRL_LOG_ERROR(log, "cannot load '", path, "': longer than 10 minutes");
                return false;
            }
            const float* left = pcm[0];
            const float* right = linkInfo->channels > 1 ? pcm[1] : pcm[0];
            const size_t start = interleaved.size();
            interleaved.resize(start + static_cast<size_t>(frames) * 2);
            for (long i = 0; i < frames; ++i) {
                interleaved[start + static_cast<size_t>(i) * 2] = left[i];
                interleaved[start + static_cast<size_t>(i) * 2 + 1] = right[i];
            }
        }
        const size_t sourceFrames = interleaved.size() / 2;

        std::vector<float> output;
        size_t outputFrames = sourceFrames;
        if (resample && sourceFrames > 0) {
            output.resize((static_cast<size_t>(std::ceil(static_cast<double>(sourceFrames) * ratio)) + 64) *
                          2);
            SRC_DATA data{};
            data.data_in = interleaved.data();
            data.data_out = output.data();
            data.input_frames = static_cast<long>(sourceFrames);
            data.output_frames = static_cast<long>(output.size() / 2);
            data.end_of_input = 1;
            data.src_ratio = ratio;
            const int error = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, kChannels);
            if (error != 0) {
                BRL_LOG_ERROR(log, "resampling failed '", path, "': ", src_strerror(error));
                return false;
            }
            outputFrames = static_cast<size_t>(data.output_frames_gen);
        } else {
            output.swap(interleaved);
        }
        if (outputFrames == 0) {
            BRL_LOG_ERROR(log, "cannot load '", path, "': no audio");
            return false;
        }

        std::vector<float> left(outputFrames);
        std::vector<float> right(outputFrames);
        for (size_t i = 0; i < outputFrames; ++i) {
            left[i] = output[i * 2];
            right[i] = output[i * 2 + 1];
        }
        channels[0].swap(left);
        channels[1].swap(right);
        length = static_cast<uint32_t>(outputFrames);
        readIndex = 0;
        targetRate = rate;
        return true;
    } catch (const std::bad_alloc&) {
        BRL_LOG_ERROR(log, "cannot load '", path, "': out of memory");
        return false;
    }
}

void Sample::ReadLooped(float* left, float* right, uint32_t frames) noexcept {
    if (length == 0) {
        return;
    }
    const float* sourceLeft = channels[0].data();
    const float* sourceRight = channels[1].data();
    uint32_t index = readIndex < length ? readIndex : 0;
    for (uint32_t k = 0; k < frames; ++k) {
        left[k] = sourceLeft[index];
        right[k] = sourceRight[index];
        index = index + 1 == length ? 0 : index + 1;
    }
    readIndex = index;
}

} // namespace brl::Sfx
