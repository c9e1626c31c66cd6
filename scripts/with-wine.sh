#!/usr/bin/env bash
# Runs a command with wine set up for a Windows build:
#   scripts/with-wine.sh BUILD_DIR COMMAND [ARG...]
# The build's wine-arch file says which prefix it needs: win32 (the 32-bit
# build, run by `wine`) or win64 (the x86_64 build, run by the 64-bit loader
# wine64 by its own path, which needs no 32-bit code at all).
# The prefix lives in BUILD_DIR/wine-prefix (made on first use), one
# persistent wineserver serves the whole command (a Windows process then
# starts in a few hundredths of a second instead of about one), and it is
# ended afterwards. The command inherits WINEPREFIX, WINEARCH, WINEDEBUG,
# WINEDLLOVERRIDES and Q7730_WINE (the loader to run the build's programs
# with: `"$Q7730_WINE" x.exe` inside it uses this prefix). Inside
# a command that already runs under this script, it only runs the command.
# With DISPLAY set, windows go to that X display; without it, to wine's null
# display driver, so windows can still be created and sent messages.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD_DIR COMMAND [ARG...]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
shift

if [ "${Q7730_WINE_READY:-}" = "$build" ]; then
  exec "$@"
fi

arch=win32
[ -f "$build/wine-arch" ] && arch=$(cat "$build/wine-arch")
case "$arch" in
  win32)
    loader=$(command -v wine || true)
    [ -n "$loader" ] || { echo "wine not found (install wine wine32:i386)" >&2; exit 2; } ;;
  win64)
    loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
    [ -x "$loader" ] || { echo "wine64 not found (install wine64)" >&2; exit 2; } ;;
  *) echo "$build/wine-arch: unknown prefix kind '$arch'" >&2; exit 2 ;;
esac
export Q7730_WINE="$loader"
export WINEPREFIX="$build/wine-prefix"
export WINEARCH="$arch"
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"

# Started with its streams redirected: a server holding a pipe open would keep
# any pipeline it was started in from ending.
wineserver -k >/dev/null 2>&1 </dev/null || true
wineserver -p >/dev/null 2>&1 </dev/null
trap 'wineserver -k >/dev/null 2>&1 </dev/null || true' EXIT

# The prefix's first wine call also starts its service processes, which keep
# the standard streams of that call: make that call here, outside any pipe.
if [ ! -f "$WINEPREFIX/.q7730-ready" ]; then
  "$loader" cmd /c exit >/dev/null 2>&1 </dev/null
  # x11 where a display is available, else the null driver.
  "$loader" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11,null /f >/dev/null 2>&1 </dev/null
  touch "$WINEPREFIX/.q7730-ready"
else
  "$loader" cmd /c exit >/dev/null 2>&1 </dev/null
fi

export Q7730_WINE_READY="$build"
status=0
"$@" || status=$?
exit "$status"
