#!/bin/sh
# Renders the PNG sizes of the icon from flintmoor.svg and packs them into flintmoor.ico, the
# Windows window's icon (run after changing the SVG; the PNGs and the .ico are kept in the tree so
# that the build needs no renderer). Needs rsvg-convert (librsvg2-bin) and python3.
set -eu
cd "$(dirname "$0")"
for size in 16 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" flintmoor.svg --output "flintmoor-$size.png"
done
# The Windows icon: the PNGs as they are, in one .ico (PNG entries, read since Windows Vista).
python3 - <<'PY'
import struct
sizes = [16, 32, 48, 64, 128, 256]
blobs = [open(f"flintmoor-{s}.png", "rb").read() for s in sizes]
out = struct.pack("<HHH", 0, 1, len(sizes))
offset = 6 + 16 * len(sizes)
for s, b in zip(sizes, blobs):
    out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(b), offset)
    offset += len(b)
open("flintmoor.ico", "wb").write(out + b"".join(blobs))
PY
