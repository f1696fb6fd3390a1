#!/bin/sh
# Renders the PNG sizes of the icon from flintmoor.svg (run after changing the SVG; the PNGs are
# kept in the tree so that the build needs no renderer). Needs rsvg-convert (librsvg2-bin).
set -eu
cd "$(dirname "$0")"
for size in 16 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" flintmoor.svg --output "flintmoor-$size.png"
done
