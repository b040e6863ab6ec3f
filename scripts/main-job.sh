#!/usr/bin/env bash
# The main job: renders the bundled demo (examples/demo/demo.korvax with its
# song) to a 32-bit float stereo wave file and reports where it is and how fast
# the render ran. The patch is copied into build/demo/ first, so the wave file
# lands in the build tree and not beside the sources.
set -euo pipefail
cd "$(dirname "$0")/.."

renderer=./build/bin/korvax
if [[ ! -x $renderer ]]; then
    echo "main-job: $renderer is not built (run: bash scripts/korvax.sh run)" >&2
    exit 1
fi
mkdir -p build/demo
cp examples/demo/demo.korvax build/demo/demo.korvax
rm -f build/demo/demo.korvax.wav

echo "rendering the demo song ..."
report=$("$renderer" --render build/demo/demo.korvax --Log-Level 6 | tee /dev/stderr | grep '^rendered ' || true)
if [[ -z $report || ! -f build/demo/demo.korvax.wav ]]; then
    echo "main-job: rendering the demo failed" >&2
    exit 1
fi
factor=$(sed -n 's/.*realtime factor \([0-9.]*\).*/\1/p' <<<"$report")
seconds=$(sed -n 's/.*: \([0-9.]*\) s of audio.*/\1/p' <<<"$report")
echo
echo "wave file:       $(pwd)/build/demo/demo.korvax.wav ($(stat -c %s build/demo/demo.korvax.wav) bytes, ${seconds} s)"
echo "realtime factor: ${factor} (seconds of audio per second of rendering)"
