#!/bin/sh
# Writes three sample images into the virtual ESP32 with flintmoor-cli and checks that its flash
# holds each of them at its address. Usage: cli/run-demo.sh BUILD_DIR
set -eu
build=${1:-build}
demo="$build/demo"
"$build/cli/flintmoor-samples" make "$demo"
rm -f "$demo/flash.bin"
"$build/cli/flintmoor-cli" --port SIM --sim-flash "$demo/flash.bin" \
  update "$demo/bootloader.bin" "$demo/partitions.bin" "$demo/application.bin"
"$build/cli/flintmoor-samples" check "$demo/flash.bin"
