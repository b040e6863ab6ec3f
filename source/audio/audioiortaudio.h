#pragma once

#include "audio/audioio.h"

namespace brl::Audio {

// The RtAudio backends. "rtaudio" lists "(default output)" and "(default
// input)" (the default devices of the first RtAudio API that has devices,
// resolved when the port is initialised and again when it opens), then every
// device of every compiled RtAudio API; "alsa", "pulseaudio" and "jack" list
// the devices of that one API. A port's API is RtAudio's API name
// ("LINUX_ALSA", "LINUX_PULSE", "UNIX_JACK"; "UNSPECIFIED" for the default
// devices) and its id RtAudio's device id ("default output" and "default
// input" for the default devices).
//
// The ports open interleaved streams with the first sample width RtAudio
// accepts (4, 2, 1 bytes). A device that insists on its own buffer size (a
// JACK server) sets FramesPerChunk; device buffers of other sizes are served
// by carrying the rest of a chunk over to the next callback. RtAudio's
// callback thread (JACK's process thread for JACK) is the audio thread; an
// output underflow that RtAudio reports counts as an underrun with no chunk
// left at the platform. RtAudio's errors are logged and turned into failed
// operations; none leaves the backend as an exception.
class IoProviderRtaudio : public IoProvider {
public:
    enum class Apis { All, Alsa, Pulse, Jack };

    IoProviderRtaudio(Logging::Channel& log, Apis apis);
    ~IoProviderRtaudio() override;

    // RtAudio's name of an API number ("LINUX_PULSE"), empty if unknown.
    static String ApiName(int api);
};

} // namespace brl::Audio
