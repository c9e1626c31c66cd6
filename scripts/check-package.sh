#!/bin/sh
# Builds the Debian package of a build folder with CPack and checks that it
# holds the program, the probe, the usb-bus wirelet.dll, the udev rule and the sample
# package where the README says, links to both programs on the PATH, and that
# it asks for libusb.
# Usage: scripts/check-package.sh build/default
set -eu

if [ $# -ne 1 ]; then
  echo "usage: $0 build-folder" >&2
  exit 2
fi
build=$1
rm -f "$build"/q7730-upgrade_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/q7730-upgrade_*.deb)
contents=$(dpkg-deb -c "$deb")
status=0
for entry in ./usr/lib/q7730/Q7730upgrade ./usr/lib/q7730/q7730-probe ./usr/lib/q7730/wirelet.dll \
    ./usr/lib/udev/rules.d/70-zem-q7730.rules ./usr/share/doc/q7730/sample-package/Q7730.ini \
    ./usr/share/doc/q7730/sample-package/README.txt \
    ./usr/share/doc/q7730/sample-package/newpcb/usb_new.bin; do
  if ! printf '%s\n' "$contents" | grep -q " $entry\$"; then
    echo "$deb: $entry is missing" >&2
    status=1
  fi
done
# The packed library must be the one over libusb, not the simulator's.
tmp=$(mktemp -d)
dpkg-deb -x "$deb" "$tmp"
if ! readelf -d "$tmp/usr/lib/q7730/wirelet.dll" | grep -q 'libusb-1.0'; then
  echo "$deb: wirelet.dll is not built over libusb" >&2
  status=1
fi
# A link in /usr/bin must reach the program itself once installed.
for program in Q7730upgrade q7730-probe; do
  link="$tmp/usr/bin/$program"
  if [ ! -L "$link" ] || [ "$(readlink "$link")" != "../lib/q7730/$program" ] || [ ! -x "$link" ]; then
    echo "$deb: /usr/bin/$program is not a link to /usr/lib/q7730/$program" >&2
    status=1
  fi
done
rm -rf "$tmp"
if ! dpkg-deb -f "$deb" Depends | grep -q 'libusb-1.0-0'; then
  echo "$deb: does not depend on libusb-1.0-0" >&2
  status=1
fi
[ "$status" = 0 ] && echo "$deb: ok"
exit "$status"
