#!/bin/sh
# Builds the Debian package of a build tree, unpacks it into a scratch root and checks what it
# holds: the programs run from there with the system's libraries only (flintmoor-cli writes the
# sample images into the virtual ESP32; the window starts offscreen), an installed program keeps
# its settings in the user's configuration folder, and the desktop entry, the icons, the manual
# pages and the documents are in place. Usage: tests/package/package-test.sh BUILD_DIR
set -eu
build=$(cd "${1:-build}" && pwd)
unset LD_LIBRARY_PATH

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: $1"; }
fail() { failed=$((failed + 1)); echo "FAILED: $1"; }
check() { # check DESCRIPTION COMMAND...
  what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

cmake --build "$build" --target package
deb=$(ls -t "$build"/flintmoor_*.deb | head -n 1)
echo "package: $deb"

scratch=$(mktemp -d)
trap 'chmod -R u+w "$scratch"; rm -rf "$scratch"' EXIT
root=$scratch/root
dpkg-deb -x "$deb" "$root"
dpkg-deb --field "$deb" Depends >"$scratch/depends"
echo "depends: $(cat "$scratch/depends")"

gui=false
[ -x "$root/usr/bin/flintmoor" ] && gui=true

# --- What the package holds ---
tr ',' '\n' <"$scratch/depends" | sed 's/^ *//; s/ .*//' >"$scratch/depends.list"
depends_on() { for p in "$@"; do grep -qx "$p" "$scratch/depends.list" || return 1; done; }
check "depends on libmd0 and zlib1g" depends_on libmd0 zlib1g
if $gui; then
  check "depends on the Qt 6 widgets runtime and libudev1" depends_on libqt6widgets6 libudev1
fi
check "flintmoor-cli in /usr/bin" test -x "$root/usr/bin/flintmoor-cli"
check "no build tools installed" test ! -e "$root/usr/bin/flintmoor-samples"
check "desktop entry valid" desktop-file-validate "$root/usr/share/applications/flintmoor.desktop"
check "scalable icon" test -s "$root/usr/share/icons/hicolor/scalable/apps/flintmoor.svg"
# A PNG's width and height are the big-endian words at bytes 16 and 20.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{ print $3 * 256 + $4 "x" $7 * 256 + $8 }'; }
for size in 16 32 48 64 128 256; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/flintmoor.png
  check "icon ${size}x${size}" sh -c '[ -f "$0" ] && [ "$1" = "$2" ]' "$png" \
    "$( [ -f "$png" ] && png_size "$png")" "${size}x${size}"
done
check "README and serial port note" test -s "$root/usr/share/doc/flintmoor/README.md" \
  -a -s "$root/usr/share/doc/flintmoor/serial-port-access.txt"
pages=flintmoor-cli
$gui && pages="$pages flintmoor"
for page in $pages; do
  man_page=$root/usr/share/man/man1/$page.1.gz
  check "manual page $page(1)" sh -c 'gzip -dc "$0" | grep -q "^\.TH "' "$man_page"
  if command -v man >/dev/null 2>&1; then
    check "manual page $page(1) renders without warnings" sh -c \
      '[ -z "$(MANWIDTH=80 man --warnings -l "$0" 2>&1 >/dev/null)" ]' "$man_page"
  fi
done

# --- The programs, run from the unpacked root ---
# An installed program may not write its own folder; root would write it regardless, so the
# programs run as "nobody" then. The scratch folders stay open to that user.
chmod 0755 "$scratch"
chmod -R a-w "$root/usr/bin"
config=$scratch/config
demo=$scratch/demo
runtime=$scratch/runtime
mkdir -p "$config" "$demo" "$runtime"
chmod 0700 "$runtime"
"$build/cli/flintmoor-samples" make "$demo"
if [ "$(id -u)" = 0 ]; then chown -R nobody "$config" "$demo" "$runtime"; fi
# installed PROGRAM ARGS...: runs the unpacked program with the system's libraries only, windows
# offscreen, the configuration folder in the scratch folder.
installed() {
  program=$root/usr/bin/$1
  shift
  if [ "$(id -u)" = 0 ]; then
    set -- setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$program" "$@"
  else
    set -- "$program" "$@"
  fi
  (cd "$scratch" && env -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$config" \
    XDG_RUNTIME_DIR="$runtime" HOME="$scratch/home" "$@")
}

rc=0
installed flintmoor-cli --help >"$scratch/help.txt" 2>&1 || rc=$?
check "flintmoor-cli --help exits 0 with the usage" \
  sh -c '[ "$0" = 0 ] && grep -q "^usage: flintmoor-cli" "$1"' "$rc" "$scratch/help.txt"

update() { # update OUTPUT ARGS...
  out=$1
  shift
  rc=0
  installed flintmoor-cli "$@" update "$demo/bootloader.bin" "$demo/partitions.bin" \
    "$demo/application.bin" >"$out" 2>&1 || rc=$?
  sed 's/^/  | /' "$out"
}
ends_ok() { [ "$rc" = 0 ] && [ "$(tail -n 1 "$1")" = OK ]; }

update "$scratch/update.txt" --port SIM --sim-flash "$demo/flash.bin"
check "update on the virtual ESP32 exits 0 and ends with OK" ends_ok "$scratch/update.txt"
check "the virtual chip's flash holds the three images" \
  "$build/cli/flintmoor-samples" check "$demo/flash.bin"

# The window's settings of an installed program: the configuration folder, never /usr/bin.
mkdir -p "$config/Flintmoor"
printf '[CONFIG]\r\nComPort=SIM\r\n' >"$config/Flintmoor/Flintmoor.ini"
if [ "$(id -u)" = 0 ]; then chown -R nobody "$config"; fi
rm -f "$demo/flash.bin"
update "$scratch/update-settings.txt" --sim-flash "$demo/flash.bin"
check "flintmoor-cli takes the port from the window's settings in \$XDG_CONFIG_HOME" \
  ends_ok "$scratch/update-settings.txt"

if $gui; then
  rm -rf "$config/Flintmoor"
  rc=0
  installed flintmoor --screenshot "$demo/window.png" \
    >"$scratch/window.txt" 2>&1 || rc=$?
  sed 's/^/  | /' "$scratch/window.txt"
  check "the window starts and closes" sh -c '[ "$0" = 0 ] && [ -s "$1" ]' "$rc" "$demo/window.png"
  check "the window writes its settings to \$XDG_CONFIG_HOME/Flintmoor/Flintmoor.ini" \
    grep -q '^\[CONFIG\]' "$config/Flintmoor/Flintmoor.ini"
  check "the window writes nothing beside the installed program" \
    test ! -e "$root/usr/bin/Flintmoor.ini"
fi

echo "package-test: $passed passed, $failed failed"
[ "$failed" = 0 ]
