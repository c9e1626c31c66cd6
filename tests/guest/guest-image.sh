#!/bin/bash
# Builds what the guest tests boot: Debian's own kernel (6.1, as an ELF
# vmlinux for QEMU's PVH entry) and a busybox initramfs with the USB modules,
# systemd-udevd and the given programs with every library they load.
#
#   guest-image.sh --cache DIR --out DIR [--lib FILE]... PROGRAM...
#
# --cache: where the downloaded Debian packages and what is unpacked from
#   them stay between runs (fetched with apt-get download when missing).
# --out: gets vmlinux and base.cpio (the programs under /opt/q7730/).
# --lib: a file loaded at run time (wirelet.dll) whose libraries come along
#   too; it is not copied itself.
# Exit status 0, or 1 with a message saying what this machine lacks.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache= out=
programs=() libs=()
while [ $# -gt 0 ]; do
  case $1 in
    --cache) cache=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --lib) libs+=("$2"); shift 2 ;;
    *) programs+=("$1"); shift ;;
  esac
done
[ -n "$cache" ] && [ -n "$out" ] || { echo "usage: guest-image.sh --cache DIR --out DIR [--lib FILE]... PROGRAM..." >&2; exit 2; }

fail() { echo "guest-image: $*" >&2; exit 1; }

# What the machine must have, each looked at, none assumed.
for tool in qemu-system-x86_64 cpio dpkg-deb apt-get apt-cache ldd xz; do
  command -v "$tool" >/dev/null ||
    fail "$tool is missing: install qemu-system-x86, busybox-static, cpio and xz-utils (the README's test command does)"
done
busybox=$(command -v busybox || true)
[ -n "$busybox" ] || fail "busybox is missing: install busybox-static"
if ldd "$busybox" >/dev/null 2>&1; then
  fail "$busybox is linked dynamically: install busybox-static"
fi

mkdir -p "$cache/debs" "$out"
cache=$(cd "$cache" && pwd)
out=$(cd "$out" && pwd)

# Debian's kernel: the package that linux-image-amd64 depends on.
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null |
  sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -1)
if [ -z "$kernel_package" ]; then
  kernel_package=$(cd "$cache/debs" && ls linux-image-*.deb 2>/dev/null | sed -n 's/_.*//p' | head -1)
fi
[ -n "$kernel_package" ] ||
  fail "cannot tell which kernel linux-image-amd64 depends on: run apt-get update first"
wanted=("$kernel_package" udev libsystemd-shared)
for package in "${wanted[@]}"; do
  if ! ls "$cache/debs/${package}_"*.deb >/dev/null 2>&1; then
    (cd "$cache/debs" && apt-get download "$package" >"$cache/download.log" 2>&1) ||
      fail "cannot download $package from Debian's archive (see $cache/download.log)"
  fi
done

root=$cache/root
stamp=$root/.unpacked-$kernel_package
if [ ! -e "$stamp" ]; then
  rm -rf "$root"
  mkdir -p "$root"
  for package in "${wanted[@]}"; do
    dpkg-deb -x "$(ls "$cache/debs/${package}_"*.deb | head -1)" "$root"
  done
  touch "$stamp"
fi
version=$(ls "$root/lib/modules" | head -1)
[ -n "$version" ] || fail "no modules in $kernel_package"

# The bzImage carries the kernel as an XZ-compressed ELF; QEMU boots the
# ELF directly through its PVH entry, which saves the decompression.
if [ ! -s "$cache/vmlinux" ] || [ "$cache/vmlinux" -ot "$stamp" ]; then
  bz=$root/boot/vmlinuz-$version
  offset=$(LC_ALL=C grep -obUa $'\xfd7zXZ' "$bz" | head -1 | cut -d: -f1)
  [ -n "$offset" ] || fail "no XZ payload in $bz"
  tail -c +$((offset + 1)) "$bz" | xz -dc --single-stream >"$cache/vmlinux.part" 2>/dev/null || true
  head -c 4 "$cache/vmlinux.part" | grep -q ELF || fail "could not unpack an ELF kernel from $bz"
  mv "$cache/vmlinux.part" "$cache/vmlinux"
fi
cp "$cache/vmlinux" "$out/vmlinux.part" && mv "$out/vmlinux.part" "$out/vmlinux"

tree=$out/tree
rm -rf "$tree"
mkdir -p "$tree"/{bin,sbin,etc,proc,sys,dev,run,tmp,root,home/operator,opt/q7730,lib/modules/"$version",usr/lib/udev/rules.d,etc/udev/rules.d}
chmod 1777 "$tree/tmp"
cp "$busybox" "$tree/bin/busybox"

# The USB modules with what they need; Debian ships no modules.dep for a
# tree of our own, so busybox depmod makes one.
moddir=$root/lib/modules/$version
[ -e "$moddir/modules.dep" ] || busybox depmod -b "$root" "$version"
modules=$(for m in vhci-hcd usblp; do
  grep -E "/$m\.ko(\.xz)?:" "$moddir/modules.dep" | tr -d ':' | tr ' ' '\n'
done | sort -u)
for m in $modules; do
  mkdir -p "$tree/lib/modules/$version/$(dirname "$m")"
  cp "$moddir/$m" "$tree/lib/modules/$version/$m"
done
busybox depmod -b "$tree" "$version"

# systemd-udevd is udevadm under another name; its private library lives
# beside it in the package.
cp "$root/bin/udevadm" "$tree/bin/udevadm"
mkdir -p "$tree/lib/systemd"
ln -s /bin/udevadm "$tree/lib/systemd/systemd-udevd"
cp "$root/lib/udev/rules.d/50-udev-default.rules" "$tree/usr/lib/udev/rules.d/"

copy_closure() {
  LD_LIBRARY_PATH=$root/usr/lib/x86_64-linux-gnu/systemd ldd "$1" 2>/dev/null |
    sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p' |
    while read -r lib; do
      target=$lib
      case $lib in "$root"/*) target=${lib#"$root"} ;; esac
      mkdir -p "$tree$(dirname "$target")"
      cp -L "$lib" "$tree$target"
    done
}
copy_closure "$tree/bin/udevadm"
for program in "${programs[@]}"; do
  cp "$program" "$tree/opt/q7730/"
  # Debug information only slows the boot down.
  command -v strip >/dev/null && strip --strip-debug "$tree/opt/q7730/$(basename "$program")"
  copy_closure "$program"
done
for lib in "${libs[@]}"; do copy_closure "$lib"; done

cat >"$tree/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/sh
operator:x:1000:1000:operator:/home/operator:/bin/sh
EOF
cat >"$tree/etc/group" <<'EOF'
root:x:0:
lp:x:7:
operator:x:1000:
q7730:x:1001:operator
EOF
chown 1000:1000 "$tree/home/operator"
cp "$here/guest-init.sh" "$tree/init"
chmod 755 "$tree/init"

(cd "$tree" && find . | LC_ALL=C sort | cpio -o -H newc --quiet >"$out/base.cpio.part")
mv "$out/base.cpio.part" "$out/base.cpio"
rm -rf "$tree"
echo "guest-image: $kernel_package, $(du -k "$out/base.cpio" | cut -f1) KiB initramfs in $out"
