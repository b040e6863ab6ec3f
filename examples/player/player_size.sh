#!/usr/bin/env bash
# Prints the intro player's size (as built, stripped, stripped and xz -9e), the
# sizes of the data it carries, raw and xz -9e, and where its bytes go
# (size_report.sh: sections, components, largest symbols).
# usage: player_size.sh PLAYER DUMP-PROGRAM WORK-DIRECTORY
set -euo pipefail
player=$1
dump=$2
work=$3
here=$(dirname "$0")
mkdir -p "$work"

size() { stat -c %s "$1"; }
xzsize() { xz -9e -c "$1" | wc -c; }

cp "$player" "$work/player"
strip -s -R .comment -R .note.gnu.property "$work/player"
printf '%-28s %10s %10s\n' "" "bytes" "xz -9e"
printf '%-28s %10d\n' "player as built" "$(size "$player")"
printf '%-28s %10d %10d\n' "player stripped" "$(size "$work/player")" "$(xzsize "$work/player")"
printf '%-28s %s\n' "shared libraries" "$(readelf -d "$player" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"

"$dump" "$work"
cat "$work/values.bin" "$work/ops.bin" "$work/params.bin" >"$work/program.bin"
cat "$work/timestreams.bin" "$work/datastreams.bin" >"$work/song.bin"
for name in values ops params program timestreams datastreams song; do
    printf '%-28s %10d %10d\n' "data: $name" "$(size "$work/$name.bin")" "$(xzsize "$work/$name.bin")"
done
echo
bash "$here/size_report.sh" "$player" "$work/report"
