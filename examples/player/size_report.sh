#!/usr/bin/env bash
# Where the bytes of an intro player go: its sections (size -A), its components
# and its largest symbols (nm --size-sort), measured on the stripped file.
#
# Each byte of the stripped file is given to one component: a symbol's bytes by
# its name, whole sections that belong to one concern (unwind tables, dynamic
# linking) by the section, the unnamed rest of a section (literal pools, string
# constants, alignment) to "unnamed constants", and everything outside the
# sections (ELF and program headers, section headers, gaps) to "ELF headers".
# A component's compressed cost is marginal: how much smaller the xz -9e file
# gets when its bytes are zeroed, which is what leaving it out would save.
#
# usage: size_report.sh PLAYER WORK-DIRECTORY [SYMBOLS]
#   PLAYER     the player as linked (with its symbol table)
#   SYMBOLS    how many of the largest symbols to list (default 25)
# Writes WORK-DIRECTORY/symbols.txt (every sized symbol with its component and
# file offset) besides printing the tables.
set -euo pipefail
player=$1
work=$2
top=${3:-25}
mkdir -p "$work"

stripped=$work/stripped
cp "$player" "$stripped"
strip -s -R .comment -R .note.gnu.property "$stripped"

xzsize() { xz -9e -c "$1" | wc -c; }
total_bytes=$(stat -c %s "$stripped")
total_xz=$(xzsize "$stripped")

echo "sections of the stripped player (size -A):"
size -A "$stripped" | awk 'NR > 2 && NF == 3 && $1 != "Total" { printf "  %-22s %8d\n", $1, $2 }'
echo

# Hexadecimal to number, for any awk.
hex='function hex(text,  value, i) {
    value = 0
    for (i = 1; i <= length(text); i++) value = value * 16 + index("0123456789abcdef", tolower(substr(text, i, 1))) - 1
    return value
}
'

# Sections with file contents: name, address, file offset, size.
readelf -SW "$stripped" | sed -n 's/^ *\[ *[0-9]*\] //p' |
    awk "$hex"'$2 != "NOBITS" && $2 != "NULL" && NF >= 5 { print $1, hex($3), hex($4), hex($5) }' >"$work/sections.txt"

# Sized symbols of the linked player: address, size, demangled name.
nm -S -C --defined-only "$player" | awk "$hex"'NF >= 4 && $2 ~ /^[0-9a-f]+$/ {
    address = hex($1); size = hex($2); $1 = ""; $2 = ""; $3 = ""; sub(/^ +/, "")
    print address, size, $0 }' | sort -n -k1,1 -k2,2r >"$work/nm.txt"

# ranges.txt: component|offset|size, covering the stripped file exactly once.
awk -v total="$total_bytes" -v symbols="$work/symbols.txt" '
function component_of(name) {
    if (name ~ /^korvax_/) return "song and program data"
    if (name ~ /brl::Korvax::Modules::/) return "modules (node classes)"
    if (name ~ /brl::Korvax::(kModuleTable|kPin[A-Za-z]*Names|kThemeColours|FindModule|PinCount|.*Counts)/) return "module catalogue"
    if (name ~ /brl::Korvax::/ || name ~ /^(guard variable for )?brl::/) return "runtime (synthesizer, player, notes)"
    if (name ~ /(^|[^a-z])std::|__cxa|__gxx|__cxxabi|_Unwind|^operator (new|delete)|^typeinfo|^vtable for __/) return "C++ runtime support"
    if (name ~ /^(_start|_init|_fini|deregister_tm_clones|register_tm_clones|__do_global_dtors_aux|frame_dummy|_dl_relocate_static_pie|__libc_csu_.*|_IO_stdin_used|__dso_handle|__TMC_END__|completed\.[0-9]+|__data_start|data_start|__GNU_EH_FRAME_HDR)$/) return "C start-up"
    return "player (entry, wave writer)"
}
function section_component(name) {
    if (name ~ /^\.(eh_frame|eh_frame_hdr|gcc_except_table)$/) return "unwind tables"
    if (name ~ /^\.(interp|dynsym|dynstr|gnu\.hash|hash|gnu\.version|gnu\.version_r|rela\.dyn|rela\.plt|plt|plt\.got|plt\.sec|got|got\.plt|dynamic)$/) return "dynamic linking"
    if (name ~ /^\.(init|fini|init_array|fini_array|note\..*)$/) return "C start-up"
    return ""
}
FILENAME == ARGV[1] {
    n++; sname[n] = $1; saddr[n] = $2; soff[n] = $3; ssize[n] = $4; next
}
{
    address = $1; size = $2; name = $0; sub(/^[0-9]+ [0-9]+ /, "", name)
    if (size == 0 || (address in seen)) next
    seen[address] = 1
    for (i = 1; i <= n; i++) {
        if (address >= saddr[i] && address + size <= saddr[i] + ssize[i] && saddr[i] > 0) {
            if (section_component(sname[i]) != "") break
            offset = soff[i] + address - saddr[i]
            c = component_of(name)
            print c "|" offset "|" size
            printf "%8d %7d  %-36s %s\n", offset, size, c, name > symbols
            claimed[i] += size
            break
        }
    }
}
END {
    covered = 0
    for (i = 1; i <= n; i++) {
        if (saddr[i] == 0) continue # not loaded (removed by strip or kept as metadata)
        c = section_component(sname[i])
        if (c != "") { print c "|" soff[i] "|" ssize[i]; covered += ssize[i]; continue }
        # The unnamed rest of the section, as one range at its end: its exact
        # place does not matter for the byte count, and it is close enough for
        # the marginal compressed size.
        rest = ssize[i] - claimed[i]
        if (rest > 0) print "unnamed constants|" soff[i] + ssize[i] - rest "|" rest
        covered += ssize[i]
    }
    if (total > covered) print "ELF headers|0|" total - covered
}' "$work/sections.txt" "$work/nm.txt" >"$work/ranges.txt"

printf '%-40s %10s %12s\n' "component" "bytes" "xz marginal"
cut -d'|' -f1 "$work/ranges.txt" | sort -u | while read -r component; do
    zeroed=$work/zeroed
    cp "$stripped" "$zeroed"
    bytes=0
    while IFS='|' read -r name offset size; do
        [[ $name == "$component" ]] || continue
        if [[ $component != "ELF headers" ]]; then
            head -c "$size" /dev/zero | dd of="$zeroed" bs=64K seek="$offset" oflag=seek_bytes conv=notrunc status=none
        fi
        bytes=$((bytes + size))
    done <"$work/ranges.txt"
    if [[ $component == "ELF headers" ]]; then
        printf '%-40s %10d %12s\n' "$component" "$bytes" "-"
    else
        printf '%-40s %10d %12d\n' "$component" "$bytes" "$((total_xz - $(xzsize "$zeroed")))"
    fi
done | sort
printf '%-40s %10d %12d\n' "total (stripped file, xz -9e)" "$total_bytes" "$total_xz"
echo

echo "largest symbols (nm --size-sort):"
sort -k2,2nr "$work/symbols.txt" |
    awk -v top="$top" 'NR <= top { size = $2; $1 = ""; $2 = ""; sub(/^ +/, ""); printf "  %7d  %s\n", size, $0 }'
