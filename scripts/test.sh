#!/usr/bin/env bash
# Builds every variant (Linux optimised, address+UB sanitizers, thread
# sanitizer, 32-bit Windows) with warnings as errors and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export Q7730_WERROR=ON

step() { printf '\n==== %s ====\n' "$*"; }

for preset in default asan tsan; do
  step "build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  step "test $preset"
  ctest --preset "$preset" --timeout 300
done

step "Debian package of the default build"
bash scripts/check-package.sh build/default

step "build windows-i686"
cmake --preset windows-i686 >/dev/null
cmake --build --preset windows-i686 -j2
step "check the Windows export table of wirelet.dll"
bash scripts/check-windows-exports.sh build/windows-i686/wirelet.dll
