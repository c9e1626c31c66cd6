#!/bin/sh
# Makes the Windows release archive of a windows-i686 build and checks it:
# the program and the probe, the Setup API wirelet.dll (not the sim-bus
# one), the sample package byte for byte, and the README, all in one top
# folder.
# Usage: scripts/check-windows-package.sh BUILD_DIR
set -eu
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

rm -f "$build"/Q7730upgrade-*-win32.zip
(cd "$build" && cpack -G ZIP >/dev/null)
set -- "$build"/Q7730upgrade-*-win32.zip
[ -f "$1" ] || { echo "cpack made no archive in $build" >&2; exit 1; }
zip=$1
top=$(basename "$zip" .zip)

tmp=$(mktemp -d "${TMPDIR:-/tmp}/q7730-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && cmake -E tar xf "$zip")
fail=0
for f in Q7730upgrade.exe q7730-probe.exe wirelet.dll README.txt Q7730.ini; do
  [ -f "$tmp/$top/$f" ] || { echo "$zip: $top/$f missing" >&2; fail=1; }
done
# The sample package exactly as the repository holds it.
if ! diff -r "$root/demo/package" "$tmp/$top" -x Q7730upgrade.exe -x q7730-probe.exe -x wirelet.dll -x README.txt >/dev/null; then
  echo "$zip: the sample package differs from demo/package" >&2
  fail=1
fi
if ! "$objdump" -p "$tmp/$top/wirelet.dll" | grep -q "DLL Name: SETUPAPI.dll"; then
  echo "$zip: wirelet.dll is not the Setup API library" >&2
  fail=1
fi
[ "$fail" = 0 ] || exit 1
echo "$zip: program, Setup API wirelet.dll, sample package and README"
