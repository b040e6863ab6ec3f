#!/usr/bin/env python3
# Writes the same short phrase in three layouts that sequencers use:
#   plain.mid      format 0, 500 ticks per quarter at 500000 us: one tick is 1 ms
#   sequencer.mid  format 1: a tempo-map track (name, copyright text of 140 bytes,
#                  time and key signatures, tempo, SMPTE offset, marker), a GM reset
#                  SysEx, a split SysEx with an escape packet, a sequencer-specific
#                  meta event, and chunks of unknown type before and between tracks
#   smpte.mid      format 1 with SMPTE division (25 frames of 40 ticks: 1 ms per
#                  tick) and a tempo event that must not change the timing
# All three give the same song. Run from this directory: python3 make_sequencer_files.py


def vlq(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.insert(0, 0x80 | (value & 0x7F))
        value >>= 7
    return bytes(out)


def chunk(kind, body):
    return kind + len(body).to_bytes(4, "big") + body


def header(fmt, tracks, division):
    return chunk(b"MThd", fmt.to_bytes(2, "big") + tracks.to_bytes(2, "big") + division)


def meta(kind, data):
    return b"\xff" + bytes([kind]) + vlq(len(data)) + data


END = b"\x00" + meta(0x2F, b"")

# The phrase: program 5 (synthesizer channel 5), volume, three notes with
# running status and note-offs as velocity 0, then one more after a pause.
PHRASE = (
    b"\x00\xc0\x05"
    b"\x00\xb0\x07\x64"
    b"\x00\x90\x3c\x50" b"\x81\x70\x3c\x00"   # 240 ms
    b"\x00\x3e\x58" b"\x81\x70\x3e\x00"
    b"\x00\x40\x60" b"\x83\x60\x40\x00"       # 480 ms
    b"\x87\x68\x90\x43\x70" b"\x83\x60\x80\x43\x40"  # 1000 ms later, a note off
)

plain = header(0, 1, (500).to_bytes(2, "big")) + chunk(b"MTrk", PHRASE + END)

copyright_text = b"(c) Korvax developers. " + b"This copyright notice is long on purpose: " + b"x" * 75
assert len(copyright_text) >= 128
tempo_map = (
    b"\x00" + meta(0x03, b"Tempo map")
    + b"\x00" + meta(0x02, copyright_text)
    + b"\x00" + meta(0x58, b"\x04\x02\x18\x08")
    + b"\x00" + meta(0x59, b"\xfd\x00")
    + b"\x00" + meta(0x51, (500000).to_bytes(3, "big"))
    + b"\x00" + meta(0x54, b"\x60\x00\x00\x00\x00")
    + b"\x00" + meta(0x06, b"Intro")
    + b"\x00" + meta(0x7F, b"\x00\x00\x41\x01")
    + END
)
music = (
    b"\x00" + meta(0x03, b"Lead synth")
    + b"\x00\xf0\x05\x7e\x7f\x09\x01\xf7"          # GM system on
    + b"\x00\xf0\x03\x43\x10\x4c" + b"\x00\xf7\x02\x00\xf7"  # split SysEx
    + PHRASE + END
)
sequencer = (
    header(1, 2, (500).to_bytes(2, "big"))
    + chunk(b"XFIH", b"\x00\x01\x02")
    + chunk(b"MTrk", tempo_map)
    + chunk(b"XFKM", b"")
    + chunk(b"MTrk", music)
)

smpte = (
    header(1, 2, bytes([0x100 - 25, 40]))
    + chunk(b"MTrk", b"\x00" + meta(0x51, (250000).to_bytes(3, "big")) + END)
    + chunk(b"MTrk", PHRASE + END)
)

for name, data in (("plain.mid", plain), ("sequencer.mid", sequencer), ("smpte.mid", smpte)):
    with open(name, "wb") as out:
        out.write(data)
