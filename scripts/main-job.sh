#!/usr/bin/env bash
# The main job. Where a display is there, it opens the editor on the bundled
# demo (examples/demo/demo.korvax, copied into build/demo/ so that saving does
# not touch the sources); without a sound device and without a sound server
# the editor runs on the "dummy" audio backend. Where there is no display, it
# renders the demo song to a 32-bit float stereo wave file and reports where
# it is and how fast the render ran.
set -euo pipefail
cd "$(dirname "$0")/.."

program=./build/bin/korvax
if [[ ! -x $program ]]; then
    echo "main-job: $program is not built (run: bash scripts/korvax.sh run)" >&2
    exit 1
fi
mkdir -p build/demo
cp examples/demo/demo.korvax build/demo/demo.korvax

have_display() {
    [[ -n ${DISPLAY:-} ]] || return 1
    if command -v xdpyinfo >/dev/null; then
        xdpyinfo >/dev/null 2>&1
    elif command -v xset >/dev/null; then
        xset q >/dev/null 2>&1
    else
        return 1
    fi
}

# A playback device of the kernel, or the socket of a sound server.
have_sound() {
    compgen -G "/dev/snd/pcmC*D*p" >/dev/null && return 0
    local runtime=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}
    [[ -n ${PULSE_SERVER:-} ]] && return 0
    [[ -S $runtime/pulse/native || -S $runtime/pipewire-0 ]] && return 0
    # A running JACK server has its socket there (a registry file alone is left over).
    [[ -n $(find /dev/shm "/tmp/jack-$(id -u)" -maxdepth 2 -type s -name 'jack_*' 2>/dev/null) ]] && return 0
    return 1
}

if have_display; then
    audio=()
    if ! have_sound; then
        echo "no sound device and no sound server: the editor plays into the dummy audio backend"
        audio=(--Audio-Backends dummy)
    fi
    echo "opening the editor on build/demo/demo.korvax (a copy of examples/demo/demo.korvax) ..."
    exec "$program" build/demo/demo.korvax "${audio[@]}"
fi

echo "no display: rendering the demo song instead of opening the editor ..."
rm -f build/demo/demo.korvax.wav
report=$("$program" --render build/demo/demo.korvax --Log-Level 6 | tee /dev/stderr | grep '^rendered ' || true)
if [[ -z $report || ! -f build/demo/demo.korvax.wav ]]; then
    echo "main-job: rendering the demo failed" >&2
    exit 1
fi
factor=$(sed -n 's/.*realtime factor \([0-9.]*\).*/\1/p' <<<"$report")
seconds=$(sed -n 's/.*: \([0-9.]*\) s of audio.*/\1/p' <<<"$report")
echo
echo "wave file:       $(pwd)/build/demo/demo.korvax.wav ($(stat -c %s build/demo/demo.korvax.wav) bytes, ${seconds} s)"
echo "realtime factor: ${factor} (seconds of audio per second of rendering)"
