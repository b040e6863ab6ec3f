#!/usr/bin/env bash
# The main job. Until the offline renderer exists this runs the foundation's
# demonstration: the effective configuration stack and a log line at every level.
set -euo pipefail
cd "$(dirname "$0")/.."
exec ./build/bin/korvax-demo
