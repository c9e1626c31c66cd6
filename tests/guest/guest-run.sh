#!/bin/bash
# Boots the guest once: the image of guest-image.sh with the folder
# SCENARIO as /scenario (its run.sh is what the guest does), under QEMU's
# TCG with a time limit. Afterwards SCENARIO holds console.txt (the serial
# console) and what the guest sent back (results/, printers/).
#
#   guest-run.sh --image DIR --scenario DIR [--timeout SECONDS]
#
# Exit status: 0 when the guest ran its scenario to the end; 1 when it did
# not (its console says how far it came); 2 for a bad command line.
set -uo pipefail
image= scenario= limit=120
while [ $# -gt 0 ]; do
  case $1 in
    --image) image=$2; shift 2 ;;
    --scenario) scenario=$2; shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    *) echo "guest-run: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$image" ] && [ -n "$scenario" ] || { echo "usage: guest-run.sh --image DIR --scenario DIR [--timeout S]" >&2; exit 2; }
for f in vmlinux base.cpio; do
  [ -s "$image/$f" ] || { echo "guest-run: no $image/$f (guest-image.sh makes it)" >&2; exit 1; }
done
scenario=$(cd "$scenario" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/q7730-guest.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir "$work/overlay"
cp -a "$scenario" "$work/overlay/scenario"
(cd "$work/overlay" && find scenario | cpio -o -H newc --quiet) >"$work/overlay.cpio"
cat "$image/base.cpio" "$work/overlay.cpio" >"$work/initrd.cpio"

timeout -k 5 "$limit" qemu-system-x86_64 -accel tcg -machine pc -cpu max -smp 1 -m 512 \
  -nodefaults -no-reboot -display none -monitor none \
  -serial stdio -serial "file:$work/back.tar" \
  -kernel "$image/vmlinux" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 quiet panic=-1" </dev/null >"$scenario/console.txt" 2>&1
status=$?
tr -d '\r' <"$scenario/console.txt" >"$work/console" && mv "$work/console" "$scenario/console.txt"
[ -s "$work/back.tar" ] && tar -xf "$work/back.tar" -C "$scenario" 2>/dev/null
if [ $status -eq 124 ] || [ $status -eq 137 ]; then
  echo "guest-run: the guest did not finish within $limit s" >>"$scenario/console.txt"
fi
grep -q "^q7730-guest: done" "$scenario/console.txt" || exit 1
exit 0
