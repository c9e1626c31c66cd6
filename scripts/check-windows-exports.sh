#!/bin/sh
# Checks that a Windows build of wirelet.dll exports exactly the 13 entry
# points, undecorated (no @N suffix, no leading underscore), so that
# GetProcAddress finds each by its plain name.
# Usage: scripts/check-windows-exports.sh path/to/wirelet.dll
set -eu

if [ $# -ne 1 ]; then
  echo "usage: $0 path/to/wirelet.dll" >&2
  exit 2
fi
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

if [ ! -f "$dll" ]; then
  echo "$dll: no such file" >&2
  exit 2
fi
if ! command -v "$objdump" >/dev/null 2>&1; then
  echo "$objdump not found (install binutils-mingw-w64-i686)" >&2
  exit 2
fi

expected="usb_close_port
usb_command_data
usb_command_recv
usb_command_send
usb_find_first
usb_find_next
usb_get_firmware_info
usb_get_id
usb_get_status
usb_open_port
usb_target_update
usb_universal_command
usb_write_data"

dump=$("$objdump" -p "$dll") || { echo "$objdump failed on $dll" >&2; exit 1; }

# The name table lists one "[ n] name" line per exported name.
actual=$(printf '%s\n' "$dump" |
  awk '/^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
       inside && /^[ \t]*\[ *[0-9]+\]/ { sub(/^[ \t]*\[ *[0-9]+\][ \t]*/, ""); print; next }
       inside { inside = 0 }' |
  LC_ALL=C sort)

if [ "$actual" = "$expected" ]; then
  echo "$dll: the 13 exports are present and undecorated"
  exit 0
fi

echo "$dll: export table differs from the expected 13 names" >&2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '%s\n' "$expected" >"$tmp/expected"
printf '%s\n' "$actual" | sed '/^$/d' >"$tmp/actual"
echo "missing:" >&2
LC_ALL=C comm -23 "$tmp/expected" "$tmp/actual" | sed 's/^/  /' >&2
echo "unexpected:" >&2
LC_ALL=C comm -13 "$tmp/expected" "$tmp/actual" | sed 's/^/  /' >&2
exit 1
