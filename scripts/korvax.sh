#!/usr/bin/env bash
# Set-up, build and test entry point for a fresh Debian 12 machine.
#   scripts/korvax.sh run        install what is missing, build, run the main job
#   scripts/korvax.sh test       install what is missing, build, run every test
#   scripts/korvax.sh sanitize   tests under AddressSanitizer+UBSan, threading tests under TSan
#   scripts/korvax.sh headless   the engine alone (no GUI, no devices): build and run its tests
#   scripts/korvax.sh bench      build and run korvax-bench
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc)

PACKAGES=(build-essential cmake ninja-build pkg-config
          libgtest-dev libgmock-dev libbenchmark-dev
          libpugixml-dev libvorbis-dev libsamplerate0-dev xz-utils liblzma-dev
          # Devices: RtAudio goes with the JACK 2 library (installing jackd2 later
          # would otherwise swap the JACK library and remove librtaudio-dev).
          librtaudio-dev libjack-jackd2-dev librtmidi-dev
          # The editor: the toolkit, OpenGL, and Cairo with Pango, which the
          # toolkit canvas draws on directly; a font for legible text.
          libwxgtk3.2-dev libgl1-mesa-dev libcairo2-dev libpango1.0-dev fonts-dejavu-core
          # Real sound servers and a virtual display for the tests; xdpyinfo
          # tells the main job whether a display is there.
          jackd2 pulseaudio xvfb xauth xdotool imagemagick x11-utils)

install_deps() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "installing: ${missing[*]}"
        local sudo=""
        [[ $(id -u) -ne 0 ]] && sudo=sudo
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
    fi
}

configure_build() { # dir, extra cmake args...
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja "$@" >/dev/null
    cmake --build "$ROOT/$dir" -j "$JOBS"
}

cmd=${1:-test}
case "$cmd" in
run)
    install_deps
    configure_build build -DCMAKE_BUILD_TYPE=Release
    "$ROOT/scripts/main-job.sh"
    ;;
test)
    install_deps
    configure_build build -DCMAKE_BUILD_TYPE=Release
    # The window tests need a display: the whole run gets a private X server.
    (cd build && xvfb-run -a -s "-screen 0 1920x1200x24" ctest --output-on-failure -j "$JOBS")
    ;;
headless)
    install_deps
    configure_build build-headless -DCMAKE_BUILD_TYPE=Release -DKORVAX_GUI=OFF -DKORVAX_DEVICES=OFF
    (cd build-headless && ctest --output-on-failure -j "$JOBS")
    ;;
sanitize)
    # Unit tests under AddressSanitizer+UBSan. The "apps" tests drive whole
    # programs over long renders and the "gui" tests real windows (the toolkit
    # leaks at exit); both run in the plain build only, so the toolkit is left
    # out of this build (the window-less view and drawing logic is built all the same).
    install_deps
    configure_build build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAX_SANITIZE=address -DKORVAX_GUI=OFF
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --output-on-failure -j "$JOBS" -LE 'apps|gui')
    # Threading tests under ThreadSanitizer: only their programs are built.
    cmake -S "$ROOT" -B "$ROOT/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAX_SANITIZE=thread \
        -DKORVAX_BUILD_BENCH=OFF >/dev/null
    mapfile -t thread_targets < <(ninja -C "$ROOT/build-tsan" -t targets all | sed -n 's/^\([a-z]*_thread_tests\): .*/\1/p' | sort -u)
    cmake --build "$ROOT/build-tsan" -j "$JOBS" --target "${thread_targets[@]}"
    (cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j "$JOBS" -L threads)
    ;;
bench)
    install_deps
    configure_build build -DCMAKE_BUILD_TYPE=Release
    "$ROOT/build/bin/korvax-bench"
    # The painting benchmarks start their own virtual X server.
    if [[ -x "$ROOT/build/bin/korvax-gui-bench" ]]; then
        "$ROOT/build/bin/korvax-gui-bench"
    fi
    ;;
*)
    echo "usage: scripts/korvax.sh run|test|sanitize|headless|bench" >&2
    exit 2
    ;;
esac
