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
# What an intro would ship after one more step: the section headers (which no
# loader reads) cut off behind the last loaded segment, their place in the ELF
# header cleared.
end=0
while read -r offset filesize; do
    if ((offset + filesize > end)); then
        end=$((offset + filesize))
    fi
done < <(readelf -lW "$work/player" | awk '$1 == "LOAD" { print $2, $5 }')
head -c "$end" "$work/player" >"$work/player-trimmed"
printf '\0\0\0\0\0\0\0\0' | dd of="$work/player-trimmed" bs=1 seek=40 conv=notrunc status=none # e_shoff
printf '\0\0\0\0' | dd of="$work/player-trimmed" bs=1 seek=60 conv=notrunc status=none             # e_shnum, e_shstrndx
printf '%-28s %10d %10d\n' "  without section headers" "$(size "$work/player-trimmed")" "$(xzsize "$work/player-trimmed")"
printf '%-28s %s\n' "shared libraries" "$(readelf -d "$player" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"

"$dump" "$work"
cat "$work/values.bin" "$work/ops.bin" "$work/params.bin" >"$work/program.bin"
cat "$work/timestreams.bin" "$work/datastreams.bin" >"$work/song.bin"
for name in values ops params program timestreams datastreams song; do
    printf '%-28s %10d %10d\n' "data: $name" "$(size "$work/$name.bin")" "$(xzsize "$work/$name.bin")"
done
echo
bash "$here/size_report.sh" "$player" "$work/report"
