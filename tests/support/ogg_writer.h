#pragma once

#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

// Writes Ogg Vorbis files for the tests of the input sample (link vorbisenc).
namespace brl::testing {

// Encodes `frames` frames of signal(channel, frame) as an Ogg Vorbis file (VBR
// quality 0.5). A declared rate other than 0 is written into the file's header
// in place of the rate the audio was encoded at.
inline bool WriteOgg(const std::string& path, int channels, long rate, long frames,
                     const std::function<float(int, long)>& signal, long declaredRate = 0) {
    vorbis_info info;
    vorbis_info_init(&info);
    vorbis_comment comment;
    vorbis_comment_init(&comment);
    vorbis_dsp_state dsp;
    vorbis_block block;
    ogg_stream_state stream;
    ogg_stream_init(&stream, 1234);
    std::FILE* file = nullptr;
    const bool encoder = vorbis_encode_init_vbr(&info, channels, rate, 0.5f) == 0;
    if (declaredRate != 0) {
        info.rate = declaredRate;
    }
    if (encoder && vorbis_analysis_init(&dsp, &info) == 0) {
        vorbis_block_init(&dsp, &block);
        ogg_packet headers[3];
        vorbis_analysis_headerout(&dsp, &comment, &headers[0], &headers[1], &headers[2]);
        for (ogg_packet& header : headers) {
            ogg_stream_packetin(&stream, &header);
        }
        file = std::fopen(path.c_str(), "wb");
        ogg_page page;
        const auto write = [&] {
            std::fwrite(page.header, 1, static_cast<size_t>(page.header_len), file);
            std::fwrite(page.body, 1, static_cast<size_t>(page.body_len), file);
        };
        while (file != nullptr && ogg_stream_flush(&stream, &page) != 0) {
            write();
        }
        for (long written = 0, end = file == nullptr; end == 0;) {
            const long count = std::min(1024L, frames - written);
            float** buffer = vorbis_analysis_buffer(&dsp, static_cast<int>(count));
            for (int c = 0; c < channels; ++c) {
                for (long i = 0; i < count; ++i) {
                    buffer[c][i] = signal(c, written + i);
                }
            }
            vorbis_analysis_wrote(&dsp, static_cast<int>(count));
            written += count;
            ogg_packet packet;
            while (vorbis_analysis_blockout(&dsp, &block) == 1) {
                vorbis_analysis(&block, nullptr);
                vorbis_bitrate_addblock(&block);
                while (vorbis_bitrate_flushpacket(&dsp, &packet) != 0) {
                    ogg_stream_packetin(&stream, &packet);
                    while (end == 0 && ogg_stream_pageout(&stream, &page) != 0) {
                        write();
                        end = ogg_page_eos(&page);
                    }
                }
            }
        }
        vorbis_block_clear(&block);
        vorbis_dsp_clear(&dsp);
    }
    ogg_stream_clear(&stream);
    vorbis_comment_clear(&comment);
    vorbis_info_clear(&info);
    return file != nullptr && std::fclose(file) == 0;
}

} // namespace brl::testing
