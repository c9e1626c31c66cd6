#!/bin/sh
# Compares what the POSIX profile reader and the Windows profile functions
# (under wine) read from the same corpus of INI edge cases.
# Usage: profile_differential.sh LINUX_LISTING WINE WINDOWS_LISTING_EXE
set -eu
[ $# -eq 3 ] || { echo "usage: $0 LINUX_LISTING WINE WINDOWS_LISTING_EXE" >&2; exit 2; }
out=$(mktemp -d "${TMPDIR:-/tmp}/q7730-profile-diff.XXXXXX")
trap 'rm -rf "$out"' EXIT
"$1" "$out/posix.txt"
WINEDEBUG=-all "$2" "$3" "$out/windows.txt" </dev/null
if diff -u "$out/windows.txt" "$out/posix.txt"; then
  echo "the POSIX reader reads all $(wc -l <"$out/posix.txt") queries as the Windows functions do"
else
  echo "lines marked + are read otherwise by the POSIX reader than by Windows (-)" >&2
  exit 1
fi
